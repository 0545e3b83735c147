#include "pressmodel.h"

#include <algorithm>

namespace kelda {

PressTimes PressTimes::fromOptions(const uint16_t *options)
{
    // Option indexes: 0 Minimum, 1 Double, 2 Long Press Time; one stored
    // unit (10 ms) is one engine tick.
    PressTimes t;
    t.minimum = options[0];
    t.doublePress = options[1];
    t.longPress = options[2];
    return t;
}

void PressModel::reset()
{
    m_rows.fill(Row());
    m_tracked.clear();
    m_tick = 0;
}

void PressModel::setHeld(int row, bool held)
{
    if (row < 0 || row >= kRows)
        return;
    Row &r = m_rows[row];
    r.held = held;
    if (held && !r.tracked) {
        r.tracked = true;
        m_tracked.push_back(uint8_t(row));
    }
}

uint8_t PressModel::step(Row &row, const PressTimes &times, int64_t tick)
{
    const int tmin = std::max(times.minimum, 1);
    const int tlong = std::max(times.longPress, tmin);
    if (row.held) {
        if (!row.down) {
            row.down = true;
            row.count = 0;
            row.downAt = tick;
        }
        ++row.count;
        if (row.count == tlong)
            row.shortUpAt = -1;
        return uint8_t((row.count >= tmin ? kP : 0) | (row.count == tlong ? kLP : 0));
    }
    if (!row.down)
        return 0;
    row.down = false;
    if (row.count < tmin || row.count >= tlong)
        return 0;
    if (row.shortUpAt >= 0 && row.downAt - row.shortUpAt <= times.doublePress) {
        row.shortUpAt = -1;
        return kDP;
    }
    row.shortUpAt = tick;
    return kSP;
}

uint8_t PressModel::next(int row) const
{
    if (row < 0 || row >= kRows || !m_rows[row].tracked)
        return 0;
    Row copy = m_rows[row];
    return step(copy, m_times, m_tick + 1);
}

void PressModel::tick(uint8_t *keys)
{
    ++m_tick;
    for (size_t i = 0; i < m_tracked.size();) {
        const int r = m_tracked[i];
        Row &row = m_rows[r];
        if (const uint8_t bits = step(row, m_times, m_tick)) {
            uint8_t *box = keys + r * 4;
            for (int b = 0; b < 4; ++b)
                box[b] |= (bits >> b) & 1u;
        }
        if (row.held || row.down) {
            ++i;
        } else {
            // Up and done: no work until it is held again; a waiting short
            // press keeps its release tick.
            row.tracked = false;
            m_tracked[i] = m_tracked.back();
            m_tracked.pop_back();
        }
    }
}

}  // namespace kelda
