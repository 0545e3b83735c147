#include "corlalive.h"

namespace corla::proto {

int liveItems(uint8_t kind)
{
    switch (kind) {
    case LiveLed:
        return kLiveLeds;
    case LiveLx1:
        return kLiveChannels;
    default:
        return kind >= LiveKey && kind <= LiveCanOutput ? kLiveRows : 0;
    }
}

const char *liveKindName(uint8_t kind)
{
    static const char *const names[] = {"key", "switch", "caninput", "timer",    "state",
                                        "led", "lx1",    "output",   "canoutput"};
    return kind >= LiveKey && kind <= LiveCanOutput ? names[kind - 1] : nullptr;
}

bool forceable(uint8_t kind)
{
    return kind == LiveKey || kind == LiveSwitch || kind == LiveCanInput || kind == LiveLed || kind == LiveLx1;
}

QByteArray monitorRequest(bool full)
{
    return QByteArray(1, char(full ? MonitorFull : 0));
}

void putMonitorHeader(QByteArray &a, uint32_t tick, uint8_t flags)
{
    putU32(a, tick);
    a.append(char(flags));
}

LiveChange liveChange(uint8_t kind, uint8_t item, bool told, bool now, int changes)
{
    // A value the host has not heard, or one that went and came back.
    const bool differs = now != told;
    return {kind, item, differs ? now : !now, differs ? changes > 1 : true, now};
}

void putLiveChange(QByteArray &a, const LiveChange &c)
{
    const bool now = c.latched ? c.now : c.value;
    a.append(char(uint8_t(c.kind << 4) | (now ? 0x04 : 0) | (c.latched ? 0x02 : 0) | (c.value ? 0x01 : 0)));
    a.append(char(c.item));
}

std::optional<MonitorReply> readMonitor(const QByteArray &payload)
{
    if (replyResult(payload) != Ok || payload.size() < kMonitorHeader
        || (payload.size() - kMonitorHeader) % kLiveRecordBytes != 0)
        return std::nullopt;
    MonitorReply r;
    r.tick = getU32(payload, 1);
    r.flags = uint8_t(payload[5]);
    for (qsizetype at = kMonitorHeader; at < payload.size(); at += kLiveRecordBytes) {
        const uint8_t head = uint8_t(payload[at]);
        LiveChange c{uint8_t(head >> 4), uint8_t(payload[at + 1]), (head & 0x01) != 0, (head & 0x02) != 0,
                     (head & 0x04) != 0};
        if (c.item >= liveItems(c.kind) || (head & 0x08) != 0)
            return std::nullopt;
        // Not latched, the value is the value now: bit 2 adds nothing there.
        if (!c.latched)
            c.now = c.value;
        r.changes.append(c);
    }
    return r;
}

QByteArray forceRequest(const ForceRequest &r)
{
    QByteArray a;
    putU16(a, r.leaseMs);
    for (const ForceItem &f : r.items) {
        a.append(char(uint8_t(f.kind << 4) | (f.action & 0x0F)));
        a.append(char(f.item));
    }
    return a;
}

std::optional<ForceRequest> readForceRequest(const QByteArray &payload)
{
    if (payload.size() < 2 || payload.size() % 2 != 0 || (payload.size() - 2) / 2 > kMaxForceRecords)
        return std::nullopt;
    ForceRequest r;
    r.leaseMs = getU16(payload, 0);
    if (r.leaseMs == 0 || r.leaseMs > kMaxLeaseMs)
        return std::nullopt;
    for (qsizetype at = 2; at < payload.size(); at += 2) {
        const uint8_t head = uint8_t(payload[at]);
        ForceItem f{uint8_t(head >> 4), uint8_t(payload[at + 1]), uint8_t(head & 0x0F)};
        if (!forceable(f.kind) || f.action > ForceRelease)
            return std::nullopt;
        r.items.append(f);
    }
    return r;
}

std::optional<ForceReply> readForceReply(const QByteArray &payload)
{
    if (replyResult(payload) != Ok || payload.size() != 3)
        return std::nullopt;
    return ForceReply{uint8_t(payload[1]), uint8_t(payload[2])};
}

}  // namespace corla::proto
