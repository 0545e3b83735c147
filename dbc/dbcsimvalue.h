// Physical values of DBC signals in runs (kelda-cli simulate and test
// --dbc): `can "EngineSpeed" = 850 rpm` becomes the frame bits that carry
// the value. docs/dbc-import.md ("Physical values in runs") gives the rules.
#pragma once

#include <memory>

#include "dbcfile.h"
#include "simscript.h"

namespace kelda::dbc {

// Finds a signal by its name or MESSAGE.SIGNAL; null when none (or, by a bare
// name, when messages disagree: the first in file order is taken).
const Signal *findSignal(const Database &db, const QString &name, const Message **message);

// Fills a masked CanFrame step: the message's identifier and length, the
// signal's bits. False when the DBC has no such signal; else why is empty or
// says why the value is refused.
bool signalStep(const Database &db, const QString &name, const QString &value, const QString &unit, SimStep *step,
                QString *why);

// The hook SimRows::dbcSignal calls, keeping the database alive.
void useSignals(std::shared_ptr<const Database> db, SimRows *rows);
// Reads the DBC at path (--dbc) and lets rows use its signals; false with
// the reason when the file cannot be read.
// names (may be null) receives rows' names for traces: a CAN input reading
// bytes of a DBC message's signals gets their names, "RPM high [EngineSpeed]",
// unless its name is already one of them.
bool readSignals(const QString &path, SimRows *rows, QString *why, SimNames *names = nullptr);
SimNames traceNames(const Database &db, const SimRows &rows);

}  // namespace kelda::dbc
