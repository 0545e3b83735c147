// MONITOR and FORCE: one request each, like every other transaction, so that
// a poll waits while an upload or a read runs.
#include "corlaimpl.h"

#include "corlalive.h"

namespace proto = corla::proto;

using namespace corla::detail;

namespace corla::detail {

// The interface's numbers are the wire's.
static_assert(int(CORLA_LIVE_KEY) == int(proto::LiveKey) && int(CORLA_LIVE_CANOUTPUT) == int(proto::LiveCanOutput)
              && int(CORLA_LIVE_LED) == int(proto::LiveLed) && int(CORLA_LIVE_LX1) == int(proto::LiveLx1));
static_assert(int(CORLA_LIVE_FULL_PICTURE) == int(proto::LiveFullPicture)
              && int(CORLA_LIVE_MORE) == int(proto::LiveMore) && int(CORLA_LIVE_FORCED) == int(proto::LiveForced)
              && int(CORLA_LIVE_RUNS) == int(proto::LiveRunning));
static_assert(int(CORLA_FORCE_RELEASE) == int(proto::ForceRelease) && int(CORLA_FORCE_ON) == int(proto::ForceOn));

namespace {
const QString kNoLiveData = QStringLiteral("The module does not report live data: it does not know %1.");
}

void EcuImpl::runMonitor()
{
    CorlaEcuTxn *t = current_;
    if (!connected || !port_) {
        log(t, QStringLiteral("Monitoring failed: not connected to a module. Connect first."));
        finish(t, CORLA_STATUS_NOT_CONNECTED);
        return;
    }
    request(proto::Monitor, proto::monitorRequest(t->full), [this, t](const proto::Frame &fr) {
        const uint8_t res = proto::replyResult(fr.payload);
        if (res == proto::UnknownCommand) {
            log(t, kNoLiveData.arg(QStringLiteral("MONITOR")));
            finish(t, CORLA_STATUS_UNSUPPORTED);
            return;
        }
        const std::optional<proto::MonitorReply> r = proto::readMonitor(fr.payload);
        if (!r) {
            refused(proto::Monitor, res == proto::Ok ? uint8_t(proto::BadArgument) : res);
            return;
        }
        t->answered = true;
        t->tick = r->tick;
        t->liveFlags = r->flags;
        t->changes.clear();
        t->changes.reserve(size_t(r->changes.size()));
        for (const proto::LiveChange &c : r->changes)
            t->changes.push_back({c.kind, c.item, uint8_t(c.value), uint8_t(c.latched), uint8_t(c.now)});
        finish(t, CORLA_STATUS_OK);
    });
}

void EcuImpl::runForce()
{
    CorlaEcuTxn *t = current_;
    if (!connected || !port_) {
        log(t, QStringLiteral("Forcing failed: not connected to a module. Connect first."));
        finish(t, CORLA_STATUS_NOT_CONNECTED);
        return;
    }
    proto::ForceRequest q;
    q.leaseMs = t->leaseMs;
    for (const CorlaForce &f : t->forces)
        q.items.append({f.kind, f.item, f.action});
    request(proto::Force, proto::forceRequest(q), [this, t](const proto::Frame &fr) {
        const uint8_t res = proto::replyResult(fr.payload);
        if (res == proto::UnknownCommand) {
            log(t, kNoLiveData.arg(QStringLiteral("FORCE")));
            finish(t, CORLA_STATUS_UNSUPPORTED);
            return;
        }
        if (res == proto::EngineRefuses) {
            t->answered = true;
            t->liveFlags = proto::LiveEngineRunning;
            log(t, QStringLiteral("The module refuses forces while the engine is running."));
            finish(t, CORLA_STATUS_REFUSED);
            return;
        }
        const std::optional<proto::ForceReply> r = proto::readForceReply(fr.payload);
        if (!r) {
            refused(proto::Force, res == proto::Ok ? uint8_t(proto::BadArgument) : res);
            return;
        }
        t->answered = true;
        t->liveFlags = r->flags & proto::LiveEngineRunning;
        t->tick = r->active;
        finish(t, CORLA_STATUS_OK);
    });
}

}  // namespace corla::detail

extern "C" {

CorlaEcuTxn *CORLA_EcuTxn_Monitor_Create(int full)
{
    auto *t = new CorlaEcuTxn(CorlaEcuTxn::Type::Monitor, nullptr);
    t->full = full != 0;
    return t;
}

CorlaEcuTxn *CORLA_EcuTxn_Force_Create(uint16_t leaseMs, const CorlaForce *forces, int count)
{
    if (leaseMs == 0 || leaseMs > proto::kMaxLeaseMs || count < 0 || count > proto::kMaxForceRecords
        || (count > 0 && !forces))
        return nullptr;
    for (int i = 0; i < count; ++i) {
        if (!proto::forceable(forces[i].kind) || forces[i].item >= proto::liveItems(forces[i].kind)
            || forces[i].action > CORLA_FORCE_RELEASE)
            return nullptr;
    }
    auto *t = new CorlaEcuTxn(CorlaEcuTxn::Type::Force, nullptr);
    t->leaseMs = leaseMs;
    t->forces.assign(forces, forces + count);
    return t;
}

int CORLA_EcuTxn_GetLive(const CorlaEcuTxn *txn, uint32_t *tick, uint32_t *flags, const CorlaLiveChange **changes)
{
    if (!isLive(txn, CORLA_KIND_TXN) || !txn->answered || txn->state != CorlaEcuTxn::State::Finished)
        return -1;
    if (tick)
        *tick = txn->tick;
    if (flags)
        *flags = txn->liveFlags;
    if (changes)
        *changes = txn->changes.empty() ? nullptr : txn->changes.data();
    return int(txn->changes.size());
}

}  // extern "C"
