// File > Export: the compiled strategy into an LX2 calibration file.
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

#include "kelda.h"
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

    QString error;
    if (!kelda::image::exportSetup(*model(), calFile, &error)) {
        prompter().tell(this, QMessageBox::Critical, title,
                        QStringLiteral("The setup was not exported to %1.\n\n%2")
                            .arg(QDir::toNativeSeparators(calFile), error));
        return;
    }
    kelda::settings::write(settings(), Key::DefaultPath, QFileInfo(calFile).absolutePath());
    prompter().tell(this, QMessageBox::Information, title, QStringLiteral("Setup Exported"));
}
