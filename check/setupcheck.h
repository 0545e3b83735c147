// Setup checks: what in a setup the module would run differently from what
// its author meant, found before the image is used. Headless; the window's
// Problems dock, kelda-cli check and the gates of Go, Upload and Export all
// call checkSetup.
#pragma once

#include <QList>
#include <QString>

#include "strata.h"

namespace kelda::check {

enum class Severity {
    Error,  // the image would do something else than the setup says
    Warning,  // legal, but most likely not what was meant
};

struct Finding {
    Severity severity;
    QString code;  // stable, e.g. "input-unset" (docs/checks.md)
    int mode;  // the main window's tab (the model's mode)
    QString table;  // its text, e.g. "Events"
    int row;  // from 1, as the user counts; 0 for the setup as a whole
    int column;  // the model column that shows the problem, -1 for the row
    QString name;  // the item's name
    QString message;  // one sentence: what is wrong and what the module will do
    int shownRow = 0;  // the row as the window's table shows it: an event's is its priority
    int option = -1;  // an option of the Options page (OptionIndex), -1 for a table row

    bool isError() const { return severity == Severity::Error; }
};

// Every finding of the setup in the session, by table in tab order, then by row.
QList<Finding> checkSetup(StoreSession session);

int errorCount(const QList<Finding> &findings);
QString severityText(Severity severity);  // "error", "warning"

// One line: `error input-unset Events 3 "Beacons on": message`.
QString findingLine(const Finding &finding);

}  // namespace kelda::check
