// Tools > Setup Report: the installation document of the setup, PDF or HTML
// by the extension of the chosen file name.
#include <QDir>
#include <QFileInfo>
#include <QStatusBar>

#include "kelda.h"
#include "pmmodel.h"
#include "settings.h"
#include "setupreport.h"
#include "texts.h"

void KELDA::setupReport()
{
    using kelda::settings::Key;
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
    if (!kelda::report::writeReport(*model(), path, &error)) {
        prompter().tell(
            this, QMessageBox::Critical, title,
            QStringLiteral("The report was not written to %1.\n\n%2").arg(QDir::toNativeSeparators(path), error));
        return;
    }
    kelda::settings::write(settings(), Key::DefaultPath, QFileInfo(path).absolutePath());
    showStatus(QStringLiteral("Report written to %1").arg(QDir::toNativeSeparators(path)), path);
}
