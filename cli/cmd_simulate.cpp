// kelda-cli simulate: runs a setup through the simulation engine, driven by a
// script of tick-box changes and ticks instead of a window; on request a
// trace of every change and a timing diagram of it.
#include <QDir>
#include <QFileInfo>

#include <memory>
#include <vector>

#include "atomicfile.h"
#include "clicommand.h"
#include "simplot.h"
#include "simscenario.h"
#include "simtrace.h"
#include "strata.h"

using namespace kelda;

namespace {

int runSimulate(const CliArgs &args)
{
    const QString setupPath = args.positional.at(0);
    const QString scriptPath = args.value("script");
    const QString tracePath = args.value("trace");
    const QString plotPath = args.value("plot");
    const QString traceType = QFileInfo(tracePath).suffix().toLower();
    const QString plotType = QFileInfo(plotPath).suffix().toLower();
    if (!tracePath.isEmpty() && traceType != QLatin1String("vcd") && traceType != QLatin1String("csv"))
        return cliUsageError(QStringLiteral("--trace writes FILE.vcd or FILE.csv, not '%1'").arg(tracePath));
    if (!plotPath.isEmpty() && plotType != QLatin1String("svg") && plotType != QLatin1String("png"))
        return cliUsageError(QStringLiteral("--plot writes FILE.svg or FILE.png, not '%1'").arg(plotPath));
    for (const QString &output : {tracePath, plotPath})
        for (const QString &input : {setupPath, scriptPath})
            if (!output.isEmpty() && fileio::sameFile(output, input))
                return cliFail(QStringLiteral("cannot write %1").arg(QDir::toNativeSeparators(output)),
                               QStringLiteral("it is %1, an input").arg(QDir::toNativeSeparators(input)));

    SimScenario scenario;
    QString what, why;
    if (!scenario.open(setupPath, &what, &why))
        return cliFail(what, why);

    // The whole script is checked before the first tick.
    // Bounded like a setup file; a regular file or standard input ("-") only.
    QByteArray text;
    if (!kelda::fileio::readInput(scriptPath, STRATA_MAX_FILE_SIZE, &text, &why))
        return cliFail(QStringLiteral("cannot read %1").arg(QDir::toNativeSeparators(scriptPath)), why);
    std::vector<SimStep> steps;
    int badLine = 0;
    if (!parseSimScript(text, scenario.rows(), &steps, &badLine, &why))
        return cliFail(QStringLiteral("%1:%2").arg(scriptPath, QString::number(badLine)), why);

    std::unique_ptr<SimTrace> trace;
    if (!tracePath.isEmpty() || !plotPath.isEmpty())
        trace = std::make_unique<SimTrace>(scenario.rows().names);
    QTextStream &out = cliOut();
    const SimOutcome outcome = scenario.run(steps, &out, trace.get());
    for (const SimFailure &f : outcome.failures)
        out << scriptPath << ':' << f.line << ": tick " << f.tick << ": " << f.message << '\n';
    out.flush();

    if (!tracePath.isEmpty()
        && !fileio::writeAtomically(tracePath, traceType == QLatin1String("vcd") ? trace->vcd() : trace->csv(), &why))
        return cliFail(QStringLiteral("cannot write %1").arg(QDir::toNativeSeparators(tracePath)), why);
    if (!plotPath.isEmpty()) {
        const QByteArray plot =
            simPlot(*trace, plotType == QLatin1String("svg") ? SimPlotFormat::Svg : SimPlotFormat::Png);
        if (plot.isEmpty())
            return cliFail(QStringLiteral("cannot write %1").arg(QDir::toNativeSeparators(plotPath)),
                           QStringLiteral("the picture could not be drawn"));
        if (!fileio::writeAtomically(plotPath, plot, &why))
            return cliFail(QStringLiteral("cannot write %1").arg(QDir::toNativeSeparators(plotPath)), why);
    }
    if (!outcome.failures.empty())
        return cliFail(
            QDir::toNativeSeparators(scriptPath),
            QStringLiteral("%1 of %2 expectations failed").arg(outcome.failures.size()).arg(outcome.expectations));
    return 0;
}

const CliRegistration simulateCommand{{
    .name = "simulate",
    .usage = "kelda-cli simulate SETUP.kelda --script FILE [--trace FILE.vcd|FILE.csv] [--plot FILE.svg|FILE.png]",
    .summary = "run a setup's logic from a script of inputs, ticks and expectations",
    .description = "Runs the setup's event logic as the editor's Simulate > Go does, a tick standing for "
                   "10 ms, with the tick boxes set by a script. Script lines (rows counted from 1 or items by "
                   "name in double quotes; # starts a comment): key N P|SP|LP|DP on|off; switch N on|off; can N "
                   "on|off; tick [K]; show; press, hold, release and wait; expect. Each show prints six lines: "
                   "tick, states, timers, outputs, leds and lx1. The whole script is checked before the first "
                   "tick; a failed expectation is printed as FILE:LINE: tick T: expected ..., but it is ... "
                   "after the run (docs/testing-setups.md describes the language).",
    .arguments = {{"SETUP.kelda", "the setup file"}},
    .options = {{"script", "FILE", "the script: a regular file of at most 64 MiB, or - for standard input", true},
                {"trace", "FILE.vcd|FILE.csv", "write every change of the run as VCD or CSV (by the file's name)"},
                {"plot", "FILE.svg|FILE.png", "draw the run as a timing diagram, SVG or PNG (by the file's name)"}},
    .statuses = {{0, "the script ran to its end and every expectation held"},
                 {1,
                  "an expectation failed, the setup cannot be opened or compiled, the script cannot be read "
                  "or has a bad line (FILE:LINE: why), or a trace or plot cannot be written"}},
    .run = &runSimulate,
}};

}  // namespace
