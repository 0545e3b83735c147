// Transactions: starting one, binding it to its mediator's ECU, and the
// reports and messages its mediator receives; the CORLA_EcuTxn_ interface.
#include "corlaimpl.h"

using namespace corla::detail;

namespace corla::detail {

// Started transactions that have not yet asked their mediator for an ECU.
std::vector<CorlaEcuTxn *> &binding()
{
    static auto *v = new std::vector<CorlaEcuTxn *>;
    return *v;
}

void callDelegate(const Delegate &d, int code, const void *data)
{
    if (!d.function)
        return;
    if (code >= 0 && code < 32 && !(uint32_t(d.mask) & (1u << code)))
        return;
    d.function(d.context, code, data, d.extra);
}

void sendMessage(const MediatorTable &table, const Delegate &events, const QString &text, int kind)
{
    if (events.function) {
        const CorlaMessage m{kind, wide(text)};
        callDelegate(events, CORLA_EVENT_MESSAGE, &m);
    } else if (table.message) {
        table.message(table.context, wide(text), kind);
    }
}

// Posts the report of a finished transaction. Aborted ones are reported
// through removeTxn, so that a mediator never disconnects because of them.
void postReport(CorlaEcuTxn *txn)
{
    Item it;
    it.type = ItemType::Report;
    it.ecu = txn->ecu;
    it.txn = txn;
    it.mediator = txn->table.context;
    it.run = [txn](bool asAborted) {
        if (asAborted)
            txn->status = CORLA_STATUS_ABORTED;
        const int status = txn->status;
        const MediatorTable table = txn->table;
        const Delegate delegate = txn->delegate;
        if (status == CORLA_STATUS_ABORTED) {
            if (table.removeTxn)
                table.removeTxn(table.context, txn);
        } else if (table.txnFinished) {
            table.txnFinished(table.context, txn, status);
        }
        callDelegate(delegate, CORLA_TXN_FINISHED, &status);
        if (EcuImpl *e = txn->ecu) {
            txn->ecu = nullptr;
            remRef(e);
        }
    };
    post(std::move(it));
}

void postTxnEvent(CorlaEcuTxn *txn, const void *ecu, std::function<void()> call)
{
    Item it;
    it.type = ItemType::TxnEvent;
    it.ecu = ecu;
    it.txn = txn;
    it.mediator = txn->table.context;
    it.run = [call = std::move(call)](bool) { call(); };
    post(std::move(it));
}

void postListener(const void *ecu, std::function<void()> call)
{
    Item it;
    it.type = ItemType::Listener;
    it.ecu = ecu;
    it.run = [call = std::move(call)](bool) { call(); };
    post(std::move(it));
}

void postTxnLog(CorlaEcuTxn *txn, const QString &text, int kind)
{
    postTxnEvent(txn, txn->ecu, [txn, text, kind] { sendMessage(txn->table, txn->events, text, kind); });
}

}  // namespace corla::detail

namespace {

void bindTxn(CorlaEcuTxn *txn)
{
    std::erase(binding(), txn);
    if (txn->state != CorlaEcuTxn::State::Binding)
        return;  // aborted meanwhile
    const MediatorTable &t = txn->table;
    if (t.eventDelegate) {
        if (Delegate *d = t.eventDelegate(t.context))
            txn->events = *d;
    }
    EcuImpl *e = asEcu(t.ecu ? t.ecu(t.context) : nullptr);
    if (!e) {
        postTxnLog(txn, QStringLiteral("%1 failed: the mediator has no ECU.").arg(txn->name), CORLA_MSG_LOG);
        txn->state = CorlaEcuTxn::State::Finished;
        txn->status = CORLA_STATUS_NO_PORT;
        postReport(txn);
        return;
    }
    e->enqueue(txn);
}

}  // namespace

CorlaEcuTxn::CorlaEcuTxn(Type t, CalImpl *c) : Object(CORLA_KIND_TXN), type(t), cal(c)
{
    name = t == Type::Connect ? QStringLiteral("Connect")
        : t == Type::Upload   ? QStringLiteral("Upload Calibration")
        : t == Type::Monitor  ? QStringLiteral("Monitor")
        : t == Type::Force    ? QStringLiteral("Force")
                              : QStringLiteral("Read Calibration");
    if (cal)
        addRef(cal);
    events = Delegate{nullptr, nullptr, -1, 0};
}

CorlaEcuTxn::~CorlaEcuTxn()
{
    std::erase(binding(), this);  // its start step may have been dropped with a withdrawn mediator
    if (cal)
        remRef(cal);
    if (ecu)
        remRef(ecu);
}

extern "C" {

CorlaEcuTxn *CORLA_EcuTxn_Connect_Create(void)
{
    return new CorlaEcuTxn(CorlaEcuTxn::Type::Connect, nullptr);
}

CorlaEcuTxn *CORLA_EcuTxn_UploadCal_Create(CorlaICal *ical)
{
    CalImpl *c = static_cast<CalImpl *>(CORLA_ICal_ToCal(ical));
    if (!c)
        return nullptr;
    return new CorlaEcuTxn(CorlaEcuTxn::Type::Upload, c);
}

CorlaEcuTxn *CORLA_EcuTxn_ReadCal_Create(CorlaICal *ical)
{
    CalImpl *c = static_cast<CalImpl *>(CORLA_ICal_ToCal(ical));
    if (!c)
        return nullptr;
    return new CorlaEcuTxn(CorlaEcuTxn::Type::Read, c);
}

int CORLA_EcuTxn_Start(CorlaEcuTxn *txn, const MediatorTable *table, const Delegate *delegate)
{
    if (!isLive(txn, CORLA_KIND_TXN) || !table || txn->state != CorlaEcuTxn::State::Created)
        return 0;
    txn->table = *table;
    txn->delegate = delegate ? *delegate : Delegate{nullptr, nullptr, -1, 0};
    txn->state = CorlaEcuTxn::State::Binding;
    binding().push_back(txn);
    Item it;
    it.type = ItemType::Internal;
    it.txn = txn;
    it.mediator = table->context;
    it.run = [txn](bool) { bindTxn(txn); };
    post(std::move(it));
    return 1;
}

void CORLA_EcuTxn_Abort(CorlaEcuTxn *txn)
{
    if (!isLive(txn, CORLA_KIND_TXN))
        return;
    switch (txn->state) {
    case CorlaEcuTxn::State::Binding:
        std::erase(binding(), txn);
        txn->state = CorlaEcuTxn::State::Finished;
        txn->status = CORLA_STATUS_ABORTED;
        postReport(txn);
        break;
    case CorlaEcuTxn::State::Queued:
    case CorlaEcuTxn::State::Running:
        if (txn->ecu)
            txn->ecu->abort(txn);
        break;
    default:
        break;
    }
}

const char16_t *CORLA_EcuTxn_GetName(const CorlaEcuTxn *txn)
{
    return isLive(txn, CORLA_KIND_TXN) ? wide(txn->name) : u"";
}

int CORLA_EcuTxn_IsDisconnectOnFail(const CorlaEcuTxn *txn)
{
    return isLive(txn, CORLA_KIND_TXN) ? 1 : 0;
}

int CORLA_EcuTxn_GetStatus(const CorlaEcuTxn *txn)
{
    return isLive(txn, CORLA_KIND_TXN) ? txn->status : -1;
}

int CORLA_EcuTxn_GetModuleHolds(const CorlaEcuTxn *txn)
{
    return isLive(txn, CORLA_KIND_TXN) && txn->state == CorlaEcuTxn::State::Finished ? txn->holds : -1;
}

const char16_t *CORLA_ModuleHoldsText(int holds)
{
    switch (holds) {
    case CORLA_HOLDS_NEW:
        return u"The module holds the new calibration";
    case CORLA_HOLDS_UNKNOWN:
        return u"It is not known whether the module holds the new calibration: check the module before the vehicle is "
               u"used.";
    case CORLA_HOLDS_PREVIOUS:
    case CORLA_HOLDS_PREVIOUS_CHECKED:
        return u"The module keeps its previous calibration";
    default:
        return u"";
    }
}

}  // extern "C"
