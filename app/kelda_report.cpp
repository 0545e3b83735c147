// Tools > Setup Report: the installation document of the setup, PDF or HTML
// by the extension of the chosen file name.
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QLineEdit>
#include <QStatusBar>
#include <QUrl>

#include "kelda.h"
#include "pmmodel.h"
#include "settings.h"
#include "setupreport.h"
#include "texts.h"

namespace {

using kelda::settings::Key;

// The settings group of a setup's revision block: its full path, so that two
// setups of the same name in different folders keep their own.
QString detailsGroup(const QString &setupPath)
{
    return kelda::settings::keyName(Key::ReportDetails) + QLatin1Char('/')
        + QString::fromLatin1(QUrl::toPercentEncoding(QFileInfo(setupPath).absoluteFilePath()));
}

kelda::report::Revision readDetails(QSettings &settings, const QString &setupPath)
{
    if (setupPath.isEmpty())
        return {};
    settings.beginGroup(detailsGroup(setupPath));
    kelda::report::Revision r{settings.value(QStringLiteral("Vehicle")).toString(),
                              settings.value(QStringLiteral("Revision")).toString(),
                              settings.value(QStringLiteral("Author")).toString()};
    settings.endGroup();
    return r;
}

void writeDetails(QSettings &settings, const QString &setupPath, const kelda::report::Revision &r)
{
    if (setupPath.isEmpty())
        return;  // a setup never saved has nothing to be remembered by
    settings.beginGroup(detailsGroup(setupPath));
    settings.setValue(QStringLiteral("Vehicle"), r.vehicle);
    settings.setValue(QStringLiteral("Revision"), r.revision);
    settings.setValue(QStringLiteral("Author"), r.author);
    settings.endGroup();
}

// The small dialog that asks for the cover's revision block.
class ReportDetailsDialog : public QDialog
{
public:
    ReportDetailsDialog(QWidget *parent, const kelda::report::Revision &r) : QDialog(parent)
    {
        setObjectName(QStringLiteral("ReportDetails"));
        setWindowTitle(QStringLiteral("Report Details"));
        auto *form = new QFormLayout(this);
        m_vehicle = addField(form, QStringLiteral("&Vehicle:"), QStringLiteral("vehicleEdit"), r.vehicle);
        m_revision = addField(form, QStringLiteral("&Revision:"), QStringLiteral("revisionEdit"), r.revision);
        m_author = addField(form, QStringLiteral("&Author:"), QStringLiteral("authorEdit"), r.author);
        auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
        connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
        connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
        form->addRow(buttons);
    }
    kelda::report::Revision revision() const
    {
        return {m_vehicle->text().trimmed(), m_revision->text().trimmed(), m_author->text().trimmed()};
    }

private:
    QLineEdit *addField(QFormLayout *form, const QString &label, const QString &name, const QString &text)
    {
        auto *edit = new QLineEdit(text, this);
        edit->setObjectName(name);
        edit->setMinimumWidth(260);
        form->addRow(label, edit);
        return edit;
    }
    QLineEdit *m_vehicle;
    QLineEdit *m_revision;
    QLineEdit *m_author;
};

}  // namespace

void KELDA::setupReport()
{
    ReportDetailsDialog details(this, readDetails(settings(), model()->fileName()));
    if (prompter().exec(&details) != QDialog::Accepted)
        return;
    const kelda::report::Revision revision = details.revision();
    writeDetails(settings(), model()->fileName(), revision);

    const QString title = kelda::texts::title();
    const QString base =
        model()->fileName().isEmpty() ? QStringLiteral("setup") : QFileInfo(model()->fileName()).completeBaseName();
    const QString suggested =
        QDir(kelda::settings::read(settings(), Key::DefaultPath)).filePath(base + QStringLiteral(".pdf"));
    QString path =
        prompter().saveFileName(this, title, suggested, QStringLiteral("PDF files (*.pdf);;HTML files (*.html *.htm)"));
    if (path.isEmpty())
        return;
    if (QFileInfo(path).suffix().isEmpty())
        path += QStringLiteral(".pdf");  // the dialog's first filter

    QString error;
    if (!kelda::report::writeReport(model()->session(), model()->fileName(), path, &error, QDateTime::currentDateTime(),
                                    revision)) {
        prompter().tell(
            this, QMessageBox::Critical, title,
            QStringLiteral("The report was not written to %1.\n\n%2").arg(QDir::toNativeSeparators(path), error));
        return;
    }
    kelda::settings::write(settings(), Key::DefaultPath, QFileInfo(path).absolutePath());
    showStatus(QStringLiteral("Report written to %1").arg(QDir::toNativeSeparators(path)), path);
}
