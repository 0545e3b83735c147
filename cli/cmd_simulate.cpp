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

const char kSimulateUsage[] =
    "kelda-cli simulate SETUP.kelda --script FILE [--trace FILE.vcd|FILE.csv] [--plot FILE.svg|FILE.png]";

int runSimulate(const QStringList &args)
{
    if (args.contains(QLatin1String("--help")) || args.contains(QLatin1String("-h"))) {
        cliOut() << "usage: " << kSimulateUsage << Qt::endl;
        return 0;
    }
    QString setupPath, scriptPath, tracePath, plotPath;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        QString *option = a == QLatin1String("--script") ? &scriptPath
                          : a == QLatin1String("--trace") ? &tracePath
                          : a == QLatin1String("--plot")  ? &plotPath
                                                          : nullptr;
        if (option) {
            if (i + 1 >= args.size())
                return cliUsageError(QStringLiteral("%1 needs a file name").arg(a));
            if (!option->isEmpty())
                return cliUsageError(QStringLiteral("%1 given twice").arg(a));
            *option = args.at(++i);
        } else if (a.startsWith(QLatin1Char('-')) && a.size() > 1) {
            return cliUsageError(QStringLiteral("unknown option '%1'").arg(a));
        } else if (!setupPath.isEmpty()) {
            return cliUsageError(QStringLiteral("too many file names"));
        } else {
            setupPath = a;
        }
    }
    if (setupPath.isEmpty())
        return cliUsageError(QStringLiteral("missing file name"));
    if (scriptPath.isEmpty())
        return cliUsageError(QStringLiteral("missing --script FILE"));
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
        return cliFail(QStringLiteral("%1:%2").arg(scriptPath).arg(badLine), why);

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
        const QByteArray plot = simPlot(*trace, plotType == QLatin1String("svg") ? SimPlotFormat::Svg : SimPlotFormat::Png);
        if (plot.isEmpty())
            return cliFail(QStringLiteral("cannot write %1").arg(QDir::toNativeSeparators(plotPath)),
                           QStringLiteral("the picture could not be drawn"));
        if (!fileio::writeAtomically(plotPath, plot, &why))
            return cliFail(QStringLiteral("cannot write %1").arg(QDir::toNativeSeparators(plotPath)), why);
    }
    if (!outcome.failures.empty())
        return cliFail(QDir::toNativeSeparators(scriptPath),
                       QStringLiteral("%1 of %2 expectations failed").arg(outcome.failures.size()).arg(outcome.expectations));
    return 0;
}

CliCommand cmd("simulate", kSimulateUsage, &runSimulate);

} // namespace
