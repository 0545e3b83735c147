// SimScenario: a setup opened, compiled and copied as Simulate > Go does, and
// scripts run on it, each from a fresh start: tick-box changes, ticks, "show"
// and expectations. kelda-cli simulate and kelda-cli test both run here.
#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

#include "simengine.h"
#include "simscript.h"
#include "storecursor.h"

class QTextStream;

namespace kelda {

class SimTrace;

struct SimFailure {
    int line = 0;
    qint64 tick = 0;
    QString message;  // expected output "Beacon lamp" on, but it is off
};

struct SimOutcome {
    qint64 ticks = 0;
    int expectations = 0;
    std::vector<SimFailure> failures;
};

class SimScenario
{
public:
    // Opens and compiles the setup. On failure, what says what failed
    // ("cannot open beacons.kelda") and why the reason.
    bool open(const QString &setupPath, QString *what, QString *why);

    const SimRows &rows() const { return m_rows; }

    // Runs the steps from a fresh start. "show" prints to show (may be null);
    // trace (may be null) records every change.
    SimOutcome run(const std::vector<SimStep> &steps, QTextStream *show, SimTrace *trace) const;

private:
    UniqueSession m_session;
    QByteArray m_image;
    SimRows m_rows;
};

// The six lines of "show" (docs/cli.md).
void simShow(QTextStream &out, const SimEngine &engine, const SimRows &rows, qint64 ticks);

}  // namespace kelda
