// The ECU: its transaction queue, its messages and listeners, abort and
// disconnect; the CORLA_Ecu_ interface. The line, connect and upload live in
// corlalink.cpp, corlaconnect.cpp and corlaupload.cpp.
#include "corlaimpl.h"

#include <algorithm>

using namespace corla::detail;
namespace proto = corla::proto;

namespace {

std::vector<EcuImpl *> &ecus()
{
    static auto *v = new std::vector<EcuImpl *>;
    return *v;
}

}  // namespace

namespace corla::detail {

EcuImpl *asEcu(CorlaICal *i)
{
    if (!isLive(i, CORLA_KIND_ICAL) || !i->isEcu())
        return nullptr;
    return static_cast<EcuImpl *>(i);
}

void forgetMediatorEverywhere(void *context)
{
    if (!context)
        return;
    for (EcuImpl *e : ecus())
        e->forgetMediator(context);
    drop([context](const Item &i) { return i.mediator == context; });
}

EcuImpl::EcuImpl()
{
    ecus().push_back(this);
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, &ctx_, [this] {
        if (pipelining_)
            windowTimeout();
        else
            retry(QStringLiteral("no reply within %1 ms").arg(req_.timeoutMs));
    });
}

EcuImpl::~EcuImpl()
{
    closePort(connected);
    drop([this](const Item &i) { return i.ecu == this; });
    if (rune)
        remRef(rune);
    if (cal)
        remRef(cal);
    std::erase(ecus(), this);
}

void EcuImpl::log(CorlaEcuTxn *txn, const QString &text, int kind)
{
    if (txn)
        postTxnLog(txn, text, kind);
    else
        postEcuMessage(text, kind);
}

void EcuImpl::progress(CorlaEcuTxn *txn, double fraction)
{
    postTxnEvent(txn, this, [txn, fraction] { callDelegate(txn->events, CORLA_EVENT_PROGRESS, &fraction); });
}

void EcuImpl::postEcuMessage(const QString &text, int kind)
{
    if (!haveMediator_)
        return;
    Item it;
    it.type = ItemType::EcuMessage;
    it.ecu = this;
    it.mediator = mediator_.context;
    const MediatorTable table = mediator_;
    const Delegate events = mediatorEvents_;
    it.run = [table, events, text, kind](bool) { sendMessage(table, events, text, kind); };
    post(std::move(it));
}

void EcuImpl::notifyConnection(bool isConnected)
{
    for (const EcuListenerTable &l : ecuListeners) {
        if (l.connectionChanged)
            postListener(this, [l, isConnected] { l.connectionChanged(l.context, isConnected ? 1 : 0); });
    }
}

void EcuImpl::setRune(CorlaRune *r)
{
    if (r == rune)
        return;
    if (r)
        addRef(r);
    if (rune)
        remRef(rune);
    rune = r;
    for (const EcuListenerTable &l : ecuListeners) {
        if (l.runeChanged)
            postListener(this, [l] { l.runeChanged(l.context, 0); });
    }
}

void EcuImpl::enqueue(CorlaEcuTxn *txn)
{
    txn->ecu = this;
    addRef(this);
    txn->state = CorlaEcuTxn::State::Queued;
    addRef(txn);
    queue_.push_back(txn);
    pump();
}

void EcuImpl::pump()
{
    if (current_ || queue_.empty())
        return;
    CorlaEcuTxn *t = queue_.front();
    queue_.pop_front();
    current_ = t;
    t->state = CorlaEcuTxn::State::Running;
    haveMediator_ = true;
    mediator_ = t->table;
    mediatorEvents_ = t->events;

    postTxnEvent(t, this, [t] {
        if (t->table.txnStarted)
            t->table.txnStarted(t->table.context, t);
        callDelegate(t->delegate, CORLA_TXN_STARTED, nullptr);
    });
    postStep(t, [this, t] {
        if (t->state != CorlaEcuTxn::State::Running)
            return;
        switch (t->type) {
        case CorlaEcuTxn::Type::Connect:
            runConnect();
            break;
        case CorlaEcuTxn::Type::Upload:
            runUpload();
            break;
        case CorlaEcuTxn::Type::Read:
            runRead();
            break;
        case CorlaEcuTxn::Type::Compare:
            runCompare();
            break;
        case CorlaEcuTxn::Type::Monitor:
            runMonitor();
            break;
        case CorlaEcuTxn::Type::Force:
            runForce();
            break;
        }
    });
}

void EcuImpl::postStep(CorlaEcuTxn *txn, std::function<void()> step)
{
    Item it;
    it.type = ItemType::Internal;
    it.ecu = this;
    it.txn = txn;
    it.run = [this, txn, step = std::move(step)](bool) {
        if (current_ == txn)
            step();
    };
    post(std::move(it));
}

void EcuImpl::finish(CorlaEcuTxn *txn, int status)
{
    if (txn != current_)
        return;
    timer_.stop();
    req_.active = false;
    req_.onReply = nullptr;
    pipelining_ = false;
    window_.clear();
    begun_ = false;
    commitSent_ = false;
    probing_ = false;
    readBuf_.clear();
    if (txn->type == CorlaEcuTxn::Type::Upload && txn->holds < 0)
        txn->holds = status == CORLA_STATUS_OK ? CORLA_HOLDS_NEW : CORLA_HOLDS_PREVIOUS;
    txn->state = CorlaEcuTxn::State::Finished;
    txn->status = status;
    postReport(txn);
    current_ = nullptr;
    remRef(txn);
    pump();
}

void EcuImpl::abort(CorlaEcuTxn *txn)
{
    if (txn->state == CorlaEcuTxn::State::Queued) {
        auto it = std::find(queue_.begin(), queue_.end(), txn);
        if (it == queue_.end())
            return;
        queue_.erase(it);
        txn->state = CorlaEcuTxn::State::Finished;
        txn->status = CORLA_STATUS_ABORTED;
        postTxnLog(txn, QStringLiteral("%1 aborted.").arg(txn->name), CORLA_MSG_LOG);
        postReport(txn);
        remRef(txn);
        return;
    }
    if (txn != current_)
        return;
    if (txn->type == CorlaEcuTxn::Type::Upload && (commitSent_ || probing_)) {
        // The module may hold the new calibration already: ask before saying so.
        log(txn, QStringLiteral("%1 aborted.").arg(txn->name));
        txn->holds = probeNow();
        log(txn, fromWide(CORLA_ModuleHoldsText(txn->holds)));
        finish(txn, CORLA_STATUS_ABORTED);
        return;
    }
    if (txn->type == CorlaEcuTxn::Type::Upload) {
        if (begun_)
            sendOneWay(proto::Abort, {});
    } else if (!connected) {
        closePort(false);
    }
    log(txn, QStringLiteral("%1 aborted.").arg(txn->name));
    finish(txn, CORLA_STATUS_ABORTED);
}

void EcuImpl::disconnectAndWait()
{
    // Transactions started for this ECU but not yet under way are aborted too.
    const std::vector<CorlaEcuTxn *> waiting = binding();
    for (CorlaEcuTxn *t : waiting) {
        if (t->state == CorlaEcuTxn::State::Binding && t->table.ecu && t->table.ecu(t->table.context) == this)
            CORLA_EcuTxn_Abort(t);
    }
    while (!queue_.empty())
        abort(queue_.front());
    if (current_)
        abort(current_);
    const bool wasConnected = connected;
    connected = false;
    closePort(true);
    // Every report still waiting is delivered now: the caller is tearing the
    // connection down and must find its transaction list empty on return.
    drop([this](const Item &i) { return i.ecu == this && i.type == ItemType::TxnEvent; });
    deliverNow(
        [this](const Item &i) {
            return i.type == ItemType::Report
                && (i.ecu == this || (i.txn && !i.txn->ecu && i.txn->status == CORLA_STATUS_ABORTED));
        },
        true);
    if (!disconnectedPending_) {
        disconnectedPending_ = true;
        if (haveMediator_) {
            Item it;
            it.type = ItemType::EcuMessage;
            it.ecu = this;
            it.mediator = mediator_.context;
            const MediatorTable table = mediator_;
            const Delegate events = mediatorEvents_;
            it.run = [this, table, events](bool) {
                disconnectedPending_ = false;
                sendMessage(table, events, QStringLiteral("Disconnected"), CORLA_MSG_STATUS);
            };
            post(std::move(it));
        } else {
            disconnectedPending_ = false;
        }
    }
    if (wasConnected)
        notifyConnection(false);
}

void EcuImpl::removeListeners()
{
    ecuListeners.clear();
    calListeners.clear();
    haveMediator_ = false;
    disconnectedPending_ = false;
    drop([this](const Item &i) {
        return i.ecu == this && (i.type == ItemType::Listener || i.type == ItemType::EcuMessage);
    });
}

void EcuImpl::forgetMediator(void *context)
{
    if (haveMediator_ && mediator_.context == context) {
        haveMediator_ = false;
        disconnectedPending_ = false;
        drop([this](const Item &i) { return i.ecu == this && i.type == ItemType::EcuMessage; });
    }
}

}  // namespace corla::detail

extern "C" {

CorlaEcu *CORLA_Ecu_Create(void)
{
    return new EcuImpl;
}

int CORLA_Ecu_AddListener(CorlaEcu *ecu, const EcuListenerTable *table)
{
    EcuImpl *e = asEcu(ecu);
    if (!e || !table)
        return 0;
    e->ecuListeners.push_back(*table);
    return 1;
}

void CORLA_Ecu_RemoveAllDataListenersNonGlobal(CorlaEcu *ecu)
{
    if (EcuImpl *e = asEcu(ecu))
        e->removeListeners();
}

int CORLA_Ecu_IsConnected(CorlaEcu *ecu)
{
    EcuImpl *e = asEcu(ecu);
    return e && e->connected ? 1 : 0;
}

void CORLA_Ecu_DisconnectAndWait(CorlaEcu *ecu)
{
    if (EcuImpl *e = asEcu(ecu))
        e->disconnectAndWait();
}

CorlaCal *CORLA_Ecu_NewCalibration(CorlaEcu *ecu)
{
    EcuImpl *e = asEcu(ecu);
    if (!e)
        return nullptr;
    auto *c = new CalImpl(e->rune);
    addRef(c);
    if (e->cal)
        remRef(e->cal);
    e->cal = c;
    for (const CalListenerTable &l : e->calListeners) {
        if (l.changed)
            postListener(e, [l] { l.changed(l.context, 0); });
    }
    return c;
}

CorlaICal *CORLA_Ecu_GetCalibration(CorlaEcu *ecu)
{
    EcuImpl *e = asEcu(ecu);
    return e ? e->cal : nullptr;
}

int CORLA_Ecu_GetStoredCalibration(CorlaEcu *ecu, uint32_t *length, uint32_t *crc)
{
    EcuImpl *e = asEcu(ecu);
    if (!e || !e->connected)
        return 0;
    if (length)
        *length = e->identity.storedLength;
    if (crc)
        *crc = e->identity.storedCrc;
    return 1;
}

void CORLA_Ecu_SetRune(CorlaEcu *ecu, CorlaRune *rune)
{
    EcuImpl *e = asEcu(ecu);
    if (!e || (rune && !isLive(rune, CORLA_KIND_RUNE)))
        return;
    e->setRune(rune);
}

}  // extern "C"
