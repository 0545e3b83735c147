// kelda-cli simulate: runs a setup through the simulation engine, driven by a
// script of tick-box changes and ticks instead of a window; on request a
// trace of every change and a timing diagram of it.
#include <QDir>
#include <QFileInfo>

#include <memory>
#include <vector>

#include "atomicfile.h"
#include "clicommand.h"
#include "documentargs.h"
#include "simplot.h"
#include "simscenario.h"
#include "simtrace.h"
#include "strata.h"

using namespace kelda;

namespace {

struct Outputs {
    QString trace, plot;
    bool vcd = false, svg = false;
};

// Before anything is read: outputs of a type we write, none of them an
// input or each other, each in a folder that exists and may be written.
int checkOutputs(const Outputs &o, const QString &setupPath, const QString &scriptPath)
{
    if (!o.trace.isEmpty() && QFileInfo(o.trace).suffix().toLower() != QLatin1String("csv") && !o.vcd)
        return cliUsageError(QStringLiteral("--trace writes FILE.vcd or FILE.csv, not '%1'").arg(cliToken(o.trace)));
    const QString plotType = QFileInfo(o.plot).suffix().toLower();
    if (!o.plot.isEmpty() && plotType != QLatin1String("png") && !o.svg)
        return cliUsageError(QStringLiteral("--plot writes FILE.svg or FILE.png, not '%1'").arg(cliToken(o.plot)));
    for (const QString &output : {o.trace, o.plot})
        for (const QString &input : {setupPath, scriptPath})
            if (!output.isEmpty() && fileio::sameFile(output, input))
                return cliFail(QStringLiteral("cannot write %1").arg(shownPath(output)),
                               QStringLiteral("it is %1, an input").arg(shownPath(input)));
    if (!o.trace.isEmpty() && !o.plot.isEmpty() && fileio::sameFile(o.trace, o.plot))
        return cliFail(QStringLiteral("cannot write %1").arg(shownPath(o.plot)),
                       QStringLiteral("it is %1, the trace of the same run").arg(shownPath(o.trace)));
    int status = 0;
    for (const QString &output : {o.trace, o.plot})
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

int runSimulate(const CliArgs &args)
{
    const QString setupPath = args.positional.at(0);
    const QString scriptPath = args.value("script");
    Outputs o{args.value("trace"), args.value("plot")};
    o.vcd = QFileInfo(o.trace).suffix().toLower() == QLatin1String("vcd");
    o.svg = QFileInfo(o.plot).suffix().toLower() == QLatin1String("svg");
    SimLimits limits;
    int status = 0;
    if (!simLimitsOf(args, &limits, &status))
        return status;
    if (const int refused = checkOutputs(o, setupPath, scriptPath))
        return refused;

    SimScenario scenario;
    QString what, why;
    if (!scenario.open(setupPath, &what, &why))
        return cliFail(what, why);

    // The whole script is checked before the first tick.
    // Bounded like a setup file; a regular file or standard input ("-") only.
    QByteArray text;
    if (!kelda::fileio::readInput(scriptPath, STRATA_MAX_FILE_SIZE, &text, &why))
        return cliFail(QStringLiteral("cannot read %1").arg(shownPath(scriptPath)), why);
    std::vector<SimStep> steps;
    int badLine = 0;
    if (!parseSimScript(text, scenario.rows(), &steps, &badLine, &why))
        return cliFail(QStringLiteral("%1:%2").arg(scriptPath, QString::number(badLine)), why);
    noteSetupErrors(scenario, setupPath);

    std::unique_ptr<SimTrace> trace;
    if (!o.trace.isEmpty() || !o.plot.isEmpty())
        trace = std::make_unique<SimTrace>(scenario.rows().names);
    QTextStream &out = cliOut();
    const SimOutcome outcome = scenario.run(steps, &out, trace.get(), limits);
    for (const SimFailure &f : outcome.failures)
        out << scriptPath << ':' << f.line << ": tick " << f.tick << ": " << f.message << '\n';
    out.flush();
    // What ran is written even when a limit ended the run.
    if (const int failed = writeOutputs(o, trace.get()))
        return failed;
    if (!outcome.stopped.isEmpty())
        return cliFail(QStringLiteral("%1:%2").arg(scriptPath, QString::number(outcome.stoppedLine)), outcome.stopped);
    if (!outcome.failures.empty())
        return cliFail(
            shownPath(scriptPath),
            QStringLiteral("%1 of %2 expectations failed").arg(outcome.failures.size()).arg(outcome.expectations));
    return 0;
}

const CliRegistration simulateCommand{{
    .name = "simulate",
    .usage = "kelda-cli simulate SETUP.kelda --script FILE [--trace FILE.vcd|FILE.csv] [--plot FILE.svg|FILE.png] "
             "[--max-ticks N] [--max-changes N]",
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
                   "line, FILE:LINE: stopped at tick T: ..., status 1, and the trace and plot of what ran.",
    .arguments = {{"SETUP.kelda", "the setup file"}},
    .options = {{"script", "FILE", "the script: a regular file of at most 64 MiB, or - for standard input", true, true},
                {"trace", "FILE.vcd|FILE.csv", "write every change of the run as VCD or CSV (by the file's name)"},
                {"plot", "FILE.svg|FILE.png", "draw the run as a timing diagram, SVG or PNG (by the file's name)"},
                {"max-ticks", "N", "end the run after N ticks (default 8640000, one simulated day)"},
                {"max-changes", "N", "end the run once the trace or plot holds more than N changes (default 1000000)"}},
    .statuses = {{0, "the script ran to its end and every expectation held"},
                 {1,
                  "an expectation failed, the setup cannot be opened or compiled, the script cannot be read "
                  "or has a bad line (FILE:LINE: why), a limit ended the run, or a trace or plot cannot be "
                  "written"}},
    .run = &runSimulate,
}};

}  // namespace
