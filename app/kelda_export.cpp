// File > Export: the compiled strategy into an LX2 calibration file.
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

#include "kelda.h"
#include "pmmodel.h"
#include "settings.h"
#include "setupexport.h"
#include "texts.h"

void KELDA::fileExport()
{
    if (!passesChecks(QStringLiteral("exported"), false))
        return;
    using kelda::settings::Key;
    const QString title = kelda::texts::title();
    const QString calFile = prompter().saveFileName(this, title, kelda::settings::read(settings(), Key::DefaultPath),
                                                    QStringLiteral("LX2 Cal files (*.cal);;All files (*.*)"),
                                                    QFileDialog::DontConfirmOverwrite);
    if (calFile.isEmpty())
        return;

    // The chosen file is the open setup itself (or LX2Raw.bin, which the
    // export writes beside it): nothing is written, the user chooses again.
    const QString clash = kelda::image::exportClash(model()->fileName(), calFile);
    if (!clash.isEmpty()) {
        prompter().tell(
            this, QMessageBox::Warning, title,
            QStringLiteral("The setup was not exported to %1.\n\n%2").arg(QDir::toNativeSeparators(calFile), clash));
        return;
    }
    QString error;
    if (!kelda::image::exportSetup(model()->session(), model()->fileName(), calFile, &error)) {
        prompter().tell(
            this, QMessageBox::Critical, title,
            QStringLiteral("The setup was not exported to %1.\n\n%2").arg(QDir::toNativeSeparators(calFile), error));
        return;
    }
    kelda::settings::write(settings(), Key::DefaultPath, QFileInfo(calFile).absolutePath());
    showStatus(QStringLiteral("Exported to %1").arg(QDir::toNativeSeparators(calFile)));
    prompter().tell(this, QMessageBox::Information, title, QStringLiteral("Setup Exported"));
}
