// SimScenario: a setup opened, compiled and copied as Simulate > Go does, and
// scripts run on it, each from a fresh start: tick-box changes, ticks, "show"
// and expectations. kelda-cli simulate and kelda-cli test both run here.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

#include "simengine.h"
#include "simframes.h"
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
    // Set when a limit ended the run before its last step: the line of the
    // step it stopped in, and why ("stopped at tick 8640000: ...").
    int stoppedLine = 0;
    QString stopped;
    bool canOutFailed = false;  // the CAN output log refused bytes
    bool started = false;  // false when the run ended before its first step (its log unreadable)
};

// Frames of a run: a log driving it from its start (--can-in), where the
// CAN output frames go, where replay paths start, and who hears notes.
struct SimCanOptions {
    QString canIn;
    std::optional<qint64> start;  // --can-start, in the log's clock (ns)
    QByteArray channel;  // --can-channel
    QIODevice *canOut = nullptr;
    QString scriptDir;  // replay "FILE" is relative to it
    SimNote note;
};

// The note a run that feeds frames gives once: which CAN inputs frames do
// not decide (empty when frames decide them all).
QString simKeyInputsNote(const SimEngine &engine, const SimRows &rows);
// The folder replay paths start from: the script's, the current one for
// standard input ("-") or no script.
QString simScriptDir(const QString &scriptPath);
// A replay file as the run opens it: relative to the script's folder.
QString simReplayPath(const QString &file, const QString &scriptDir);
// Opens every replayed log before the first tick; false with the line and
// why for the first that cannot be read.
bool simCheckReplays(const std::vector<SimStep> &steps, const QString &scriptDir, int *line, QString *why);
// Every log the steps replay, as the run opens it: inputs no output may replace.
QStringList simReplayPaths(const std::vector<SimStep> &steps, const QString &scriptDir);

// What one run may cost: ticks (a simulated day by default) and, when a
// trace is recorded, changes in it. Reaching either ends the run.
struct SimLimits {
    static constexpr qint64 kDefaultTicks = 8'640'000;
    static constexpr qint64 kDefaultChanges = 1'000'000;
    qint64 maxTicks = kDefaultTicks;
    qint64 maxChanges = kDefaultChanges;
};

class SimScenario
{
public:
    // Opens and compiles the setup. On failure, what says what failed
    // ("cannot open beacons.kelda") and why the reason.
    bool open(const QString &setupPath, QString *what, QString *why);

    const SimRows &rows() const { return m_rows; }
    // The copy of the setup the runs use (names, checks); the engine needs only the image.
    StoreSession session() const { return m_session.get(); }

    // Runs the steps from a fresh start, within the limits. "show" prints to
    // show (may be null); trace (may be null) records every change.
    // With frames (a log, replay or can = lines), CAN inputs that frames
    // decide follow them and `can N on|off` overrides them.
    SimOutcome run(const std::vector<SimStep> &steps, QTextStream *show, SimTrace *trace, const SimLimits &limits = {},
                   const SimCanOptions &can = {}) const;
    const QByteArray &image() const { return m_image; }

private:
    UniqueSession m_session;
    QByteArray m_image;
    SimRows m_rows;
};

// The six lines of "show" (docs/cli.md).
void simShow(QTextStream &out, const SimEngine &engine, const SimRows &rows, qint64 ticks);

}  // namespace kelda
