// PressModel: what the module makes of a key held and released, from the
// setup's Minimum, Long and Double Press Times (options 0, 2 and 1, in
// hundredths of a second: one engine tick each). The engine feeds the
// result to the tick as the P, SP, LP and DP boxes of the key's row, ORed
// with the boxes the user ticks. docs/press-model.md is the same table for a
// firmware engineer to confirm or correct; change both together.
//
//   n = ticks the key has been seen down, counting the tick it went down as 1
//   Tmin = max(Minimum, 1), Tlong = max(Long, Tmin)
//
//   P   every tick the key is down with n >= Tmin
//   LP  one tick: the tick n reaches Tlong, the key still down
//   SP  one tick: the tick the key is first seen up, when Tmin <= n < Tlong
//       and the press is not the second of a double press
//   DP  one tick, instead of SP: a short press that went down at most
//       Double ticks after the release of a short press that was not itself
//       the second of a double press; the pair is used up
//   -   a press released with n < Tmin is nothing (a bounce): no P, no SP,
//       and it neither starts nor ends a double press
//   -   a long press ends any double press waiting for its second press
//
// The key is sampled once per tick: down and up again between two ticks is
// not seen at all.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace kelda {

struct PressTimes {
    int minimum = 1;  // ticks
    int longPress = 100;
    int doublePress = 5;

    // From the image's options (OptionIndex order), 10 ms each.
    static PressTimes fromOptions(const uint16_t *options);
};

class PressModel
{
public:
    static constexpr int kRows = 255;
    // Bits of a row's result, in the order of the keypad boxes.
    enum : uint8_t { kP = 1, kSP = 2, kLP = 4, kDP = 8 };

    // Every key up, nothing pending.
    void reset();
    void setTimes(const PressTimes &times) { m_times = times; }
    const PressTimes &times() const { return m_times; }

    // The key as the next tick samples it.
    void setHeld(int row, bool held);
    bool held(int row) const { return row >= 0 && row < kRows && m_rows[row].held; }

    // The boxes the next tick will see for a row from its key alone.
    uint8_t next(int row) const;
    // One tick: ORs each tracked row's result into keys[row * 4 + box]
    // (P, SP, LP, DP), as one byte each. Rows never held cost nothing.
    void tick(uint8_t *keys);

private:
    struct Row {
        bool held = false;  // as set, sampled by the next tick
        bool down = false;  // as the last tick saw it
        bool tracked = false;
        int count = 0;  // ticks seen down
        int64_t downAt = 0;
        int64_t shortUpAt = -1;  // release of a short press waiting for its second; -1 none
    };
    static uint8_t step(Row &row, const PressTimes &times, int64_t tick);

    PressTimes m_times;
    std::array<Row, kRows> m_rows{};
    std::vector<uint8_t> m_tracked;  // rows held or down
    int64_t m_tick = 0;
};

}  // namespace kelda
