#include "livesession.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <unistd.h>

#include "quietmediator.h"
#include "corlalive.h"
#include "imagecompiler.h"
#include "modulecompare.h"
#include "pmmodel.h"
#include "uploadcalibration.h"

namespace kelda::live {

namespace {
int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] auto n = ::write(signalPipe[1], &c, 1);
}
}  // namespace

bool loadNames(const QString &setup, LiveNames *out, QString *why)
{
    if (!QFileInfo::exists(setup)) {
        *why = QStringLiteral("no such file");
        return false;
    }
    PMModel model;
    if (!model.openSetup(setup)) {
        *why = model.lastError().isEmpty() ? QStringLiteral("not a setup file") : model.lastError();
        return false;
    }
    out->names = simNames(model.session());
    out->loaded = true;
    return true;
}

bool compileSetup(const QString &setup, SetupImage *out, QString *why)
{
    PMModel model;
    if (!model.openSetup(setup)) {
        *why = model.lastError().isEmpty() ? QStringLiteral("not a setup file") : model.lastError();
        return false;
    }
    if (!kelda::image::compileImage(model.session(), &out->image, why)) {
        if (why->isEmpty())
            *why = QStringLiteral("unknown error");
        return false;
    }
    out->calName = kelda::upload::unpaddedName(model.fileName());
    out->shown = QFileInfo(setup).fileName();
    return true;
}

QString statusText(int status)
{
    return corla::fromWide(CORLA_StatusText(status));
}

uint8_t kindOf(const QString &word)
{
    for (uint8_t k = corla::proto::LiveKey; k <= corla::proto::LiveCanOutput; ++k)
        if (word == QLatin1String(corla::proto::liveKindName(k)))
            return k;
    return 0;
}

struct LiveSession::Txn {
    corla::EcuTxn txn;
};

class LiveSession::Mediator : public kelda::live::QuietMediator
{
public:
    explicit Mediator(LiveSession *owner) : QuietMediator(&owner->lastLog_) { }
    void selectDefaultPort() override
    {
        PortInfo info = corla::PortList::listed(0);
        setPort(info.portSource, &info.settings);
    }
};

LiveSession::LiveSession(QString port) : port_(std::move(port)), mediator_(std::make_unique<Mediator>(this))
{
    // SIGINT and SIGTERM end a run cleanly: a force is released first.
    if (signalPipe[0] < 0 && ::pipe(signalPipe) != 0)
        return;
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    signals_ = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(signals_.get(), &QSocketNotifier::activated, signals_.get(), [this] {
        char c;
        [[maybe_unused]] auto n = ::read(signalPipe[0], &c, 1);
        interrupted_ = true;
    });
}

LiveSession::~LiveSession()
{
    mediator_->shutdown();
    txn_.reset();
    mediator_.reset();
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

bool LiveSession::connect(QString *why)
{
    const PortInfo info = corla::PortList::named(port_);
    CorlaPortSource *source = info.portSource;
    if (!source) {
        *why = QStringLiteral("no port named '%1'").arg(port_);
        return false;
    }
    mediator_->setPort(source, &info.settings);
    const int status = run(CORLA_EcuTxn_Connect_Create());
    if (status == CORLA_STATUS_OK)
        return true;
    *why = status == kelda::upload::kStatusNoRune
        ? QString::fromLatin1(kelda::upload::kNoRuneTitle) + QStringLiteral(": ")
            + kelda::upload::noRuneText().simplified()
        : QStringLiteral("connection failed: %1").arg(corla::fromWide(CORLA_StatusText(status)));
    if (!lastLog_.isEmpty() && status != kelda::upload::kStatusNoRune)
        *why += QStringLiteral(" (") + lastLog_ + QLatin1Char(')');
    return false;
}

void LiveSession::done(void *context, int code, const void *data, int)
{
    if (code == CORLA_TXN_FINISHED && data)
        static_cast<LiveSession *>(context)->ended(*static_cast<const int *>(data));
}

void LiveSession::ended(int status)
{
    status_ = status;
    finished_ = true;
    if (loop_)
        loop_->quit();
}

int LiveSession::run(CorlaEcuTxn *txn)
{
    if (!txn)
        return -1;
    txn_ = std::make_unique<Txn>(Txn{corla::EcuTxn(txn)});
    finished_ = false;
    status_ = -1;
    if (!mediator_->startTxn(txn_->txn, Delegate{&LiveSession::done, this, -1, 0}))
        return -1;
    if (!finished_) {
        QEventLoop loop;
        loop_ = &loop;
        loop.exec();
        loop_ = nullptr;
    }
    return status_;
}

QString LiveSession::notHeld(const SetupImage &setup)
{
    using kelda::upload::ModuleContents;
    kelda::upload::ModuleCompare compare;
    ModuleContents contents;
    bool done = false;
    QEventLoop loop;
    compare.start(*mediator_, setup.calName, setup.image, [&](const ModuleContents &c) {
        contents = c;
        done = true;
        loop.quit();
    });
    if (!done)
        loop.exec();
    switch (contents.result) {
    case ModuleContents::Result::Holds:
        return QString();
    case ModuleContents::Result::Differs:
        return QStringLiteral("the module does not hold %1 (%2)")
            .arg(setup.shown,
                 contents.empty ? QStringLiteral("it holds no calibration") : QStringLiteral("it holds another image"));
    case ModuleContents::Result::Failed:
        break;
    }
    return QStringLiteral("it is not known whether the module holds %1 (%2)").arg(setup.shown, contents.failure);
}

const CorlaEcuTxn *LiveSession::last() const
{
    return txn_ ? txn_->txn.get() : nullptr;
}

bool LiveSession::wait(int ms)
{
    if (interrupted_)
        return false;
    QEventLoop loop;
    QTimer::singleShot(std::max(0, ms), Qt::PreciseTimer, &loop, &QEventLoop::quit);
    if (signals_)
        QObject::connect(signals_.get(), &QSocketNotifier::activated, &loop, &QEventLoop::quit);
    loop.exec();
    return !interrupted_;
}

}  // namespace kelda::live
