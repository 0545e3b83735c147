#include "uploaddriver.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>

#include "uploadcalibration.h"

namespace kelda::upload {

// The dialog's mediator, with the user's part played by the driver.
class UploadDriver::Mediator : public corla::BasicEcuMediator
{
public:
    explicit Mediator(UploadDriver *owner) : owner_(owner) {}

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

    void reserved14(uint32_t &, uint32_t *, uint32_t) override {}

    bool confirmEngineRunning() override
    {
        owner_->log(QStringLiteral("The engine is running: %1")
                        .arg(owner_->options_.engineRunningOk ? QStringLiteral("continuing as asked")
                                                              : QStringLiteral("stop the engine and try again")));
        return owner_->options_.engineRunningOk;
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
        corla::PortList list;
        list.enumerate(0);
        PortInfo info = corla::PortList::defaultInfo();
        setPort(list.get(0, info) ? info.portSource : nullptr, &info.settings);
    }

    void onEvent(int type, const void *data, int) override
    {
        if (!data)
            return;
        if (type == CORLA_EVENT_PROGRESS) {
            if (owner_->onProgress)
                owner_->onProgress(*static_cast<const double *>(data));
        } else if (type == CORLA_EVENT_MESSAGE) {
            const auto *record = static_cast<const CorlaMessage *>(data);
            message(record->text, record->kind);
        }
    }

private:
    UploadDriver *owner_;
};

UploadDriver::UploadDriver(Options options)
    : options_(std::move(options))
{
}

UploadDriver::~UploadDriver()
{
    if (mediator_)
        mediator_->shutdown();
    uploadTxn_.reset();
    connectTxn_.reset();
    mediator_.reset();
}

QStringList UploadDriver::portNames()
{
    QStringList names;
    corla::PortList list;
    list.enumerate(0);
    for (int index = 0; index < list.size(); ++index) {
        PortInfo info = corla::PortList::defaultInfo();
        list.get(index, info);
        names << corla::fromWide(info.displayName);
    }
    return names;
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

bool UploadDriver::run()
{
    mediator_ = std::make_unique<Mediator>(this);

    // The port as the dialog would list it; a device path that is not listed
    // is opened directly.
    corla::PortList list;
    list.enumerate(0);
    CorlaPortSource *source = nullptr;
    PortInfo info = corla::PortList::defaultInfo();
    for (int index = 0; index < list.size(); ++index) {
        PortInfo entry = corla::PortList::defaultInfo();
        if (list.get(index, entry) && corla::fromWide(entry.displayName) == options_.port) {
            info = entry;
            source = entry.portSource;
            break;
        }
    }
    if (!source && QFileInfo::exists(options_.port))
        source = CORLA_PortSource_FromPath(reinterpret_cast<const char16_t *>(options_.port.utf16()));
    if (!source) {
        const QStringList names = portNames();
        finish(false, QStringLiteral("no port named '%1' (listed: %2)")
                          .arg(options_.port, names.isEmpty() ? QStringLiteral("none") : names.join(QStringLiteral(", "))));
        return false;
    }
    mediator_->setPort(source, &info.settings);

    QEventLoop loop;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    if (options_.timeoutSeconds > 0) {
        QObject::connect(&watchdog, &QTimer::timeout, &loop, [&] {
            finish(false, QStringLiteral("no result within %1 s").arg(options_.timeoutSeconds));
        });
        watchdog.start(options_.timeoutSeconds * 1000);
    }

    connectTxn_ = std::make_unique<corla::EcuTxnConnect>();
    if (!mediator_->startTxn(*connectTxn_, Delegate{&UploadDriver::connectDone, this, -1, 0}))
        finish(false, QStringLiteral("the connection could not be started"));
    if (!done_) {
        loop_ = &loop;
        loop.exec();
        loop_ = nullptr;
    }

    mediator_->shutdown();
    return ok_;
}

void UploadDriver::connectDone(void *context, int code, const void *data, int)
{
    static_cast<UploadDriver *>(context)->onConnectDone(code, static_cast<const int *>(data));
}

void UploadDriver::uploadDone(void *context, int code, const void *data, int)
{
    static_cast<UploadDriver *>(context)->onUploadDone(code, static_cast<const int *>(data));
}

void UploadDriver::onConnectDone(int code, const int *status)
{
    if (code != kCodeFinished || !status || done_)
        return;
    if (*status == kStatusNoRune) {
        finish(false, QString::fromLatin1(kNoRuneTitle) + QStringLiteral(": ")
                          + QString::fromLatin1(kNoRuneText).simplified());
        return;
    }
    if (*status != kStatusOk) {
        finish(false, QStringLiteral("connection failed: %1").arg(corla::fromWide(CORLA_StatusText(*status))));
        return;
    }

    const corla::Ecu ecu(mediator_->ecu());
    PreparedUpload prepared = prepareCalibration(ecu, options_.calName, options_.imagePath);
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

    uploadTxn_ = std::make_unique<corla::EcuTxnUploadCal>(prepared.cal);
    if (!mediator_->startTxn(*uploadTxn_, Delegate{&UploadDriver::uploadDone, this, -1, 0}))
        finish(false, QStringLiteral("the upload could not be started"));
}

void UploadDriver::onUploadDone(int code, const int *status)
{
    if (code != kCodeFinished || !status || done_)
        return;
    if (*status == kStatusOk) {
        log(QString::fromLatin1(kCompleteText));
        finish(true, QString());
    } else {
        finish(false, QStringLiteral("upload failed: %1; the module keeps its previous calibration")
                          .arg(corla::fromWide(CORLA_StatusText(*status))));
    }
}

} // namespace kelda::upload
