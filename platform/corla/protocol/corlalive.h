// MONITOR and FORCE: live data of the running calibration and leased forces,
// shared by the library and lx2-emulator (docs/ecu-protocol.md).
#ifndef CORLALIVE_H
#define CORLALIVE_H

#include "corlaprotocol.h"

#include <QByteArray>
#include <QList>
#include <cstdint>
#include <optional>

namespace corla::proto {

// What an item is; the high nibble of a record's first byte.
enum LiveKind : uint8_t {
    LiveKey = 1,  // any keypad box of the row as the tick read it (P held, or a one-tick press)
    LiveSwitch = 2,
    LiveCanInput = 3,  // the result the tick read
    LiveTimer = 4,  // running
    LiveState = 5,
    LiveLed = 6,  // index 0..31
    LiveLx1 = 7,  // channel: module * 8 + channel, 0..63
    LiveOutput = 8,  // LX1 output row
    LiveCanOutput = 9,
};
constexpr int kLiveKindCount = 9;
constexpr int kLiveRows = 255;  // items of a table kind: 0..254
constexpr int kLiveLeds = 32;
constexpr int kLiveChannels = 64;
// Items a kind has on the wire (0-based numbers below this).
int liveItems(uint8_t kind);
// The wire name of a kind ("key", "caninput", ...); nullptr for none.
const char *liveKindName(uint8_t kind);
// Kinds a FORCE may name.
bool forceable(uint8_t kind);

// MONITOR request: one byte of flags.
enum MonitorRequestFlag : uint8_t {
    MonitorFull = 0x01,  // report every item from "all off": the host starts a new picture
};
// MONITOR reply flags (after the tick).
enum MonitorReplyFlag : uint8_t {
    LiveEngineRunning = 0x01,
    LiveFullPicture = 0x02,  // the records start from "all off"
    LiveMore = 0x04,  // more changes are pending than fitted: ask again
    LiveForced = 0x08,  // at least one force is active
    LiveRunning = 0x10,  // the module runs its calibration
};

// One record: [kind << 4 | now << 2 | latched << 1 | value] [item].
struct LiveChange {
    uint8_t kind = 0;
    uint8_t item = 0;
    bool value = false;
    bool latched = false;  // it also went the other way since the last reply
    // The value after the last tick run. Latched with now == value: it changed
    // more than once and stays changed; now != value: it came and went.
    bool now = false;
    bool operator==(const LiveChange &) const = default;
};
// A record as the module makes it: value and latched from what the host was
// told, the value now and how often the item changed since.
LiveChange liveChange(uint8_t kind, uint8_t item, bool told, bool now, int changes);
constexpr int kLiveRecordBytes = 2;
constexpr int kMonitorHeader = 1 + 4 + 1;  // result, tick, flags
// Records a MONITOR reply carries at most.
constexpr int kMaxLiveRecords = (kMaxPayload - kMonitorHeader) / kLiveRecordBytes;

struct MonitorReply {
    uint32_t tick = 0;  // the module's 10 ms ticks since power-on or the last COMMIT
    uint8_t flags = 0;
    QList<LiveChange> changes;
};
QByteArray monitorRequest(bool full);
void putMonitorHeader(QByteArray &a, uint32_t tick, uint8_t flags);
void putLiveChange(QByteArray &a, const LiveChange &c);
std::optional<MonitorReply> readMonitor(const QByteArray &payload);

// FORCE request: lease (2, ms), then records [kind << 4 | action] [item].
enum ForceAction : uint8_t {
    ForceOff = 0,
    ForceOn = 1,
    ForceRelease = 2,
};
constexpr uint16_t kMaxLeaseMs = 1000;
constexpr int kMaxForceRecords = 64;
struct ForceItem {
    uint8_t kind = 0;
    uint8_t item = 0;
    uint8_t action = ForceRelease;
};
struct ForceRequest {
    uint16_t leaseMs = 0;
    QList<ForceItem> items;  // none: renew every active force
};
QByteArray forceRequest(const ForceRequest &r);
// Nothing for a payload that is not a well-formed request (result 3).
std::optional<ForceRequest> readForceRequest(const QByteArray &payload);
// FORCE reply after the result: flags (1, bit 0 engine running), active forces (1).
struct ForceReply {
    uint8_t flags = 0;
    uint8_t active = 0;
};
std::optional<ForceReply> readForceReply(const QByteArray &payload);

}  // namespace corla::proto

#endif
