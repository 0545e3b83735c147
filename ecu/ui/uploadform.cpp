#include "uploadform.h"
#include "ui_uploadform.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QLineEdit>
#include <QStandardPaths>
#include <QVBoxLayout>

#include "atomicfile.h"

#include "ecumediator.h"
#include "settings.h"
#include "uploadcalibration.h"

using namespace kelda::upload;

UploadForm::UploadForm(QWidget *parent, const QString &port, const QByteArray &calName)
    : QDialog(parent),
      ui(new Ui::UploadFormClass),
      imageFile_(QDir::tempPath() + QStringLiteral("/KELDA-upload-XXXXXX.bin"))
{
    ui->setupUi(this);
    // The file exists, under its final name, from now until the dialog goes.
    if (imageFile_.open())
        imageFile_.close();

    calName_ = calName;
    connect(ui->cancelButton, &QPushButton::clicked, this, &UploadForm::cancel);
    connect(ui->retryButton, &QPushButton::clicked, this, &UploadForm::retry);
    connect(ui->saveLogButton, &QPushButton::clicked, this, &UploadForm::chooseAndSaveLog);
    // The vehicle tag for the history, under the port: typed while the
    // upload runs, kept with its line when it ends, remembered for the next.
    auto *vehicleBox = new QGroupBox(tr("Vehicle"), this);
    auto *vehicleLayout = new QVBoxLayout(vehicleBox);
    vehicleEdit_ = new QLineEdit(vehicleBox);
    vehicleEdit_->setObjectName(QStringLiteral("vehicleEdit"));
    vehicleEdit_->setPlaceholderText(tr("optional: the vehicle's name, kept in the upload history"));
    vehicleLayout->addWidget(vehicleEdit_);
    ui->verticalLayout->insertWidget(1, vehicleBox);
    {
        const auto settings = kelda::settings::open();
        const QSize size = kelda::settings::readValue(*settings, kelda::settings::Key::UploadDialogSize).toSize();
        if (size.isValid())
            resize(size);
        vehicleEdit_->setText(kelda::settings::read(*settings, kelda::settings::Key::Vehicle));
    }
    history_ = kelda::history::started(QLatin1String(kelda::history::kUpload), QStringLiteral("window"));
    connect(ui->portCombo, &QComboBox::currentIndexChanged, this, &UploadForm::portChanged);

    mediator_ = std::make_unique<EcuMediator>(this);
    fillPorts();
    selectPort(port);

    ready_ = true;
    reconnect_ = false;
    if (missingPort_.isEmpty())
        connectEcu();
}

UploadForm::~UploadForm()
{
    // Transactions, then the mediator (which disconnects again), then the file.
    compare_.cancel();  // its report must not reach a dialog being destroyed
    mediator_->shutdown();
    uploadTxn_.reset();
    connectTxn_.reset();
    mediator_.reset();
    delete ui;
}

QString UploadForm::imageFileName() const
{
    return imageFile_.fileName();
}

QString UploadForm::portName() const
{
    return missingPort_.isEmpty() ? ui->portCombo->currentText() : missingPort_;
}

void UploadForm::setSetupFile(const QString &path)
{
    history_.file = path.isEmpty() ? QString() : QFileInfo(path).absoluteFilePath();
    history_.sha256 = path.isEmpty() ? QString() : kelda::history::sha256OfFile(path);
}

QLineEdit *UploadForm::vehicleEdit() const
{
    return vehicleEdit_;
}

QComboBox *UploadForm::portCombo() const
{
    return ui->portCombo;
}

QPlainTextEdit *UploadForm::log() const
{
    return ui->plainTextEdit;
}

QProgressBar *UploadForm::progressBar() const
{
    return ui->progressBar;
}

QMessageBox::StandardButton UploadForm::ask(QMessageBox::Icon icon, const QString &title, const QString &text,
                                            QMessageBox::StandardButtons buttons)
{
    if (asker_)
        return asker_(this, icon, title, text, buttons);
    QMessageBox box(icon, title, text, buttons, this);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

void UploadForm::fillPorts()
{
    for (const QString &name : corla::PortList::names())
        ui->portCombo->addItem(name, 0);
}

void UploadForm::selectPort(const QString &port)
{
    int index = ui->portCombo->findText(port, Qt::MatchExactly);
    if (index < 0 && !port.isEmpty()) {
        // Never another port in its place without the user's word: a module
        // on the first listed port may not be the one meant.
        missingPort_ = port;
        ui->portCombo->setCurrentIndex(-1);
        mediator_->setPort(nullptr, nullptr);
        appendLog(tr("The remembered port %1 is not present. Choose the port the module is connected to.").arg(port));
        return;
    }
    if (index < 0)
        index = 0;  // nothing remembered: the first listed port
    ui->portCombo->setCurrentIndex(index);

    PortInfo info = corla::PortList::listed(index);
    mediator_->setPort(info.portSource, &info.settings);
}

void UploadForm::connectEcu()
{
    connectFailed_ = false;
    updateButtons();
    connectTxn_ = std::make_unique<corla::EcuTxnConnect>();
    mediator_->startTxn(*connectTxn_, Delegate{&UploadForm::connectDone, this, -1, 0});
}

void UploadForm::connectDone(void *context, int code, const void *data, int)
{
    static_cast<UploadForm *>(context)->onConnectDone(code, static_cast<const int *>(data));
}

void UploadForm::uploadDone(void *context, int code, const void *data, int)
{
    static_cast<UploadForm *>(context)->onUploadDone(code, static_cast<const int *>(data));
}

void UploadForm::onConnectDone(int code, const int *status)
{
    if (code != kCodeFinished || !status)
        return;
    recordModule(*mediator_, &history_);
    if (*status == kStatusOk) {
        if (summary_ && !skipCompare_)
            compareModule();
        else
            uploadCalibration();
    } else if (*status == kStatusNoRune) {
        lastFailure_ = QString::fromLatin1(kNoRuneTitle) + QStringLiteral(": ") + noRuneText().simplified();
        ask(QMessageBox::Warning, tr(kNoRuneTitle), noRuneText(), QMessageBox::Ok);
        finish(Outcome::NoRune);
    } else if (*status != CORLA_STATUS_ABORTED) {
        // Still waiting: the log says what failed; the user may pick another
        // port, retry this one or cancel.
        lastFailure_ = tr("Connection failed: %1").arg(corla::fromWide(CORLA_StatusText(*status)));
        appendLog(lastFailure_);
        connectFailed_ = true;
        updateButtons();
    }
}

void UploadForm::uploadCalibration()
{
    const corla::Ecu ecu(mediator_->ecu());
    PreparedUpload prepared = prepareCalibration(ecu, calName_, imageFileName());
    switch (prepared.result) {
    case PreparedUpload::Result::Ready:
        break;
    case PreparedUpload::Result::NoRune:
        lastFailure_ = QString::fromLatin1(kNoRuneTitle) + QStringLiteral(": ") + noRuneText().simplified();
        mediator_->disconnect();
        ask(QMessageBox::Warning, tr(kNoRuneTitle), noRuneText(), QMessageBox::Ok);
        finish(Outcome::NoRune);
        return;
    case PreparedUpload::Result::Incompatible:
        lastFailure_ = QString::fromLatin1(kIncompatibleTitle) + QStringLiteral(": ") + prepared.detail.simplified();
        ask(QMessageBox::Critical, tr(kIncompatibleTitle), prepared.detail, QMessageBox::Ok);
        mediator_->disconnect();
        finish(Outcome::Incompatible);
        return;
    case PreparedUpload::Result::ImageUnreadable:
    case PreparedUpload::Result::WriteFailed:
        lastFailure_ = prepared.detail;
        appendLog(prepared.detail);
        appendLog(tr("Nothing was uploaded."));
        mediator_->disconnect();
        finish(Outcome::Failed);
        return;
    }

    history_.crc = prepared.cal.crc32();
    history_.length = CORLA_ICal_GetDataEnd(prepared.cal.get());
    uploadTxn_ = std::make_unique<corla::EcuTxnUploadCal>(prepared.cal);
    if (!mediator_->startTxn(*uploadTxn_, Delegate{&UploadForm::uploadDone, this, -1, 0})) {
        lastFailure_ = tr("The upload could not be started.");
        appendLog(lastFailure_);
        finish(Outcome::Failed);
    }
}

void UploadForm::onUploadDone(int code, const int *status)
{
    if (code != kCodeFinished || !status)
        return;
    if (*status == kStatusOk) {
        // The library reports success only once the module has verified and
        // committed the whole calibration.
        finish(Outcome::Complete);
        ask(QMessageBox::Information, tr(kCompleteTitle), tr(kCompleteText), QMessageBox::Ok);
        return;
    }
    const int holds = uploadTxn_ ? uploadTxn_->moduleHolds() : CORLA_HOLDS_PREVIOUS;
    if (holds <= CORLA_HOLDS_PREVIOUS)
        lastFailure_ = tr("Upload failed: %1. The module keeps its previous calibration.")
                           .arg(corla::fromWide(CORLA_StatusText(*status)));
    else  // COMMIT had been sent: what the library found out when it asked
        lastFailure_ =
            tr("Upload failed: %1. %2").arg(corla::fromWide(CORLA_StatusText(*status)), corla::moduleHoldsText(holds));
    if (outcome_ != Outcome::Cancelled)
        finish(Outcome::Failed);
    appendLog(lastFailure_);
}

void UploadForm::portChanged(int index)
{
    if (!ready_)
        return;
    PortInfo info = corla::PortList::listed(index);
    if (!missingPort_.isEmpty()) {
        // Nothing was started yet, so no "Disconnected" will come: connect now.
        missingPort_.clear();
        mediator_->setPort(info.portSource, &info.settings);
        connectEcu();
        return;
    }
    reconnect_ = true;
    mediator_->disconnect();
    mediator_->setPort(info.portSource, &info.settings);
}

void UploadForm::statusMessage(const QString &text)
{
    appendLog(text);
    if (text == QLatin1String("Disconnected") && reconnect_) {
        reconnect_ = false;
        connectEcu();
    }
}

void UploadForm::appendLog(const QString &text)
{
    ui->plainTextEdit->appendPlainText(text);
}

void UploadForm::traceMessage(const QString &)
{ }

void UploadForm::setProgress(double fraction)
{
    if (compare_.running())
        return;  // the bar is the upload's
    QProgressBar *bar = ui->progressBar;
    bar->setValue(bar->minimum() + static_cast<int>((bar->maximum() - bar->minimum()) * fraction));
}

void UploadForm::cancel()
{
    const bool running = outcome_ == Outcome::Running;
    if (running)
        outcome_ = Outcome::Cancelled;
    mediator_->disconnect();
    // Cancelled after COMMIT was sent: the module may hold the new calibration.
    // The library has asked it; the dialog stays open to say what it found.
    const int holds = running && uploadTxn_ ? uploadTxn_->moduleHolds() : -1;
    if (holds == CORLA_HOLDS_NEW || holds == CORLA_HOLDS_UNKNOWN) {
        appendLog(tr("Upload cancelled. %1").arg(corla::moduleHoldsText(holds)));
        updateButtons();
        return;
    }
    close();
}

void UploadForm::finish(Outcome outcome)
{
    outcome_ = outcome;
    recordAttempt(outcome);
    updateButtons();
}

void UploadForm::recordAttempt(Outcome outcome)
{
    if (recorded_ || outcome == Outcome::Running)
        return;
    recorded_ = true;
    kelda::history::Entry entry = history_;
    entry.ok = outcome == Outcome::Complete;
    entry.port = portName();
    entry.vehicle = vehicleEdit_->text().trimmed();
    if (outcome == Outcome::Cancelled)
        entry.reason = lastFailure_.isEmpty() ? tr("cancelled before the upload ended")
                                              : tr("cancelled before the upload ended (%1)").arg(lastFailure_);
    else if (!entry.ok)
        entry.reason = lastFailure_.isEmpty() ? tr("the upload failed") : lastFailure_;
    const QString path = kelda::history::defaultPath();
    QString why;
    if (!kelda::history::append(entry, &why, path))
        appendLog(tr("The history could not be written to %1: %2").arg(QDir::toNativeSeparators(path), why));
}

void UploadForm::updateButtons()
{
    const bool running = outcome_ == Outcome::Running;
    ui->cancelButton->setText(running ? tr("Cancel") : tr("Close"));
    const bool failed = outcome_ == Outcome::Failed || outcome_ == Outcome::NoRune || outcome_ == Outcome::Incompatible
        || (running && connectFailed_);
    ui->retryButton->setVisible(failed && missingPort_.isEmpty());
}

void UploadForm::retry()
{
    if (outcome_ == Outcome::Complete || outcome_ == Outcome::Cancelled)
        return;
    appendLog(QString());
    appendLog(tr("Retrying on %1...").arg(portName()));
    // Whatever is still open goes first; the calibration is written anew
    // from the same image file.
    mediator_->disconnect();
    uploadTxn_.reset();
    reconnect_ = false;
    ui->progressBar->setValue(ui->progressBar->minimum());
    outcome_ = Outcome::Running;
    // A new attempt, with a line of its own.
    const kelda::history::Entry previous = history_;
    history_ = kelda::history::started(QLatin1String(kelda::history::kUpload), QStringLiteral("window"));
    history_.file = previous.file;
    history_.sha256 = previous.sha256;
    recorded_ = false;
    lastFailure_.clear();
    skipCompare_ = false;  // compared and asked again
    connectEcu();
}

void UploadForm::chooseAndSaveLog()
{
    const QString suggested = QDir(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation))
                                  .filePath(QStringLiteral("upload.log"));
    QString path;
    if (saveChooser_)
        path = saveChooser_(this, tr("Save Log"), suggested);
    else
        path =
            QFileDialog::getSaveFileName(this, tr("Save Log"), suggested, tr("Log files (*.log *.txt);;All files (*)"));
    if (!path.isEmpty())
        saveLog(path);
}

bool UploadForm::saveLog(const QString &path)
{
    QString error;
    QByteArray text = ui->plainTextEdit->toPlainText().toUtf8();
    if (!text.endsWith('\n'))
        text.append('\n');
    if (kelda::fileio::writeAtomically(path, text, &error))
        return true;
    ask(QMessageBox::Critical, tr("Save Log"), error, QMessageBox::Ok);
    return false;
}

void UploadForm::done(int result)
{
    // The size the user gave the dialog, for the next upload.
    const auto settings = kelda::settings::open();
    kelda::settings::writeValue(*settings, kelda::settings::Key::UploadDialogSize, size());
    kelda::settings::write(*settings, kelda::settings::Key::Vehicle, vehicleEdit_->text().trimmed());
    // Closed while it ran (Cancel, Escape, the title bar). A dialog never
    // shown (the setup did not compile) attempted nothing.
    if (isVisible())
        recordAttempt(Outcome::Cancelled);
    QDialog::done(result);
}

// ------------------------------------------------------------ asking first

void UploadForm::askFirst(Summary summary)
{
    summary_ = std::move(summary);
    buildSummary();
}

void UploadForm::buildSummary()
{
    summaryBox_ = new QGroupBox(tr("Before uploading"), this);
    summaryBox_->setObjectName(QStringLiteral("summaryBox"));
    auto *layout = new QVBoxLayout(summaryBox_);
    const auto row = [&](QLabel **label, QPushButton **button, const QString &buttonText, const char *name) {
        auto *line = new QHBoxLayout;
        *label = new QLabel(summaryBox_);
        (*label)->setObjectName(QLatin1String(name) + QStringLiteral("Line"));
        (*label)->setWordWrap(true);
        (*label)->setTextInteractionFlags(Qt::TextSelectableByMouse);
        line->addWidget(*label, 1);
        if (button) {
            *button = new QPushButton(buttonText, summaryBox_);
            (*button)->setObjectName(QLatin1String(name) + QStringLiteral("Button"));
            line->addWidget(*button);
        }
        layout->addLayout(line);
    };
    row(&setupLine_, &saveSetupButton_, tr("Save"), "setup");
    row(&moduleLine_, nullptr, QString(), "module");
    row(&holdsLine_, &differencesButton_, tr("Show Differences"), "holds");
    changes_ = new QPlainTextEdit(summaryBox_);
    changes_->setObjectName(QStringLiteral("changes"));
    changes_->setReadOnly(true);
    changes_->setVisible(false);
    layout->addWidget(changes_);
    uploadButton_ = new QPushButton(tr("Upload"), summaryBox_);
    uploadButton_->setObjectName(QStringLiteral("uploadButton"));
    uploadButton_->setEnabled(false);
    layout->addWidget(uploadButton_, 0, Qt::AlignRight);
    ui->verticalLayout->insertWidget(0, summaryBox_);
    connect(saveSetupButton_, &QPushButton::clicked, this, &UploadForm::saveSetup);
    connect(differencesButton_, &QPushButton::clicked, this, &UploadForm::showDifferences);
    connect(uploadButton_, &QPushButton::clicked, this, &UploadForm::startUpload);
    differencesButton_->setEnabled(false);
    holdsLine_->setText(tr("Comparing with the module..."));
    updateSetupLine();
}

void UploadForm::updateSetupLine()
{
    const QString path =
        summary_->setupPath.isEmpty() ? tr("a setup never saved") : QDir::toNativeSeparators(summary_->setupPath);
    const bool modified = summary_->modified && summary_->modified();
    setupLine_->setText(modified ? tr("Setup: %1 (unsaved changes: the open setup is uploaded as it is now)").arg(path)
                                 : tr("Setup: %1 (saved)").arg(path));
    saveSetupButton_->setVisible(modified && summary_->save);
}

void UploadForm::saveSetup()
{
    const QString path = summary_->save ? summary_->save() : QString();
    if (!path.isEmpty()) {
        summary_->setupPath = path;
        summary_->setupName = QFileInfo(path).fileName();
        // The module's name field takes the saved file's name.
        calName_ = unpaddedName(path);
        setSetupFile(path);
        if (compare_.contents().result == ModuleContents::Result::Holds)
            holdsLine_->setText(holdsLine(compare_.contents(), summary_->setupName));
    }
    updateSetupLine();
}

void UploadForm::compareModule()
{
    kelda::history::Entry module;
    recordModule(*mediator_, &module);
    moduleLine_->setText(tr("Module: %1 (module %2, firmware %3) on %4")
                             .arg(module.rune.isEmpty() ? tr("no RUNE") : module.rune, module.moduleWord,
                                  module.firmwareWord, portName()));
    QFile file(imageFileName());
    const QByteArray image = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    appendLog(tr("Comparing the module's calibration with the setup's..."));
    compare_.start(*mediator_, calName_, image, [this](const ModuleContents &c) { showSummary(c); });
}

void UploadForm::showSummary(const ModuleContents &contents)
{
    if (outcome_ != Outcome::Running)
        return;
    holdsLine_->setText(holdsLine(contents, summary_->setupName));
    QStringList lines;
    if (contents.result == ModuleContents::Result::Holds)
        lines << tr("Nothing will change on the module.");
    else if (contents.result == ModuleContents::Result::Differs && contents.empty)
        lines << tr("The module holds no calibration: every item will be written.");
    else if (contents.result == ModuleContents::Result::Differs && summary_->differences)
        lines << tr("Will change on the module:") << summary_->differences(contents);
    else
        lines << tr("What will change is not known: %1").arg(contents.failure);
    changes_->setPlainText(lines.join(QLatin1Char('\n')));
    changes_->setVisible(true);
    differencesButton_->setEnabled(contents.result == ModuleContents::Result::Differs);
    appendLog(tr("The module %1 (compared in %2 ms, %3 bytes read).")
                  .arg(holdsLine_->text())
                  .arg(contents.elapsedMs)
                  .arg(std::max(contents.bytesRead, 0)));
    // A failed comparison has closed the connection: Upload connects again.
    reconnectFirst_ = contents.result == ModuleContents::Result::Failed;
    waiting_ = true;
    uploadButton_->setEnabled(true);
    uploadButton_->setDefault(true);
}

void UploadForm::showDifferences()
{
    changes_->setVisible(true);
    changes_->setFocus();
}

void UploadForm::startUpload()
{
    if (!waiting_ || outcome_ != Outcome::Running)
        return;
    waiting_ = false;
    uploadButton_->setEnabled(false);
    saveSetupButton_->setEnabled(false);
    if (reconnectFirst_) {
        skipCompare_ = true;
        mediator_->disconnect();
        connectEcu();
        return;
    }
    uploadCalibration();
}
