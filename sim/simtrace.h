// SimTrace: every change the engine shows, with its tick, for traces (VCD,
// CSV) and timing plots. It watches the engine after each tick and keeps only
// what changed, so an hour of vehicle time with little happening stays small.
#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <vector>

#include "simengine.h"

namespace kelda {

struct SimSignal {
    enum class Kind : uint8_t { State, Timer, Output, Led, Channel };
    Kind kind = Kind::State;
    int row = 0;  // 0-based; a channel is module * 8 + channel
    QString name;  // as the user knows it; a channel is "LX1-2.3"
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

    // Appends what changed since the last call; call after every tick.
    void record(const SimEngine &engine);

    const std::vector<SimSignal> &signalList() const { return m_signals; }
    const std::vector<SimChange> &changes() const { return m_changes; }
    qint64 lastTick() const { return m_lastTick; }
    QString eventName(int event) const;
    // Signals with at least one change, in signal order.
    std::vector<int> changedSignals() const;

    // One variable per signal, time unit 10 ms (one tick).
    QByteArray vcd() const;
    // tick,seconds,kind,name,value,cause: one line per change.
    QByteArray csv() const;

    static const char *kindWord(SimSignal::Kind kind);

private:
    void change(int signal, bool value, int cause);

    std::vector<SimSignal> m_signals;
    std::vector<SimChange> m_changes;
    QStringList m_events;
    qint64 m_tick = 0, m_lastTick = 0;
    int m_firstTimer = 0, m_firstOutput = 0, m_firstLed = 0, m_firstChannel = 0;
    std::array<bool, kSimCapacity> m_states{}, m_timers{}, m_outputs{};
    uint32_t m_leds = 0;
    uint64_t m_grid = 0;
};

}  // namespace kelda
