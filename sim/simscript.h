// The script language of kelda-cli simulate (docs/cli.md): tick-box changes,
// ticks and "show", one command a line. Parsed whole before anything runs, so
// a bad line stops a run before its first tick.
#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

namespace kelda {

struct SimStep {
    enum class Kind { Key, Switch, Can, Tick, Show } kind = Kind::Tick;
    int row = 0;     // 0-based
    int column = 0;  // keypad: condition - 1
    bool on = false;
    qint64 count = 1;
};

// Rows of the tables a script may address, and those "show" prints.
struct SimRows {
    int keys = 0, switches = 0, canInputs = 0, states = 0, timers = 0, outputs = 0, leds = 0;
};

// Parses one script line into steps (none for a blank or comment line);
// returns the reason when the line is bad, else an empty text.
QString parseSimLine(const QString &line, const SimRows &rows, std::vector<SimStep> &steps);

// Parses a whole script (UTF-8). False on the first bad line, with its
// number (from 1) and the reason.
bool parseSimScript(const QByteArray &text, const SimRows &rows, std::vector<SimStep> *steps, int *badLine,
                    QString *why);

} // namespace kelda
