#include "modulerun.h"

#include "imageformat.h"

#include <cmath>

namespace proto = corla::proto;
using kelda::SimStep;

namespace {
int forceKey(uint8_t kind, int item)
{
    return kind << 8 | item;
}
}  // namespace

bool ModuleRun::loadScript(const QByteArray &text, std::vector<SimStep> *steps, int *line, QString *why)
{
    // The module holds no names: every table has all its rows.
    kelda::SimRows rows;
    rows.keys = rows.switches = rows.canInputs = rows.states = rows.timers = rows.outputs = rows.canOutputs =
        proto::kLiveRows;
    rows.leds = proto::kLiveLeds;
    if (!kelda::parseSimScript(text, rows, steps, line, why))
        return false;
    for (const SimStep &s : *steps) {
        if (s.kind == SimStep::Kind::Show || s.kind == SimStep::Kind::Expect || s.kind == SimStep::Kind::Replay
            || s.kind == SimStep::Kind::CanValue) {
            *line = s.line;
            *why = QStringLiteral("only input lines are played (press, hold, release, key, switch, can N on|off, "
                                  "can 0xID = BYTES, wait, tick)");
            return false;
        }
    }
    return true;
}

ModuleRun::ModuleRun(bool run, std::vector<SimStep> script) : run_(run), script_(std::move(script))
{
    for (uint8_t k = proto::LiveKey; k <= proto::LiveCanOutput; ++k)
        items_[k].resize(size_t(proto::liveItems(k)));
}

void ModuleRun::start(const QByteArray &calibration, double nowMs)
{
    engine_.reset();
    if (calibration.size() > kelda::image::kCalImageOffset)
        engine_.readImage(calibration.mid(kelda::image::kCalImageOffset));
    engine_.clearStates();
    inputs_.clear();
    next_ = 0;
    waitUntil_ = 0;
    startMs_ = nowMs;
    if (!forces_.empty())
        releaseAll("the module restarted");
    // Everything starts off; the host hears of what was on before.
    for (uint8_t k = proto::LiveKey; k <= proto::LiveCanOutput; ++k)
        for (size_t n = 0; n < items_[k].size(); ++n)
            see(k, int(n), false);
}

void ModuleRun::advance(double nowMs)
{
    lapse(nowMs);
    if (!run_) {
        observe(forcedInputs());  // nothing runs, but forces show
        return;
    }
    const auto due = qint64(std::floor((nowMs - startMs_) / kelda::kSimTickMs));
    while (engine_.tickCount() < due)
        runTick();
}

void ModuleRun::runTick()
{
    playScript();
    kelda::SimInputs boxes = forcedInputs();
    // What this tick reads: the boxes and the press model's presses.
    kelda::SimInputs seen = boxes;
    for (int r = 0; r < kelda::kSimCapacity; ++r)
        for (int b = 0; b < kelda::kKeyConditionCount; ++b)
            seen.keys[size_t(r)][size_t(b)] = engine_.keySeen(boxes, r, b);
    engine_.tick(boxes);
    kelda::SimEngine::clearPresses(inputs_);  // a press is seen by one tick
    observe(seen);
}

kelda::SimInputs ModuleRun::forcedInputs()
{
    kelda::SimInputs boxes = inputs_;
    for (const auto &[key, f] : forces_) {
        const int item = key & 0xFF;
        switch (key >> 8) {
        case proto::LiveKey:
            boxes.keys[item][0] = f.on;  // held, as the P box
            break;
        case proto::LiveSwitch:
            boxes.switches[item] = f.on;
            break;
        case proto::LiveCanInput:
            if (!(engine_.canFrames() && engine_.overrideCanInput(item, f.on)))
                boxes.canInputs[item] = f.on;
            break;
        default:
            break;  // outputs: overridden where they are reported
        }
    }
    return boxes;
}

void ModuleRun::playScript()
{
    while (next_ < script_.size() && engine_.tickCount() >= waitUntil_) {
        const SimStep &s = script_[next_++];
        if (s.kind == SimStep::Kind::Tick)
            waitUntil_ = engine_.tickCount() + s.count;
        else
            playStep(s);
    }
}

void ModuleRun::setKeyHeld(int row, bool held)
{
    engine_.setKeyHeld(row, held);  // the press model makes P, SP, LP and DP of it
}

void ModuleRun::playStep(const SimStep &s)
{
    if (s.row < 0 || s.row >= kelda::kSimCapacity)
        return;
    switch (s.kind) {
    case SimStep::Kind::Key:
        inputs_.keys[s.row][s.column] = s.on;
        break;
    case SimStep::Kind::Hold:
        setKeyHeld(s.row, s.on);
        break;
    case SimStep::Kind::Switch:
        inputs_.switches[s.row] = s.on;
        break;
    case SimStep::Kind::Can:
        if (!(engine_.canFrames() && engine_.overrideCanInput(s.row, s.on)))
            inputs_.canInputs[s.row] = s.on;
        break;
    case SimStep::Kind::CanFrame: {
        std::array<uint8_t, kelda::can::kFrameBytes> b = s.bytes;
        const kelda::SimEngine::LastFrame &last = engine_.lastFrame(s.id);
        if (s.mask != decltype(s.mask){})
            for (size_t i = 0; i < b.size(); ++i)
                b[i] = uint8_t((last.data[i] & ~s.mask[i]) | (s.bytes[i] & s.mask[i]));
        engine_.setCanFrames(true);
        engine_.feedFrame(s.id, false, false, b.data(), s.length);
        break;
    }
    default:
        break;  // refused when the script was read
    }
}

bool ModuleRun::forced(uint8_t kind, int item, bool *on) const
{
    const auto it = forces_.find(forceKey(kind, item));
    if (it == forces_.end())
        return false;
    *on = it->second.on;
    return true;
}

void ModuleRun::see(uint8_t kind, int item, bool value)
{
    Item &i = items_[kind][size_t(item)];
    if (i.now == uint8_t(value))
        return;
    i.now = uint8_t(value);
    if (i.changes < 255)
        ++i.changes;
}

void ModuleRun::observe(const kelda::SimInputs &boxes)
{
    for (int r = 0; r < proto::kLiveRows; ++r) {
        const auto &k = boxes.keys[size_t(r)];
        see(proto::LiveKey, r, k[0] || k[1] || k[2] || k[3]);
        see(proto::LiveSwitch, r, boxes.switches[size_t(r)]);
        see(proto::LiveCanInput, r, engine_.canInputSeen(boxes, r));
        see(proto::LiveTimer, r, engine_.timerValue(r) != 0);
        see(proto::LiveState, r, engine_.stateSet(r));
        see(proto::LiveOutput, r, engine_.lx1OutputActive(r));
        see(proto::LiveCanOutput, r, engine_.canOutputOn(r));
    }
    for (int r = 0; r < proto::kLiveLeds; ++r) {
        bool on = engine_.ledOn(r);
        forced(proto::LiveLed, r, &on);
        see(proto::LiveLed, r, on);
    }
    for (int c = 0; c < proto::kLiveChannels; ++c) {
        bool on = engine_.lx1ChannelOn(c / 8, c % 8);
        forced(proto::LiveLx1, c, &on);
        see(proto::LiveLx1, c, on);
    }
}

QByteArray ModuleRun::monitor(bool full, uint8_t moduleFlags)
{
    if (full) {
        // The host starts from "all off".
        for (auto &table : items_)
            for (Item &i : table)
                i.told = 0;
    }
    QByteArray records;
    int count = 0;
    bool more = false;
    for (uint8_t k = proto::LiveKey; k <= proto::LiveCanOutput && !more; ++k) {
        for (size_t n = 0; n < items_[k].size(); ++n) {
            Item &i = items_[k][n];
            if (i.changes == 0 && i.now == i.told)
                continue;
            if (count == proto::kMaxLiveRecords) {
                more = true;  // the rest stays pending for the next reply
                break;
            }
            proto::putLiveChange(records, proto::liveChange(k, uint8_t(n), i.told != 0, i.now != 0, i.changes));
            ++count;
            i.told = i.now;
            i.changes = 0;
        }
    }
    uint8_t flags = moduleFlags & proto::LiveEngineRunning;
    if (full)
        flags |= proto::LiveFullPicture;
    if (more)
        flags |= proto::LiveMore;
    if (!forces_.empty())
        flags |= proto::LiveForced;
    if (run_)
        flags |= proto::LiveRunning;
    QByteArray r;
    proto::putMonitorHeader(r, uint32_t(engine_.tickCount()), flags);
    return r + records;
}

uint8_t ModuleRun::force(const proto::ForceRequest &r, double nowMs, int *active)
{
    for (const proto::ForceItem &f : r.items) {
        if (f.item >= proto::liveItems(f.kind))
            return proto::OutOfRange;
    }
    if (r.items.isEmpty()) {
        for (auto &[key, f] : forces_) {
            f.renewedMs = nowMs;
            f.leaseMs = r.leaseMs;
        }
    }
    for (const proto::ForceItem &f : r.items) {
        const int key = forceKey(f.kind, f.item);
        const auto it = forces_.find(key);
        const bool on = f.action == proto::ForceOn;
        const QString item = QStringLiteral("%1 %2").arg(QLatin1String(proto::liveKindName(f.kind))).arg(f.item);
        if (f.action == proto::ForceRelease) {
            if (it != forces_.end() && onForce)
                onForce(QStringLiteral("FORCE released ") + item);
            forces_.erase(key);
            continue;
        }
        if ((it == forces_.end() || it->second.on != on) && onForce)
            onForce(QStringLiteral("FORCE set %1 %2").arg(item, on ? QStringLiteral("on") : QStringLiteral("off")));
        forces_[key] = Forced{on, nowMs, r.leaseMs};
    }
    *active = int(forces_.size());
    return proto::Ok;
}

void ModuleRun::lapse(double nowMs)
{
    for (auto it = forces_.begin(); it != forces_.end();) {
        const double since = nowMs - it->second.renewedMs;
        if (since < it->second.leaseMs) {
            ++it;
            continue;
        }
        if (onForce)
            onForce(QStringLiteral("FORCE lapsed %1 %2, %3 ms after its last renewal")
                        .arg(QLatin1String(proto::liveKindName(uint8_t(it->first >> 8))))
                        .arg(it->first & 0xFF)
                        .arg(qRound(since)));
        it = forces_.erase(it);
    }
}

void ModuleRun::releaseAll(const char *why)
{
    if (forces_.empty())
        return;
    if (onForce)
        onForce(QStringLiteral("FORCE released %1 forces: %2").arg(forces_.size()).arg(QLatin1String(why)));
    forces_.clear();
}
