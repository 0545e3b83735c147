// kelda-cli simulate: runs a setup through the simulation engine, driven by a
// script of tick-box changes and ticks instead of a window; on request a
// trace of every change and a timing diagram of it.
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <memory>
#include <optional>
#include <vector>

#include "atomicfile.h"
#include "clicommand.h"
#include "dbcsimvalue.h"
#include "documentargs.h"
#include "simbridge.h"
#include "simplot.h"
#include "simscenario.h"
#include "simtrace.h"
#include "strata.h"

using namespace kelda;

namespace {

struct Outputs {
    QString trace, plot, canOut;
    bool vcd = false, svg = false;
    std::optional<SimNames> names = std::nullopt;  // --dbc: CAN inputs with the signals they read
};

// Before anything is read: outputs of a type we write, none of them an
// input or each other, each in a folder that exists and may be written.
int checkOutputs(const Outputs &o, const QStringList &inputs)
{
    if (!o.trace.isEmpty() && QFileInfo(o.trace).suffix().toLower() != QLatin1String("csv") && !o.vcd)
        return cliUsageError(QStringLiteral("--trace writes FILE.vcd or FILE.csv, not '%1'").arg(cliToken(o.trace)));
    const QString plotType = QFileInfo(o.plot).suffix().toLower();
    if (!o.plot.isEmpty() && plotType != QLatin1String("png") && !o.svg)
        return cliUsageError(QStringLiteral("--plot writes FILE.svg or FILE.png, not '%1'").arg(cliToken(o.plot)));
    if (!o.canOut.isEmpty() && QFileInfo(o.canOut).suffix().toLower() != QLatin1String("log"))
        return cliUsageError(
            QStringLiteral("--can-out writes a candump log FILE.log, not '%1'").arg(cliToken(o.canOut)));
    const QStringList outputs = {o.trace, o.plot, o.canOut};
    int status = 0;
    for (const QString &output : outputs)
        if (!output.isEmpty() && refuseOutputIsInput(output, inputs, QStringLiteral("an input"), &status))
            return status;
    const char *kinds[] = {"trace", "plot"};
    for (int i = 0; i < 2; ++i)
        for (int j = i + 1; j < outputs.size(); ++j)
            if (!outputs[i].isEmpty() && !outputs[j].isEmpty() && fileio::sameFile(outputs[i], outputs[j]))
                return cliFail(QStringLiteral("cannot write %1").arg(shownPath(outputs[j])),
                               QStringLiteral("it is %1, the %2 of the same run")
                                   .arg(shownPath(outputs[i]), QLatin1String(kinds[i])));
    for (const QString &output : outputs)
        if (!output.isEmpty() && !outputWritable(output, &status))
            return status;
    return 0;
}

int writeOutputs(const Outputs &o, const SimTrace *trace)
{
    QString error;
    if (!o.trace.isEmpty() && !fileio::writeAtomically(o.trace, o.vcd ? trace->vcd() : trace->csv(), &error))
        return writeFailed(error);
    if (o.plot.isEmpty())
        return 0;
    const QByteArray plot = simPlot(*trace, o.svg ? SimPlotFormat::Svg : SimPlotFormat::Png);
    if (plot.isEmpty())
        return cliFail(QStringLiteral("cannot write %1").arg(shownPath(o.plot)),
                       QStringLiteral("the picture could not be drawn"));
    if (!fileio::writeAtomically(o.plot, plot, &error))
        return writeFailed(error);
    return 0;
}

// The script's steps, checked whole before the first tick; no script: none.
int readSteps(const QString &scriptPath, const SimRows &rows, std::vector<SimStep> *steps)
{
    if (scriptPath.isEmpty())
        return 0;
    QString why;
    QByteArray text;
    // Bounded like a setup file; a regular file or standard input ("-") only.
    if (!kelda::fileio::readInput(scriptPath, STRATA_MAX_FILE_SIZE, &text, &why))
        return cliFail(QStringLiteral("cannot read %1").arg(shownPath(scriptPath)), why);
    int badLine = 0;
    if (!parseSimScript(text, rows, steps, &badLine, &why)
        || !simCheckReplays(*steps, simScriptDir(scriptPath), &badLine, &why))
        return cliFail(QStringLiteral("%1:%2").arg(scriptPath, QString::number(badLine)), why);
    return 0;
}

// --can-in and its companions; the log is opened by the run.
int canOptionsOf(const CliArgs &args, SimCanOptions *can)
{
    can->canIn = args.value("can-in");
    can->channel = args.value("can-channel").toUtf8();
    if (args.isSet("can-start")) {
        qint64 ns = 0;
        if (!simSecondsOf(args.value("can-start"), &ns))
            return cliUsageError(QStringLiteral("--can-start takes seconds in the log's clock, such as 1436509052.25, "
                                                "not '%1'")
                                     .arg(cliToken(args.value("can-start"))));
        can->start = ns;
    }
    if (can->canIn.isEmpty())
        for (const char *option : {"can-start", "can-channel"})
            if (args.isSet(option))
                return cliUsageError(QStringLiteral("--%1 goes with --can-in").arg(QLatin1String(option)));
    if (can->canIn == QLatin1String("-") && args.value("script") == QLatin1String("-"))
        return cliUsageError(QStringLiteral("--script and --can-in cannot both be standard input"));
    // The reader takes a file, a pipe or standard input and refuses the rest.
    if (!can->canIn.isEmpty() && can->canIn != QLatin1String("-") && !QFileInfo::exists(can->canIn))
        return cliFail(QStringLiteral("cannot read %1").arg(shownPath(can->canIn)), QStringLiteral("no such file"));
    return 0;
}

int report(const SimOutcome &outcome, const QString &scriptPath)
{
    // Line 0: the run could not start (its log could not be opened).
    if (!outcome.stopped.isEmpty() && outcome.stoppedLine == 0)
        return cliFail(QStringLiteral("--can-in"), outcome.stopped);
    const QString where = scriptPath.isEmpty() ? QStringLiteral("--can-in") : scriptPath;
    if (!outcome.stopped.isEmpty())
        return cliFail(QStringLiteral("%1:%2").arg(where, QString::number(outcome.stoppedLine)), outcome.stopped);
    if (!outcome.failures.empty())
        return cliFail(
            shownPath(scriptPath),
            QStringLiteral("%1 of %2 expectations failed").arg(outcome.failures.size()).arg(outcome.expectations));
    return 0;
}

// The CAN output log is written as the run goes and replaces its file only
// when the run wrote it whole.
int runWithOutputs(const SimScenario &scenario, const std::vector<SimStep> &steps, const Outputs &o,
                   const SimLimits &limits, SimCanOptions can, const QString &scriptPath)
{
    std::unique_ptr<SimTrace> trace;
    if (!o.trace.isEmpty() || !o.plot.isEmpty())
        trace = std::make_unique<SimTrace>(o.names ? *o.names : scenario.rows().names);
    QSaveFile canOut(o.canOut);
    if (!o.canOut.isEmpty()) {
        if (!canOut.open(QIODevice::WriteOnly))
            return writeFailed(QStringLiteral("cannot write %1: %2").arg(shownPath(o.canOut), canOut.errorString()));
        can.canOut = &canOut;
    }
    QTextStream &out = cliOut();
    const SimOutcome outcome = scenario.run(steps, &out, trace.get(), limits, can);
    for (const SimFailure &f : outcome.failures)
        out << scriptPath << ':' << f.line << ": tick " << f.tick << ": " << f.message << '\n';
    out.flush();
    // A run that could not start (its log unreadable) leaves every output
    // file as it was; the unfinished CAN output log is discarded.
    if (!outcome.started)
        return report(outcome, scriptPath);
    // What ran is written even when a limit ended the run.
    if (const int failed = writeOutputs(o, trace.get()))
        return failed;
    if (!o.canOut.isEmpty() && (outcome.canOutFailed || !canOut.commit()))
        return writeFailed(QStringLiteral("cannot write %1: %2").arg(shownPath(o.canOut), canOut.errorString()));
    return report(outcome, scriptPath);
}

int runSimulate(const CliArgs &args)
{
    if (args.isSet("bus"))
        return runBusBridge(args);
    const QString setupPath = args.positional.at(0);
    const QString scriptPath = args.value("script");
    Outputs o{args.value("trace"), args.value("plot"), args.value("can-out")};
    o.vcd = QFileInfo(o.trace).suffix().toLower() == QLatin1String("vcd");
    o.svg = QFileInfo(o.plot).suffix().toLower() == QLatin1String("svg");
    SimLimits limits;
    SimCanOptions can;
    int status = 0;
    if (!simLimitsOf(args, &limits, &status))
        return status;
    if (args.isSet("for"))
        return cliUsageError(QStringLiteral("--for goes with --bus"));
    if (const int refused = canOptionsOf(args, &can))
        return refused;
    if (scriptPath.isEmpty() && can.canIn.isEmpty())
        return cliUsageError(QStringLiteral("give --script FILE, --can-in LOG or --bus BACKEND:INTERFACE"));
    if (const int refused = checkOutputs(o, {setupPath, scriptPath, can.canIn, args.value("dbc")}))
        return refused;

    SimScenario scenario;
    QString what, why;
    if (!scenario.open(setupPath, &what, &why))
        return cliFail(what, why);
    std::vector<SimStep> steps;
    SimRows rows = scenario.rows();
    if (args.isSet("dbc") && !dbc::readSignals(args.value("dbc"), &rows, &why, &o.names.emplace()))
        return cliFail(QStringLiteral("cannot read %1").arg(shownPath(args.value("dbc"))), why);
    if (const int bad = readSteps(scriptPath, rows, &steps))
        return bad;
    // The logs a script replays are known only once it is read.
    const QStringList replays = simReplayPaths(steps, simScriptDir(scriptPath));
    for (const QString &output : {o.trace, o.plot, o.canOut})
        if (!output.isEmpty()
            && refuseOutputIsInput(output, replays, QStringLiteral("a log the script replays"), &status))
            return status;
    noteSetupErrors(scenario, setupPath);
    can.scriptDir = simScriptDir(scriptPath);
    can.note = [](const QString &line) {
        cliOut().flush();
        cliErr() << "kelda-cli: " << cliOneLine(line) << Qt::endl;
    };
    return runWithOutputs(scenario, steps, o, limits, can, scriptPath);
}

const CliRegistration simulateCommand{{
    .name = "simulate",
    .usage = "kelda-cli simulate SETUP.kelda [--script FILE] [--can-in LOG [--can-out OUT.log] [--can-start SECONDS] "
             "[--can-channel NAME]] [--trace FILE.vcd|FILE.csv] [--plot FILE.svg|FILE.png] [--max-ticks N] "
             "[--max-changes N] [--dbc FILE.dbc] | SETUP.kelda --bus BACKEND:INTERFACE [--for SECONDS]",
    .summary = "run a setup's logic from a script of inputs, ticks and expectations",
    .description = "Runs the setup's event logic as the editor's Simulate > Go does, a tick standing for "
                   "10 ms, with the tick boxes set by a script. Script lines (rows counted from 1 or items by "
                   "name in double quotes; # starts a comment): key N P|SP|LP|DP on|off; switch N on|off; can N "
                   "on|off; tick [K]; show; press, hold, release and wait; expect. Each show prints six lines: "
                   "tick, states, timers, outputs, leds and lx1. The whole script is checked before the first "
                   "tick; a failed expectation is printed as FILE:LINE: tick T: expected ..., but it is ... "
                   "after the run (docs/testing-setups.md describes the language).\n\n"
                   "A run may take at most --max-ticks ticks (default 8640000, one simulated day) and a trace or "
                   "plot at most --max-changes changes (default 1000000); reaching either ends the run with one "
                   "line, FILE:LINE: stopped at tick T: ..., status 1, and the trace and plot of what ran.\n\n"
                   "With --can-in, a recorded CAN log (candump -l, ASC, TRC or CSV) drives the CAN inputs: tick k "
                   "sees every frame stamped before k x 10 ms after the log's first frame (or --can-start); the run "
                   "lasts until its last frame, or the script's end if later. Scripts may also say replay \"FILE\", "
                   "can N = VALUE and can 0x123 = 11 22 33. --can-out writes the setup's CAN output frames as a "
                   "candump -l log. Every unreadable log line is reported on standard error as FILE:LINE: why and "
                   "the run goes on (docs/can-model.md).\n\n"
                   "With --bus, the setup runs in real time against a live CAN bus through QtSerialBus "
                   "(virtualcan:tcp://HOST:PORT/can0, socketcan:can0, ...): frames in drive the CAN inputs, the CAN "
                   "output frames go out; it ends after --for seconds or at Ctrl+C (SIGINT), with status 0.",
    .arguments = {{"SETUP.kelda", "the setup file"}},
    .options =
        {{"script", "FILE", "the script: a regular file of at most 64 MiB, or - for standard input", false, true},
         {"can-in", "LOG",
          "drive the CAN inputs from a recorded log (.log candump, .asc, .trc, .csv), a pipe, or - for standard input"},
         {"can-out", "OUT.log", "write the CAN output frames as a candump -l log"},
         {"can-start", "SECONDS", "the log time at which the run starts (default: its first frame's)"},
         {"can-channel", "NAME", "read only this bus of a log with several (can0, 1, ...)"},
         {"bus", "BACKEND:INTERFACE", "run in real time on a live bus (virtualcan:tcp://127.0.0.1:PORT/can0)"},
         {"for", "SECONDS", "with --bus: end after this many seconds (default: at Ctrl+C)"},
         {"trace", "FILE.vcd|FILE.csv", "write every change of the run as VCD or CSV (by the file's name)"},
         {"plot", "FILE.svg|FILE.png", "draw the run as a timing diagram, SVG or PNG (by the file's name)"},
         {"max-ticks", "N", "end the run after N ticks (default 8640000, one simulated day)"},
         {"max-changes", "N", "end the run once the trace or plot holds more than N changes (default 1000000)"},
         {"dbc", "FILE.dbc", "let can \"SIGNAL\" = VALUE [UNIT] set a signal of this DBC by its physical value"}},
    .statuses = {{0, "the script ran to its end and every expectation held"},
                 {1,
                  "an expectation failed, the setup cannot be opened or compiled, the script cannot be read "
                  "or has a bad line (FILE:LINE: why), a limit ended the run, or a trace or plot cannot be "
                  "written"}},
    .run = &runSimulate,
}};

}  // namespace
