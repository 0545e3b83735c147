// The signals of a database as the import dialog lists them: classified once
// against the setup, then searched as the user types.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include "dbcclass.h"

namespace kelda::dbc {

struct SignalRow {
    int message = 0;  // index in Database::messages
    int signal = 0;  // index in its signalList
    Classification classification;
    QString haystack;  // lower case: signal, message, unit, identifier in hex and decimal
};

class SignalList
{
public:
    SignalList() = default;
    SignalList(const Database &db, const SetupContext *setup);

    const QList<SignalRow> &rows() const { return m_rows; }
    // The rows that match every word of the text, in file order: a word
    // matches the signal's name, its message's name or unit (any part of
    // them, any case), or its identifier in hex ("0x280", "280") or decimal
    // ("640"). An empty text matches every row.
    QList<int> search(const QString &text) const;

private:
    QList<SignalRow> m_rows;
};

}  // namespace kelda::dbc
