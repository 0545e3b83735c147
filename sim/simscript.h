// The script language of kelda-cli simulate and kelda-cli test
// (docs/testing-setups.md): tick-box changes, ticks, waits, "show" and
// expectations, one command a line; items by row number or by name in double
// quotes. Parsed whole before anything runs, so a bad line stops a run before
// its first tick.
#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <functional>
#include <vector>

#include "canmodel.h"
#include "simengine.h"
#include "simnames.h"

namespace kelda {

// What an expectation looks at (SimStep::column of an Expect step).
enum class SimExpect { State, Timer, Output, Led, Channel, CanOutput };

struct SimStep {
    // CanValue: `can "NAME" = VALUE` (row, value); CanFrame: `can 0x123 = 11
    // 22` (id, length, bytes; with a mask only its bits, the others those of
    // the last frame on id); Replay: `replay "FILE"` (file as written).
    // Hold: `hold N` / `release N` (row, on = held), through the press model.
    enum class Kind { Key, Switch, Can, Tick, Show, Expect, CanValue, CanFrame, Replay, Hold } kind = Kind::Tick;
    int row = 0;  // 0-based; a channel is module * 8 + channel
    int column = 0;  // keypad: condition - 1; expect: a SimExpect
    bool on = false;  // expect: set, running or on
    qint64 count = 1;
    int line = 0;  // in the script, from 1
    uint16_t id = 0;
    uint16_t value = 0;
    uint8_t length = 0;
    std::array<uint8_t, 8> bytes{};
    std::array<uint8_t, 8> mask{};
    QString file;
};

// Rows of the tables a script may address, and those "show" prints. With
// names, an item may also be named in double quotes.
struct SimRows {
    int keys = 0, switches = 0, canInputs = 0, states = 0, timers = 0, outputs = 0, leds = 0, canOutputs = 0;
    SimNames names;
    // What each CAN input reads (its identifier and channel), for `can
    // "NAME" = VALUE`; rows beyond it read no frame.
    std::vector<can::InputRule> canRules;
    // `can "SIGNAL" = VALUE [UNIT]` with a DBC (--dbc): false when it has no
    // signal of that name; else fills a masked CanFrame step or why.
    std::function<bool(const QString &name, const QString &value, const QString &unit, SimStep *step, QString *why)>
        dbcSignal;

    static SimRows of(const SimNames &names);
};

// Parses one script line into steps (none for a blank or comment line);
// returns the reason when the line is bad, else an empty text.
QString parseSimLine(const QString &line, const SimRows &rows, std::vector<SimStep> &steps);

// Parses a whole script (UTF-8). False on the first bad line, with its
// number (from 1) and the reason. A "setup FILE" line may come before the
// first command; setup (may be null) receives FILE, else an empty text.
bool parseSimScript(const QByteArray &text, const SimRows &rows, std::vector<SimStep> *steps, int *badLine,
                    QString *why, QString *setup = nullptr);

// How a step's item is written in messages: "Beacon lamp" in quotes, else
// its row number; a channel as M.C.
QString simItemText(const SimRows &rows, SimExpect what, int row);

}  // namespace kelda
