#include "uploaddriver.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>

#include "atomicfile.h"
#include "uploadcalibration.h"

namespace kelda::upload {

namespace {

QString crcText(uint32_t crc)
{
    return QStringLiteral("%1").arg(crc, 8, 16, QLatin1Char('0'));
}

const QString kKeepsPrevious = QStringLiteral("the module keeps its previous calibration");

}  // namespace

bool UploadDriver::writesModule() const
{
    return options_.task == Task::Upload || options_.task == Task::Restore;
}

// The dialog's mediator, with the user's part played by the driver.
class UploadDriver::Mediator : public corla::BasicEcuMediator
{
public:
    explicit Mediator(UploadDriver *owner) : owner_(owner) { }

    ~Mediator() override
    {
        abortAll();
        CORLA_Ecu_DisconnectAndWait(ecu_.get());
    }

    void txnStarted(const corla::EcuTxn &txn) override { owner_->log(txn.name()); }

    void message(const char16_t *text, int kind) override
    {
        if (kind == CORLA_MSG_STATUS || kind == CORLA_MSG_LOG)
            owner_->log(corla::fromWide(text));
    }

    void reserved14(uint32_t &, uint32_t *, uint32_t) override { }

    bool confirmEngineRunning() override
    {
        // Only someone at the vehicle can say the engine has stopped: never
        // answered from here, whatever --yes says.
        owner_->engineRunning_ = true;
        owner_->log(QStringLiteral("The engine is running: stop the engine and run the command again."));
        return false;
    }

    bool confirmIntLogSetup() override
    {
        if (isIntLogSetupValid())
            return true;
        owner_->log(QStringLiteral("The internal logging setup does not appear to be valid: %1")
                        .arg(owner_->options_.intLogSetupOk ? QStringLiteral("continuing as asked")
                                                            : QStringLiteral("not continuing")));
        return owner_->options_.intLogSetupOk;
    }

    void selectDefaultPort() override
    {
        PortInfo info = corla::PortList::listed(0);
        setPort(info.portSource, &info.settings);
    }

    void onEvent(int type, const void *data, int) override
    {
        if (!data)
            return;
        if (type == CORLA_EVENT_PROGRESS) {
            // The bar is the upload's: the comparison before it has none.
            if (owner_->onProgress && !(owner_->compare_ && owner_->compare_->running()))
                owner_->onProgress(*static_cast<const double *>(data));
        } else if (type == CORLA_EVENT_MESSAGE) {
            const auto *record = static_cast<const CorlaMessage *>(data);
            message(record->text, record->kind);
        }
    }

private:
    UploadDriver *owner_;
};

UploadDriver::UploadDriver(Options options) : options_(std::move(options))
{ }

UploadDriver::~UploadDriver()
{
    if (compare_)
        compare_->cancel();
    if (mediator_)
        mediator_->shutdown();
    compare_.reset();
    uploadTxn_.reset();
    readTxn_.reset();
    connectTxn_.reset();
    readCal_.set(nullptr);
    mediator_.reset();
}

QStringList UploadDriver::portNames()
{
    return corla::PortList::names();
}

void UploadDriver::log(const QString &text)
{
    if (onLog)
        onLog(text);
}

void UploadDriver::finish(bool ok, const QString &why)
{
    if (done_)
        return;
    done_ = true;
    ok_ = ok;
    failure_ = why;
    if (loop_)
        loop_->quit();
}

namespace {
const char *operationOf(UploadDriver::Task task)
{
    switch (task) {
    case UploadDriver::Task::Upload:
        return kelda::history::kUpload;
    case UploadDriver::Task::Restore:
        return kelda::history::kRestore;
    case UploadDriver::Task::Read:
        return kelda::history::kRead;
    case UploadDriver::Task::Verify:
        break;
    }
    return nullptr;  // verify writes and keeps nothing: not part of the history
}
}  // namespace

bool UploadDriver::run()
{
    const char *operation = operationOf(options_.task);
    if (operation) {
        history_ = kelda::history::started(QLatin1String(operation), options_.via);
        history_.port = options_.port;
        history_.vehicle = options_.vehicle;
        if (!options_.historyFile.isEmpty()) {
            // Hashed before anything is sent: the bytes this run started from.
            history_.file = QFileInfo(options_.historyFile).absoluteFilePath();
            history_.sha256 = kelda::history::sha256OfFile(options_.historyFile);
        }
    }
    const bool ok = runTask();
    if (operation) {
        history_.ok = ok;
        history_.reason = ok ? QString() : failure_;
        record(history_);
    }
    return ok;
}

void UploadDriver::record(kelda::history::Entry entry)
{
    const QString path = kelda::history::defaultPath();
    QString why;
    if (!kelda::history::append(entry, &why, path))
        log(QStringLiteral("The history could not be written to %1: %2").arg(QDir::toNativeSeparators(path), why));
}

bool UploadDriver::runTask()
{
    mediator_ = std::make_unique<Mediator>(this);

    // The port as the dialog would list it; a device path that is not listed
    // is opened directly.
    const PortInfo info = corla::PortList::named(options_.port);
    CorlaPortSource *source = info.portSource;
    if (!source) {
        const QStringList names = portNames();
        finish(false,
               QStringLiteral("no port named '%1' (listed: %2)")
                   .arg(options_.port, names.isEmpty() ? QStringLiteral("none") : names.join(QStringLiteral(", "))));
        return false;
    }
    mediator_->setPort(source, &info.settings);

    QEventLoop loop;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    if (options_.timeoutSeconds > 0) {
        QObject::connect(&watchdog, &QTimer::timeout, &loop,
                         [&] { finish(false, QStringLiteral("no result within %1 s").arg(options_.timeoutSeconds)); });
        watchdog.start(std::min(options_.timeoutSeconds, kMaxTimeoutSeconds) * 1000);
    }

    connectTxn_ = std::make_unique<corla::EcuTxnConnect>();
    if (!mediator_->startTxn(*connectTxn_, Delegate{&UploadDriver::connectDone, this, -1, 0}))
        finish(false, QStringLiteral("the connection could not be started"));
    if (!done_) {
        loop_ = &loop;
        loop.exec();
        loop_ = nullptr;
    }

    // An upload cut short by the time limit is aborted here; if COMMIT had
    // been sent, the library has asked the module what it holds.
    mediator_->shutdown();
    const int holds = uploadTxn_ ? uploadTxn_->moduleHolds() : -1;
    if (!ok_ && uploadTxn_ && holds > CORLA_HOLDS_PREVIOUS && !failure_.contains(corla::moduleHoldsText(holds)))
        failure_ += QStringLiteral(". ") + corla::moduleHoldsText(holds);
    else if (!ok_ && writesModule() && holds <= CORLA_HOLDS_PREVIOUS && !failure_.contains(kKeepsPrevious)) {
        // Whatever ended it, COMMIT was never sent.
        if (failure_.endsWith(QLatin1Char('.')))
            failure_.chop(1);
        failure_ += QStringLiteral("; ") + kKeepsPrevious;
    }
    return ok_;
}

void UploadDriver::connectDone(void *context, int code, const void *data, int)
{
    static_cast<UploadDriver *>(context)->onConnectDone(code, static_cast<const int *>(data));
}

void UploadDriver::readDone(void *context, int code, const void *data, int)
{
    static_cast<UploadDriver *>(context)->onReadDone(code, static_cast<const int *>(data));
}

void UploadDriver::uploadDone(void *context, int code, const void *data, int)
{
    static_cast<UploadDriver *>(context)->onUploadDone(code, static_cast<const int *>(data));
}

void UploadDriver::onConnectDone(int code, const int *status)
{
    if (code != kCodeFinished || !status || done_)
        return;
    recordModule(*mediator_, &history_);
    if (*status == kStatusNoRune) {
        finish(false, QString::fromLatin1(kNoRuneTitle) + QStringLiteral(": ") + noRuneText().simplified());
        return;
    }
    if (*status != kStatusOk) {
        finish(false, QStringLiteral("connection failed: %1").arg(corla::fromWide(CORLA_StatusText(*status))));
        return;
    }
    if (options_.compareFirst && !compared_ && (options_.task == Task::Upload || options_.task == Task::Verify)) {
        compareFirst();
        return;
    }
    continueTask();
}

QString UploadDriver::moduleIdentity() const
{
    if (history_.moduleWord.isEmpty())
        return QString();
    const QString words = QStringLiteral("module %1, firmware %2").arg(history_.moduleWord, history_.firmwareWord);
    return history_.rune.isEmpty() ? words : QStringLiteral("%1 (%2)").arg(history_.rune, words);
}

void UploadDriver::compareFirst()
{
    compare_ = std::make_unique<ModuleCompare>();
    const QByteArray image = options_.imagePath.isEmpty() ? options_.image : QByteArray();
    compare_->start(*mediator_, options_.calName, image, [this](const ModuleContents &c) { afterCompare(c); });
}

void UploadDriver::afterCompare(const ModuleContents &contents)
{
    if (done_)
        return;
    if (contents.result != ModuleContents::Result::Failed)
        log(QStringLiteral("Compared by content in %1 ms (%2 bytes read).")
                .arg(contents.elapsedMs)
                .arg(contents.bytesRead));
    if (onCompared)
        onCompared(contents);
    compared_ = true;
    if (options_.task != Task::Verify && contents.result == ModuleContents::Result::Failed) {
        // A failed transaction has closed the connection: connect again to upload.
        log(QStringLiteral("The module could not be compared (%1); uploading all the same.").arg(contents.failure));
        connectTxn_ = std::make_unique<corla::EcuTxnConnect>();
        if (!mediator_->startTxn(*connectTxn_, Delegate{&UploadDriver::connectDone, this, -1, 0}))
            finish(false, QStringLiteral("the connection could not be started"));
        return;
    }
    if (options_.task != Task::Verify) {
        continueTask();
        return;
    }
    switch (contents.result) {
    case ModuleContents::Result::Holds:
        finish(true, QString());
        return;
    case ModuleContents::Result::Differs:
        differs_ = true;
        finish(false,
               contents.empty ? QStringLiteral("the module holds no calibration")
                              : QStringLiteral("the module holds another image"));
        return;
    case ModuleContents::Result::Failed:
        finish(false, QStringLiteral("the module's calibration could not be compared: ") + contents.failure);
        return;
    }
}

void UploadDriver::continueTask()
{
    switch (options_.task) {
    case Task::Read:
        startRead();
        break;
    case Task::Verify:
        verify();
        break;
    case Task::Upload:
    case Task::Restore:
        if (options_.outputPath.isEmpty())
            startWrite();
        else
            startRead();  // the backup first
        break;
    }
}

void UploadDriver::startRead()
{
    const corla::Ecu ecu(mediator_->ecu());
    readCal_ = ecu.newCalibration();
    readTxn_ = std::make_unique<corla::EcuTxnReadCal>(readCal_);
    if (!mediator_->startTxn(*readTxn_, Delegate{&UploadDriver::readDone, this, -1, 0}))
        finish(false, QStringLiteral("reading could not be started"));
}

void UploadDriver::compareRead(int status)
{
    const QString held = QStringLiteral("%1 bytes, CRC-32 %2").arg(expected_.size()).arg(crcText(expectedCrc_));
    if (status == CORLA_STATUS_UNSUPPORTED) {
        log(QStringLiteral("The module holds this setup's calibration: %1 (the module cannot send its calibration "
                           "back, so only its length and CRC-32 were compared).")
                .arg(held));
        finish(true, QString());
        return;
    }
    if (status != kStatusOk) {
        finish(false, QStringLiteral("reading failed: ") + corla::fromWide(CORLA_StatusText(status)));
        return;
    }
    const QByteArray bytes = readCal_.contents();
    if (bytes == expected_) {
        log(QStringLiteral("The module holds this setup's calibration: %1, compared byte for byte.").arg(held));
        finish(true, QString());
        return;
    }
    const qsizetype common = std::min(bytes.size(), expected_.size());
    qsizetype first = common;
    qsizetype count = std::max(bytes.size(), expected_.size()) - common;
    for (qsizetype i = common - 1; i >= 0; --i) {
        if (bytes[i] != expected_[i]) {
            first = i;
            ++count;
        }
    }
    differs_ = true;
    finish(false,
           QStringLiteral("the module holds %1 bytes with the CRC-32 of this setup's calibration, but %2 of them "
                          "differ from it (the first at address %3)")
               .arg(bytes.size())
               .arg(count)
               .arg(first));
}

void UploadDriver::onReadDone(int code, const int *status)
{
    if (code != kCodeFinished || !status || done_)
        return;
    if (options_.task == Task::Verify) {
        compareRead(*status);
        return;
    }
    const bool backup = options_.task != Task::Read;
    // The backup has a line of its own, before the upload's or restore's.
    kelda::history::Entry backupEntry = history_;
    backupEntry.operation = QLatin1String(kelda::history::kBackup);
    backupEntry.file.clear();
    backupEntry.sha256.clear();
    kelda::history::Entry &entry = backup ? backupEntry : history_;
    const auto failed = [&](const QString &why) {
        if (backup) {
            backupEntry.reason = why;
            record(backupEntry);
        }
        finish(false, why);
    };
    const QString what = backup ? QStringLiteral("backup failed") : QStringLiteral("reading failed");
    if (*status != kStatusOk) {
        failed(what + QStringLiteral(": ") + corla::fromWide(CORLA_StatusText(*status)));
        return;
    }
    const QByteArray bytes = readCal_.contents();
    entry.length = uint32_t(bytes.size());
    if (bytes.isEmpty()) {
        if (!backup) {
            finish(false,
                   QStringLiteral("the module holds no calibration; %1 was not written").arg(options_.outputPath));
            return;
        }
        log(QStringLiteral("The module holds no calibration: there is nothing to back up, %1 was not written.")
                .arg(options_.outputPath));
        backupEntry.ok = true;
        record(backupEntry);
        startWrite();
        return;
    }
    entry.crc = readCal_.crc32();
    QString reason;
    if (!kelda::fileio::writeAtomically(options_.outputPath, bytes, nullptr, &reason)) {
        const QString why = QStringLiteral("cannot write ") + options_.outputPath + QStringLiteral(": ") + reason;
        failed(backup ? what + QStringLiteral(": ") + why : reason);
        return;
    }
    entry.file = QFileInfo(options_.outputPath).absoluteFilePath();
    entry.sha256 = kelda::history::sha256Of(bytes);
    log(QStringLiteral("Wrote %1 bytes (CRC-32 %2) to %3.")
            .arg(bytes.size())
            .arg(crcText(readCal_.crc32()), options_.outputPath));
    if (backup) {
        backupEntry.ok = true;
        record(backupEntry);
        startWrite();
    } else {
        finish(true, QString());
    }
}

namespace {
// The setup's image comes in memory (kelda-cli) or in a file (the dialog).
PreparedUpload preparedImage(const corla::Ecu &ecu, const UploadDriver::Options &options)
{
    return options.imagePath.isEmpty() ? prepareCalibration(ecu, options.calName, options.image)
                                       : prepareCalibration(ecu, options.calName, options.imagePath);
}
}  // namespace

void UploadDriver::startWrite()
{
    const corla::Ecu ecu(mediator_->ecu());
    PreparedUpload prepared = options_.task == Task::Upload ? preparedImage(ecu, options_)
        : options_.restoreAsUpload                          ? prepareCalibration(ecu, options_.calName, options_.image)
                                                            : prepareRestore(ecu, options_.calibration);
    switch (prepared.result) {
    case PreparedUpload::Result::Ready:
        break;
    case PreparedUpload::Result::NoRune:
        finish(false, QString::fromLatin1(kNoRuneTitle) + QStringLiteral(": ") + prepared.detail);
        return;
    case PreparedUpload::Result::Incompatible:
        finish(false, QString::fromLatin1(kIncompatibleTitle) + QStringLiteral(": ") + prepared.detail.simplified());
        return;
    case PreparedUpload::Result::ImageUnreadable:
    case PreparedUpload::Result::WriteFailed:
        finish(false, prepared.detail);
        return;
    }

    history_.crc = prepared.cal.crc32();
    history_.length = CORLA_ICal_GetDataEnd(prepared.cal.get());
    uploadTxn_ = std::make_unique<corla::EcuTxnUploadCal>(prepared.cal);
    if (!mediator_->startTxn(*uploadTxn_, Delegate{&UploadDriver::uploadDone, this, -1, 0}))
        finish(false, QStringLiteral("the upload could not be started"));
}

void UploadDriver::verify()
{
    const corla::Ecu ecu(mediator_->ecu());
    const PreparedUpload prepared = preparedImage(ecu, options_);
    if (prepared.result == PreparedUpload::Result::NoRune || prepared.result == PreparedUpload::Result::Incompatible) {
        finish(
            false,
            QString::fromLatin1(prepared.result == PreparedUpload::Result::NoRune ? kNoRuneTitle : kIncompatibleTitle)
                + QStringLiteral(": ") + prepared.detail.simplified());
        return;
    }
    if (prepared.result != PreparedUpload::Result::Ready) {
        finish(false, prepared.detail);
        return;
    }
    uint32_t length = 0;
    uint32_t crc = 0;
    if (!ecu.storedCalibration(&length, &crc)) {
        finish(false, QStringLiteral("the module is no longer connected"));
        return;
    }
    const uint32_t ours = CORLA_ICal_GetDataEnd(prepared.cal.get());
    const uint32_t ourCrc = prepared.cal.crc32();
    if (length == ours && crc == ourCrc) {
        // Length and CRC-32 can agree for different bytes: where the module
        // sends its calibration back, the bytes decide.
        expected_ = prepared.cal.contents();
        expectedCrc_ = ourCrc;
        startRead();
        return;
    }
    differs_ = true;
    finish(false,
           QStringLiteral("the module holds %1 bytes with CRC-32 %2; this setup's calibration is %3 bytes with "
                          "CRC-32 %4 (%5)")
               .arg(length)
               .arg(crcText(crc))
               .arg(ours)
               .arg(crcText(ourCrc))
               .arg(length != ours ? QStringLiteral("the lengths differ") : QStringLiteral("the CRCs differ")));
}

QString UploadDriver::uploadFailure(int status, int holds) const
{
    const QString why = engineRunning_ && status == CORLA_STATUS_CANCELLED
        ? QStringLiteral("the module reports that the engine is running: stop the engine and "
                         "run the command again")
        : corla::fromWide(CORLA_StatusText(status));
    if (holds <= CORLA_HOLDS_PREVIOUS)
        return QStringLiteral("upload failed: ") + why + QStringLiteral("; ") + kKeepsPrevious;
    return QStringLiteral("upload failed: %1. %2").arg(why, corla::moduleHoldsText(holds));
}

void UploadDriver::onUploadDone(int code, const int *status)
{
    if (code != kCodeFinished || !status || done_)
        return;
    if (*status == kStatusOk) {
        log(QString::fromLatin1(kCompleteText));
        finish(true, QString());
    } else {
        finish(false, uploadFailure(*status, uploadTxn_->moduleHolds()));
    }
}

}  // namespace kelda::upload
