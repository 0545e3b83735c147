// Tools > Compare With...: the differences between a setup file and the open setup.
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>

#include "comparedialog.h"
#include "kelda.h"
#include "pmmodel.h"
#include "settings.h"
#include "setupfile.h"
#include "setupcompare.h"
#include "texts.h"
#include "ui_kelda.h"

void KELDA::compareWith()
{
    const QString title = kelda::texts::title();
    const QString path = prompter().openFileName(
        this, title, kelda::settings::read(settings(), kelda::settings::Key::DefaultPath), kelda::texts::setupFilter());
    if (path.isEmpty())
        return;
    // The file is read into a session of its own; the open setup is only read.
    kelda::SetupFile other;
    if (!other.open(path)) {
        const QString reason =
            other.lastError().isEmpty() ? QStringLiteral("It is not a setup file.") : other.lastError();
        prompter().tell(this, QMessageBox::Warning, title,
                        QStringLiteral("The setup file %1 could not be opened for comparing.\n\n%2\n\nChoose a "
                                       "KELDA setup file (*.kelda); the open setup is unchanged.")
                            .arg(QDir::toNativeSeparators(path), reason));
        return;
    }
    const QString openName =
        m_model->fileName().isEmpty() ? QStringLiteral("the open setup") : QFileInfo(m_model->fileName()).fileName();
    const kelda::compare::Comparison comparison =
        kelda::compare::compareSetups(other.session(), m_model->session(), QFileInfo(path).fileName(), openName);
    CompareDialog dialog(this);
    dialog.setComparison(comparison, path);
    connect(&dialog, &CompareDialog::goToItem, this, &KELDA::showItem);
    prompter().exec(&dialog);
}

void KELDA::showItem(const QString &table, int tab, int row)
{
    if (tab < 0 || tab >= kTabCount || row < 0)
        return;
    ui->tabWidget->setCurrentIndex(tab);  // the model's mode follows the tab
    if (table == QLatin1String(kelda::compare::kOptionsTable)) {
        QWidget *const widgets[] = {ui->dsbMinPT,         ui->dsbDPT,           ui->dsbLPT,        ui->dsbFuseReset,
                                    ui->dsbFuseRetryTime, ui->sbFuseMaxRetries, ui->comboCANSpeed, ui->hsbRebroadcast};
        if (row < int(std::size(widgets)))
            widgets[row]->setFocus();
        return;
    }
    // The name cell, or the last column where a table has no names (LX1 PWM).
    int column = m_model->columnCount() - 1;
    if (const kelda::ModeSpec *spec = kelda::modeSpec(tab)) {
        for (int c = 0; c < int(spec->columns.size()); ++c)
            if (spec->columns[size_t(c)].value == kelda::ValueId::Name)
                column = c;
    }
    goTo(tab, row, column);
}
