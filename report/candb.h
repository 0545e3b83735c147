// The setup's CAN messages as a CAN database (DBC text): the module is the
// node LX2, whatever sends what it reads is the node VEHICLE; one message per
// identifier the setup receives or sends, one unsigned signal per CAN input
// or CAN output at its byte or word. Compares are no signals: they go into
// the signal's comment (docs/documents.md).
#pragma once

#include <QString>

#include "setupfacts.h"

namespace kelda::report {

inline constexpr const char *kModuleNode = "LX2";
inline constexpr const char *kVehicleNode = "VEHICLE";
inline constexpr int kDbcNameMax = 32;  // what every DBC reader takes without long-name attributes

// A name DBC readers accept: ASCII letters, digits and '_', not starting
// with a digit, at most kDbcNameMax characters. Accented letters lose their
// accent; every other run of characters becomes one '_'.
QString dbcName(const QString &name);

// Where a byte or word channel sits in the DBC's bit numbering.
struct SignalLayout {
    bool valid = false;  // false for a ByteSelect code the image does not know
    int startBit = 0;  // Motorola: the most significant bit; Intel: the least
    int length = 0;  // 8 or 16
};
SignalLayout signalLayout(int byteSelect, bool littleEndian);

// The database text (Latin-1 characters only).
QString canDatabase(const SetupFacts &facts);
// Why the setup has no database: a CAN item whose identifier is above 11
// bits, which a standard frame's message cannot carry; empty when it has one.
QString canDatabaseProblem(const SetupFacts &facts);

// Writes the database of the session's setup (read from setupFile, empty when
// never saved) to path, replaced atomically.
bool writeCanDatabase(StoreSession session, const QString &setupFile, const QString &path, QString *error);

}  // namespace kelda::report
