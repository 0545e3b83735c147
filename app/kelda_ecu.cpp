// The main window's ECU commands: strategy upload, About box, COM port choice.
#include <QTime>

#include "kelda.h"
#include "texts.h"

#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QTemporaryDir>

#include <memory>

#include "about.h"
#include "imagediff.h"
#include "setupview.h"
#include "comportform.h"
#include "pmmodel.h"
#include "settings.h"

#include "liveview.h"
#include "simnames.h"
#include "uploadcalibration.h"
#include "uploadform.h"

using kelda::settings::Key;

void KELDA::fileUpload()
{
    // Nothing goes to a module from a setup with errors.
    if (!passesChecks(QStringLiteral("uploaded"), false))
        return;
    const QByteArray name = kelda::upload::unpaddedName(model()->fileName());
    const QString port = kelda::settings::read(settings(), Key::Port);

    // Connecting starts here; it completes only once the dialog's event loop runs.
    auto form = std::make_unique<UploadForm>(this, port, name);
    form->setSetupFile(model()->fileName());
    form->setAsker(
        [this](QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &text,
               QMessageBox::StandardButtons buttons) { return prompter().ask(parent, icon, title, text, buttons); });
    form->setSaveChooser([this](QWidget *parent, const QString &caption, const QString &suggested) {
        return prompter().saveFileName(parent, caption, suggested, tr("Log files (*.log *.txt);;All files (*)"));
    });

    if (!model()->writeRawImage(form->imageFileName())) {
        // Nothing goes to the module from a setup that does not compile.
        QString why = model()->imageError();
        if (why.isEmpty())
            why = tr("unknown error");
        form->cancel();  // closes the connection already started
        prompter().tell(this, QMessageBox::Critical, kelda::texts::title(),
                        tr("The setup cannot be compiled, so nothing was uploaded.\n%1").arg(why));
        return;
    }

    askBeforeUpload(form.get());
    prompter().exec(form.get());
    if (form->outcome() == UploadForm::Outcome::Complete)
        showStatus(
            tr("Uploaded to %1 at %2").arg(form->portName(), QTime::currentTime().toString(QStringLiteral("HH:mm"))));
    kelda::settings::write(settings(), Key::Port, form->portName());
}

// What the upload dialog shows before the first byte: the setup, its unsaved
// changes and how to save them, and the differences named from this setup.
void KELDA::askBeforeUpload(UploadForm *form)
{
    const QString imageFile = form->imageFileName();
    UploadForm::Summary summary;
    summary.setupPath = model()->fileName();
    summary.setupName = summary.setupPath.isEmpty() ? tr("the open setup") : QFileInfo(summary.setupPath).fileName();
    summary.modified = [this] { return model()->isModified(); };
    summary.save = [this] { return save() == SaveResult::Saved ? model()->fileName() : QString(); };
    summary.differences = [this, imageFile](const kelda::upload::ModuleContents &contents) {
        QFile file(imageFile);
        const QByteArray image = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        return kelda::image::imageDifferences(contents.image, image, kelda::SetupView::read(model()->session()));
    };
    form->askFirst(std::move(summary));
}

// One live view at a time, on the remembered port, showing the module with
// the open setup's names and compared with its compiled image.
void KELDA::liveView()
{
    if (auto *open = findChild<LiveView *>()) {
        open->raise();
        open->activateWindow();
        return;
    }
    LiveView::Setup setup;
    setup.name = model()->fileName().isEmpty() ? tr("the open setup") : QFileInfo(model()->fileName()).fileName();
    setup.calName = kelda::upload::unpaddedName(model()->fileName());
    QTemporaryDir dir;
    const QString imageFile = dir.filePath(QStringLiteral("image.bin"));
    QFile file(imageFile);
    if (dir.isValid() && model()->writeRawImage(imageFile) && file.open(QIODevice::ReadOnly))
        setup.image = file.readAll();
    setup.names = kelda::simNames(model()->session());
    const QByteArray image = setup.image;
    setup.differences = [this, image](const kelda::upload::ModuleContents &contents) {
        return kelda::image::imageDifferences(contents.image, image, kelda::SetupView::read(model()->session()));
    };
    auto *view = new LiveView(kelda::settings::read(settings(), Key::Port), std::move(setup), this);
    view->setAsker(
        [this](QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &text,
               QMessageBox::StandardButtons buttons) { return prompter().ask(parent, icon, title, text, buttons); });
    view->show();
}

void KELDA::helpAbout()
{
    About dialog(nullptr);
    prompter().exec(&dialog);
}

void KELDA::configPort()
{
    const QString port = kelda::settings::read(settings(), Key::Port);
    auto form = std::make_unique<COMPortForm>(this, port);
    prompter().exec(form.get());
    // Whatever the combo shows when the dialog closes, OK or title bar alike.
    kelda::settings::write(settings(), Key::Port, form->port());
}
