// Helpers of the simulator tests: raw images made by hand, so the engine can be
// tested apart from the compiler.
#pragma once

#include <QByteArray>

#include <array>
#include <cstdint>
#include <vector>

#include "imageformat.h"
#include "schema.h"
#include "strata.h"

namespace simtest {

struct Input {
    uint8_t kind, number, condition, join;
};
struct Event {
    std::vector<Input> inputs;  // written as given: 1 to 3 entries
    std::array<std::vector<uint8_t>, 4> lists{};
};
struct State {
    uint32_t ledMask = 0;
    std::vector<uint8_t> lx1, can;
};

// A CAN input or output entry of sections 3 and 4: identifier position in
// the receive or transmit list, byte (1..8) or word (1..4), compare, Data.
struct CanEntry {
    int pos;
    bool isByte;
    int index;
    uint8_t compare;  // inputs only
    uint16_t data;
    uint8_t descriptor() const { return uint8_t(isByte ? 128 + 8 * pos + index : 4 * pos + index); }
};

// The layout of every section, so the engine can be tested apart from the
// compiler.
struct Image {
    std::vector<uint16_t> timers;
    std::vector<Event> events;
    std::vector<State> states;
    std::vector<std::array<uint8_t, 8>> lx1;
    std::vector<CanEntry> canInputs, canOutputs;
    std::vector<std::pair<uint16_t, bool>> receive;  // identifier, little-endian
    std::vector<uint16_t> transmit;
    std::array<uint16_t, kelda::kOptionCount> options = kelda::kOptionDefaults;

    QByteArray build() const
    {
        using kelda::image::appendU16;
        QByteArray out(kelda::image::kHeaderSize, '\0');
        std::array<uint16_t, 11> h{};
        h[0] = kelda::image::kHeaderSize;
        auto patch = [&out](qsizetype at, uint16_t v) {
            out[at] = char(v >> 8);
            out[at + 1] = char(v & 0xFF);
        };
        h[1] = uint16_t(out.size());
        out.append(char(timers.size()));
        for (uint16_t t : timers)
            appendU16(out, t);
        h[2] = uint16_t(out.size());
        out.append(char(events.size()));
        qsizetype table = out.size();
        out.append(QByteArray(qsizetype(events.size()) * 2, '\0'));
        for (size_t e = 0; e < events.size(); ++e) {
            patch(table + qsizetype(e) * 2, uint16_t(out.size()));
            for (const Input &i : events[e].inputs) {
                out.append(char(i.kind));
                out.append(char(i.number));
                out.append(char(i.condition));
                out.append(char(i.join));
            }
        }
        h[3] = uint16_t(out.size());
        out.append(char(canInputs.size()));
        for (const CanEntry &c : canInputs) {
            out.append(char(c.descriptor()));
            out.append(char(c.compare));
            appendU16(out, c.data);
        }
        h[4] = uint16_t(out.size());
        out.append(char(canOutputs.size()));
        for (const CanEntry &c : canOutputs) {
            out.append(char(c.descriptor()));
            appendU16(out, c.data);
        }
        h[5] = uint16_t(out.size());
        table = out.size();
        out.append(QByteArray(qsizetype(events.size()) * 2, '\0'));
        for (size_t e = 0; e < events.size(); ++e) {
            patch(table + qsizetype(e) * 2, uint16_t(out.size()));
            for (const auto &list : events[e].lists) {
                out.append(char(list.size()));
                for (uint8_t n : list)
                    out.append(char(n));
            }
            out.append('\0');
        }
        h[6] = uint16_t(out.size());
        out.append(char(states.size()));
        table = out.size();
        out.append(QByteArray(qsizetype(states.size()) * 2, '\0'));
        for (size_t s = 0; s < states.size(); ++s) {
            patch(table + qsizetype(s) * 2, uint16_t(out.size()));
            appendU16(out, uint16_t(states[s].ledMask & 0xFFFF));
            appendU16(out, uint16_t(states[s].ledMask >> 16));
            out.append(char(states[s].lx1.size()));
            for (uint8_t n : states[s].lx1)
                out.append(char(n));
            out.append(char(states[s].can.size()));
            for (uint8_t n : states[s].can)
                out.append(char(n));
        }
        h[7] = uint16_t(out.size());
        out.append(char(lx1.size()));
        for (const auto &masks : lx1) {
            appendU16(out, 25);
            for (uint8_t m : masks)
                out.append(char(m));
        }
        h[8] = uint16_t(out.size());
        out.append(char(receive.size()));
        for (const auto &[id, little] : receive) {
            appendU16(out, uint16_t(id << 5));
            appendU16(out, little ? 1 : 0);
        }
        h[9] = uint16_t(out.size());
        out.append(char(transmit.size()));
        for (const uint16_t id : transmit) {
            appendU16(out, uint16_t(id << 5));
            appendU16(out, 0);
        }
        h[10] = uint16_t(out.size());
        for (uint16_t o : options)
            appendU16(out, o);
        out.append(QByteArray(8, '\0'));
        for (int k = 0; k < 11; ++k)
            patch(2 * k, h[k]);
        return out;
    }
};

// The worked example of the image format: one timer, one CAN input, one
// event, one state driving LED 0 and LX1 output 1 (channel 1 of LX1-1).
inline QByteArray workedExample()
{
    return QByteArray::fromHex("0016 0016 0019 0020 0025 0026 002F 0039 0044 0049 004A"
                               "01 0064"
                               "01 001C 03010000"
                               "01 01 01 0005"
                               "00"
                               "0028 01 01 00 01 01 00 00"
                               "01 0032 0001 0000 01 01 00"
                               "01 0019 0100000000000000"
                               "01 2000 0000"
                               "00"
                               "0001 0005 0064 03E8 0032 0005 C049 0600 0000000000000000");
}

}  // namespace simtest
