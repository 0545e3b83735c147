// buildLargeSetup: fills a model with the largest setup the raw image holds,
// for the benchmarks of every area (model, image, simulator, upload).
//
//   #include "largesetup.h"          // add bench/common to the include path
//   PMModel model;
//   kelda::bench::buildLargeSetup(model);
//
// Contents: 255 CAN inputs (CAN codes 0x100 + n % 15), 255 timers, 255 states,
// 255 LX1 outputs, 255 CAN outputs (0x400 + n % 15), and 255 events. Fifteen
// identifiers a direction: the most that every kind of channel descriptor can
// name, so the image compiles whatever byte or word a channel selects. Every event has
// all three inputs in use (keypad key AND timer OR state, one condition each)
// and one entry in each of its four lists (state to set, state to clear, timer
// to start, timer to stop). Every state has three entries in each of its three
// output lists (LX2 LEDs, LX1 outputs, CAN outputs). The eight LX1 modules take
// their PWM drive from CAN inputs 1..8. Everything is built through PMModel's
// own operations, so it is exactly what a user could make. The model is left
// in mode 0.
#pragma once

#include <QString>

#include "pmmodel.h"
#include "schema.h"

namespace kelda::bench {

constexpr int kLargeCount = kMaxTableItems;

inline QString largeName(const char *base, int n)
{
    return QString::fromLatin1(base) + QString::number(n);
}

inline bool buildLargeSetup(PMModel &m)
{
    m.newSetup();
    auto fill = [&](Mode mode, int n) {
        m.setMode(int(mode));
        for (int i = 0; i < n; ++i)
            if (!m.insertRows(m.rowCount(), 1))
                return false;
        return true;
    };
    if (!fill(Mode::CanInputs, kLargeCount) || !fill(Mode::Timers, kLargeCount) || !fill(Mode::States, kLargeCount)
        || !fill(Mode::Lx1Outputs, kLargeCount) || !fill(Mode::CanOutputs, kLargeCount)
        || !fill(Mode::Events, kLargeCount))
        return false;

    m.setMode(int(Mode::CanInputs));
    for (int i = 0; i < kLargeCount; ++i) {
        m.setData(m.index(i, 1), QStringLiteral("0x%1").arg(0x100 + i % 15, 0, 16));
        m.setData(m.index(i, 4), i * 3);
    }
    m.setMode(int(Mode::Timers));
    for (int i = 0; i < kLargeCount; ++i)
        m.setData(m.index(i, 1), 0.005 * (i + 1));
    m.setMode(int(Mode::Lx1Outputs));
    for (int i = 0; i < kLargeCount; ++i) {
        m.setData(m.index(i, 1), 2.0 + (i % 20));
        m.setData(m.index(i, 2 + i % kLx1ModuleCount), QString::number(1 << (i % 8), 2));
    }
    m.setMode(int(Mode::CanOutputs));
    for (int i = 0; i < kLargeCount; ++i) {
        m.setData(m.index(i, 1), QStringLiteral("0x%1").arg(0x400 + i % 15, 0, 16));
        m.setData(m.index(i, 3), i);
    }

    m.setMode(int(Mode::States));
    for (int s = 0; s < kLargeCount; ++s) {
        for (int list = 0; list < kStateListCount; ++list) {
            for (int k = 0; k < 3; ++k) {
                m.addListEntry(s, list);
                const int n = (s + k) % kLargeCount + 1;
                const QString name = list == 0 ? largeName("LX2 LED ", (s + k) % kLx2LedCount + 1)
                    : list == 1                ? largeName("LX1 Output ", n)
                                               : largeName("CAN Output ", n);
                if (!m.setListEntry(s, list, k, name))
                    return false;
            }
        }
    }

    m.setMode(int(Mode::Events));
    for (int e = 0; e < kLargeCount; ++e) {
        const int n = e + 1;
        m.setData(m.index(e, 4), QStringLiteral("AND"));
        m.setData(m.index(e, 7), QStringLiteral("OR"));
        if (!m.setEventInput(e, 0, largeName("KP: Keypad ", e % kKeypadKeyCount + 1))
            || !m.setEventInput(e, 1, largeName("TI: Timer ", n))
            || !m.setEventInput(e, 2, largeName("ST: State ", n % kLargeCount + 1)))
            return false;
        m.setData(m.index(e, 3), QString::fromLatin1(kConditionTexts[1 + e % 4]));
        for (int list = 0; list < kEventListCount; ++list) {
            m.addListEntry(e, list);
            const QString name = list < 2 ? largeName("State ", (e + list) % kLargeCount + 1)
                                          : largeName("Timer ", (e + list) % kLargeCount + 1);
            if (!m.setListEntry(e, list, 0, name))
                return false;
        }
    }

    m.setMode(int(Mode::Pwm));
    for (int i = 0; i < kLx1ModuleCount; ++i)
        m.setData(m.index(i, 1), largeName("CAN Input ", i + 1));
    m.setMode(int(Mode::Keypad));
    return true;
}

}  // namespace kelda::bench
