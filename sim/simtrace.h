// SimTrace: every change the engine shows, with its tick, for traces (VCD,
// CSV) and timing plots: the tick boxes each tick reads (the causes) and what
// the engine made of them (the effects). It watches the boxes before each tick
// and the engine after it and keeps only what changed, so an hour of vehicle
// time with little happening stays small.
#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <vector>

#include "simengine.h"
#include "simnames.h"

namespace kelda {

struct SimSignal {
    // Stimuli first, then what the engine drives.
    enum class Kind : uint8_t { Key, Switch, CanInput, State, Timer, Output, CanOutput, Led, Channel };
    Kind kind = Kind::State;
    int row = 0;  // 0-based; a key box is row * 4 + box, a channel module * 8 + channel
    QString name;  // as the user knows it; a key box is "Beacon SP", a channel "LX1-2.3"
};

// 16 bytes: a busy run of an hour holds millions of them.
struct SimChange {
    qint64 tick = 0;
    uint16_t signal = 0;  // index into signalList()
    bool value = false;
    uint8_t cause = 0;  // states: the event (1-based) that made the change; 0 = none
};

class SimTrace
{
public:
    // Every row of every table that the run shows, all off at tick 0: the
    // engine as a fresh start leaves it.
    explicit SimTrace(const SimNames &names);

    // Appends the boxes that changed since the last call, at the tick that
    // reads them next; call before every tick (a press box is unticked by it).
    void recordInputs(const SimInputs &boxes, const SimEngine &engine);
    // Appends what changed since the last call; call after every tick.
    void record(const SimEngine &engine);
    // Appends a change that something outside the engine saw (a module's
    // report) at its tick; a tick before the last one recorded is taken as
    // the last, so that the changes stay in tick order. False when the run
    // has no such signal (row as SimSignal's).
    bool recordReported(SimSignal::Kind kind, int row, bool value, qint64 tick);

    const std::vector<SimSignal> &signalList() const { return m_signals; }
    const std::vector<SimChange> &changes() const { return m_changes; }
    // The level each signal has just before changes()[index] (off before its
    // first change), without scanning back over the run: a plot of the last
    // seconds of an hour-long run needs the levels at its left edge.
    std::vector<bool> levelsBefore(size_t index, const std::vector<int> &wanted) const;
    qint64 lastTick() const { return m_lastTick; }
    QString eventName(int event) const;
    // Signals with at least one change, in signal order.
    std::vector<int> changedSignals() const;

    // One variable per signal, time unit 10 ms (one tick). Reference names
    // hold only [A-Za-z0-9_], each one different; the CSV keeps the names.
    QByteArray vcd() const;
    std::vector<QByteArray> vcdNames() const;
    // tick,seconds,kind,name,value,cause: one line per change.
    QByteArray csv() const;

    static const char *kindWord(SimSignal::Kind kind);

private:
    void change(int signal, bool value, int cause);

    std::vector<SimSignal> m_signals;
    std::vector<SimChange> m_changes;
    // Every signal's level, a bit each: now, and before every kCheckpointSpan-th change.
    static constexpr size_t kCheckpointSpan = 4096;
    size_t m_levelWords = 0;
    std::vector<uint64_t> m_levels, m_checkpoints;
    QStringList m_events;
    qint64 m_tick = 0, m_lastTick = 0;
    int m_firstSwitch = 0, m_firstCanInput = 0, m_firstState = 0, m_firstTimer = 0, m_firstOutput = 0,
        m_firstCanOutput = 0, m_firstLed = 0, m_firstChannel = 0;
    std::array<std::array<bool, kKeyConditionCount>, kSimCapacity> m_keys{};
    std::array<bool, kSimCapacity> m_switches{}, m_canInputs{};
    std::array<bool, kSimCapacity> m_states{}, m_timers{}, m_outputs{}, m_canOutputs{};
    uint32_t m_leds = 0;
    uint64_t m_grid = 0;
};

}  // namespace kelda
