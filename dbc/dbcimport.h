// New CAN inputs from DBC signals: planned against the setup (each one sees
// the ones before it, so two signals of a new identifier agree on its byte
// order) and added through PMModel as one undo step. The setup file keeps
// no trace of the DBC: the signal lives on in the input's name.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include "dbcclass.h"

class PMModel;

namespace kelda::dbc {

struct ImportRequest {
    Message message;
    Signal signal;
    Op op = Op::Greater;
    double value = 0;
    QString name;  // empty: the signal's name
};

struct ImportPlan {
    QString name;  // unique among the CAN inputs
    int canId = 0;
    Comparison comparison;
    // "EngineSpeed > 800 rpm: 0x280 Word 2, Little Endian, > 3199 (> 3200 raw = 800.00 rpm)"
    QString description;
};

// Plans the requests in order; false with the first refusal ("ENGINE.EngineSpeed: ...").
bool planImport(const SetupView &view, const QList<ImportRequest> &requests, QList<ImportPlan> *plans, QString *error);
// Adds the planned inputs at the end of the CAN Inputs table as one change.
bool applyImport(PMModel &model, const QList<ImportPlan> &plans, QString *error);

}  // namespace kelda::dbc
