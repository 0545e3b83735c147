#include "livelink.h"

#include <QFileInfo>
#include <QTimer>

#include "quietmediator.h"
#include "uploadcalibration.h"

namespace {

enum TxnKind { Connecting, Polling, Forcing };

int forceKey(uint8_t kind, uint8_t item)
{
    return kind << 8 | item;
}

constexpr int kMaxForces = 64;  // records a FORCE carries at most

}  // namespace

// A refused force, a module without live data or a failed comparison leave
// the line open; the link closes it when the line itself failed.
class LiveLink::Mediator : public kelda::live::QuietMediator
{
public:
    explicit Mediator(LiveLink *owner) : QuietMediator(&owner->lastLog_) { }
    void txnFinished(const corla::EcuTxn &txn, int) override { removeTxn(txn); }
    void selectDefaultPort() override { }
};

struct LiveLink::Running {
    corla::EcuTxn txn;
    int kind = Connecting;
    std::map<int, int> sent;  // the force records of a FORCE
};

LiveLink::LiveLink(QObject *parent)
    : QObject(parent), mediator_(std::make_unique<Mediator>(this)), poll_(new QTimer(this)), renew_(new QTimer(this))
{
    poll_->setInterval(kPollMs);
    poll_->setTimerType(Qt::PreciseTimer);
    renew_->setInterval(kRenewMs);
    renew_->setTimerType(Qt::PreciseTimer);
    connect(poll_, &QTimer::timeout, this, [this] {
        pollDue_ = true;
        pump();
    });
    connect(renew_, &QTimer::timeout, this, [this] {
        renewDue_ = !forces_.empty();
        pump();
    });
}

LiveLink::~LiveLink()
{
    closing_ = true;
    mediator_->shutdown();
    running_.reset();
    mediator_.reset();
}

corla::BasicEcuMediator &LiveLink::mediator()
{
    return *mediator_;
}

void LiveLink::open(const QString &port)
{
    close();
    port_ = port;
    live_ = true;
    full_ = true;
    const PortInfo info = corla::PortList::named(port);
    CorlaPortSource *source = info.portSource;
    if (!source) {
        QTimer::singleShot(0, this, [this, port] {
            emit opened(false,
                        port.isEmpty() ? tr("no port chosen (Config > COM Port)") : tr("no port named '%1'").arg(port));
        });
        return;
    }
    mediator_->setPort(source, &info.settings);
    if (!start(CORLA_EcuTxn_Connect_Create(), Connecting))
        QTimer::singleShot(0, this, [this] { emit opened(false, tr("the connection could not be started")); });
}

void LiveLink::close()
{
    const bool hadForces = !forces_.empty();
    open_ = false;
    poll_->stop();
    renew_->stop();
    forces_.clear();
    pending_.clear();
    pollDue_ = renewDue_ = false;
    closing_ = true;
    mediator_->disconnect();
    closing_ = false;
    running_.reset();
    if (hadForces)
        emit forcesChanged();
}

void LiveLink::setPaused(bool paused)
{
    paused_ = paused;
    if (!paused)
        pump();
}

void LiveLink::force(uint8_t kind, uint8_t item, int action)
{
    if (!open_)
        return;
    const int key = forceKey(kind, item);
    if (action == CORLA_FORCE_RELEASE && !forces_.count(key) && !pending_.count(key))
        return;
    pending_[key] = action;
    if (action == CORLA_FORCE_RELEASE)
        forces_.erase(key);
    else
        forces_[key] = action == CORLA_FORCE_ON;
    emit forcesChanged();
    pump();
}

void LiveLink::releaseAll()
{
    const std::map<int, bool> held = forces_;
    for (const auto &[key, on] : held)
        pending_[key] = CORLA_FORCE_RELEASE;
    forces_.clear();
    if (!held.empty())
        emit forcesChanged();
    pump();
}

bool LiveLink::start(CorlaEcuTxn *txn, int kind)
{
    if (!txn)
        return false;
    running_ = std::make_unique<Running>(Running{corla::EcuTxn(txn), kind, {}});
    if (mediator_->startTxn(running_->txn, Delegate{&LiveLink::done, this, -1, 0}))
        return true;
    running_.reset();
    return false;
}

void LiveLink::pump()
{
    if (!open_ || running_)
        return;
    if (!pending_.empty() || renewDue_) {
        sendForces();
        return;
    }
    if (pollDue_ && !paused_ && live_ && start(CORLA_EcuTxn_Monitor_Create(full_ ? 1 : 0), Polling))
        pollDue_ = false;
}

// What is pending, else a renewal of every force: each by its own record, so
// that a force the module let lapse is set again.
void LiveLink::sendForces()
{
    std::map<int, int> records;
    const bool renewal = pending_.empty();
    if (renewal) {
        for (const auto &[key, on] : forces_)
            records[key] = on ? CORLA_FORCE_ON : CORLA_FORCE_OFF;
        renewDue_ = false;
    } else {
        for (auto it = pending_.begin(); it != pending_.end() && int(records.size()) < kMaxForces;)
            records.insert(*it), it = pending_.erase(it);
    }
    QList<CorlaForce> list;
    for (const auto &[key, action] : records)
        list.append(CorlaForce{uint8_t(key >> 8), uint8_t(key & 0xFF), uint8_t(action), 0});
    // Past 64 forces a renewal renews them all without naming them.
    const int count = renewal && list.size() > kMaxForces ? 0 : int(list.size());
    if (start(CORLA_EcuTxn_Force_Create(kLeaseMs, list.constData(), count), Forcing))
        running_->sent = std::move(records);
}

void LiveLink::done(void *context, int code, const void *data, int)
{
    auto *self = static_cast<LiveLink *>(context);
    if (code == CORLA_TXN_FINISHED && data && !self->closing_)
        self->finished(*static_cast<const int *>(data));
}

void LiveLink::finished(int status)
{
    const std::unique_ptr<Running> ended = std::move(running_);
    if (!ended)
        return;
    if (ended->kind == Connecting) {
        if (status != CORLA_STATUS_OK) {
            const QString reason = why(status);
            close();
            emit opened(false, reason);
            return;
        }
        open_ = true;
        pollDue_ = true;
        poll_->start();
        renew_->start();
        emit opened(true, QString());
        pump();
        return;
    }
    uint32_t tick = 0, flags = 0;
    const CorlaLiveChange *changes = nullptr;
    const int n = CORLA_EcuTxn_GetLive(ended->txn.get(), &tick, &flags, &changes);
    if (status == CORLA_STATUS_UNSUPPORTED) {
        live_ = false;
        forces_.clear();
        pending_.clear();
        emit forcesChanged();
        emit noLiveData();
        return;
    }
    if (ended->kind == Forcing && status == CORLA_STATUS_REFUSED) {
        // The module drops every force it held when it refuses.
        forces_.clear();
        pending_.clear();
        emit forcesChanged();
        emit forceRefused(why(status), (flags & CORLA_LIVE_ENGINE_RUNNING) != 0);
        pump();
        return;
    }
    if (status != CORLA_STATUS_OK || n < 0) {
        failed(status);
        return;
    }
    if (ended->kind == Polling) {
        Reply r{tick, flags, QList<CorlaLiveChange>(changes, changes + n)};
        full_ = false;
        pollDue_ = pollDue_ || (flags & CORLA_LIVE_MORE);  // the rest at once
        emit replied(r);
    }
    pump();
}

void LiveLink::failed(int status)
{
    const QString reason = why(status);
    close();
    emit lost(reason);
}

QString LiveLink::why(int status) const
{
    if (status == kelda::upload::kStatusNoRune)
        return QString::fromLatin1(kelda::upload::kNoRuneTitle);
    if (status == CORLA_STATUS_LINK_LOST && !lastLog_.isEmpty())
        return lastLog_;  // the system's reason
    const QString text = corla::fromWide(CORLA_StatusText(status));
    return lastLog_.isEmpty() || lastLog_ == text ? text : text + QStringLiteral(" (") + lastLog_ + QLatin1Char(')');
}
