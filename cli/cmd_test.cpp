// kelda-cli test: runs scenario files, each from a fresh start of its setup,
// and says which passed; a JUnit XML report for CI servers on request.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QXmlStreamWriter>

#include <map>
#include <memory>

#include "atomicfile.h"
#include "clicommand.h"
#include "dbcsimvalue.h"
#include "documentargs.h"
#include "simscenario.h"
#include "strata.h"

using namespace kelda;

namespace {

struct Result {
    QString name;  // as shown
    QString setup;  // the setup's file name, the report's class name
    QString error;  // the scenario could not run: "NAME: why" or "NAME:LINE: why"
    SimOutcome outcome;
    double seconds = 0;

    bool passed() const { return error.isEmpty() && outcome.failures.empty(); }
};

QString failureLine(const QString &name, const SimFailure &f)
{
    return QStringLiteral("%1:%2: tick %3: %4").arg(name, QString::number(f.line), QString::number(f.tick), f.message);
}

QByteArray junit(const std::vector<Result> &results, double seconds)
{
    int failures = 0, errors = 0;
    for (const Result &r : results) {
        failures += r.error.isEmpty() && !r.passed();
        errors += !r.error.isEmpty();
    }
    QByteArray bytes;
    QXmlStreamWriter xml(&bytes);
    xml.setAutoFormatting(true);
    xml.setAutoFormattingIndent(2);
    xml.writeStartDocument();
    auto counts = [&](const char *name) {
        xml.writeAttribute(QStringLiteral("name"), QLatin1String(name));
        xml.writeAttribute(QStringLiteral("tests"), QString::number(results.size()));
        xml.writeAttribute(QStringLiteral("failures"), QString::number(failures));
        xml.writeAttribute(QStringLiteral("errors"), QString::number(errors));
        xml.writeAttribute(QStringLiteral("time"), QString::number(seconds, 'f', 3));
    };
    xml.writeStartElement(QStringLiteral("testsuites"));
    counts("kelda-cli test");
    xml.writeStartElement(QStringLiteral("testsuite"));
    counts("scenarios");
    xml.writeAttribute(QStringLiteral("skipped"), QStringLiteral("0"));
    for (const Result &r : results) {
        xml.writeStartElement(QStringLiteral("testcase"));
        xml.writeAttribute(QStringLiteral("name"), r.name);
        xml.writeAttribute(QStringLiteral("classname"), r.setup);
        xml.writeAttribute(QStringLiteral("time"), QString::number(r.seconds, 'f', 3));
        if (!r.error.isEmpty()) {
            xml.writeStartElement(QStringLiteral("error"));
            xml.writeAttribute(QStringLiteral("message"), r.error);
            xml.writeCharacters(r.error);
            xml.writeEndElement();
        } else if (!r.passed()) {
            xml.writeStartElement(QStringLiteral("failure"));
            xml.writeAttribute(QStringLiteral("message"),
                               QStringLiteral("%1 of %2 expectations failed")
                                   .arg(r.outcome.failures.size())
                                   .arg(r.outcome.expectations));
            xml.writeAttribute(QStringLiteral("type"), QStringLiteral("expectation"));
            QStringList lines;
            for (const SimFailure &f : r.outcome.failures)
                lines << failureLine(r.name, f);
            xml.writeCharacters(lines.join(QLatin1Char('\n')));
            xml.writeEndElement();
        }
        xml.writeEndElement();
    }
    xml.writeEndElement();
    xml.writeEndElement();
    xml.writeEndDocument();
    return bytes;
}

// One scenario as planned before the first runs: where it is, and its setup.
struct Planned {
    QString path;
    QString setup;  // as given or named; empty: none
    QString error;  // it cannot run: "NAME: why"
    QStringList replays;  // the logs it replays, as the run opens them
};

// The logs a scenario replays, line by line: other lines may name items of
// a setup not opened yet.
QStringList replaysOf(const QByteArray &text, const QString &path)
{
    const SimRows none;
    std::vector<SimStep> steps;
    for (const QString &line : QString::fromUtf8(text).split(QLatin1Char('\n'))) {
        std::vector<SimStep> one;
        if (line.contains(QLatin1String("replay")) && parseSimLine(line, none, one).isEmpty())
            steps.insert(steps.end(), one.begin(), one.end());
    }
    return simReplayPaths(steps, simScriptDir(path));
}

// A folder stands for its *.scenario entries in name order: every entry,
// so that a pipe, a device, a link that leads nowhere or a folder of that
// name is reported rather than passed over.
int expandFolders(const QStringList &paths, QStringList *scenarios)
{
    for (const QString &p : paths) {
        if (!QFileInfo(p).isDir()) {
            *scenarios << p;
            continue;
        }
        const QStringList names = QDir(p).entryList({QStringLiteral("*.scenario")},
                                                    QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        if (names.isEmpty())
            return cliFail(QStringLiteral("cannot test %1").arg(QDir::toNativeSeparators(p)),
                           QStringLiteral("no *.scenario files in it"));
        for (const QString &n : names)
            *scenarios << QDir(p).filePath(n);
    }
    return 0;
}

// Reads a scenario through the bounded reader: a regular file of at most
// 64 MiB; anything else is refused unread.
bool readScenario(const QString &path, QByteArray *text, QString *error)
{
    QString why;
    if (fileio::readInput(path, STRATA_MAX_FILE_SIZE, text, &why))
        return true;
    *error = QStringLiteral("%1: cannot read it: %2").arg(QDir::toNativeSeparators(path), why);
    return false;
}

// Every scenario read and its setup found before the first runs, so that no
// output can replace one of them.
std::vector<Planned> plan(const QStringList &scenarios, const QString &setupPath)
{
    std::vector<Planned> planned;
    for (const QString &path : scenarios) {
        Planned p{path, setupPath, {}, {}};
        QByteArray text;
        if (readScenario(path, &text, &p.error))
            p.replays = replaysOf(text, path);
        if (p.error.isEmpty() && p.setup.isEmpty()) {
            // Only the setup line: the script's names are the setup's.
            SimRows none;
            std::vector<SimStep> ignored;
            int badLine = 0;
            QString why, named;
            parseSimScript(text, none, &ignored, &badLine, &why, &named);
            if (!named.isEmpty())
                p.setup = QFileInfo(named).isAbsolute() || QFileInfo(path).path() == QLatin1String(".")
                    ? named
                    : QFileInfo(path).path() + QLatin1Char('/') + named;
            else
                p.error = QStringLiteral("%1: names no setup: give SETUP.kelda or begin it with 'setup FILE'")
                              .arg(QDir::toNativeSeparators(path));
        }
        planned.push_back(p);
    }
    return planned;
}

int checkReport(const QString &junitPath, const std::vector<Planned> &planned, const QString &dbcPath)
{
    int status = 0;
    if (refuseOutputIsInput(junitPath, {dbcPath}, QStringLiteral("the CAN database being read"), &status))
        return status;
    for (const Planned &p : planned) {
        if (refuseOutputIsInput(junitPath, p.replays, QStringLiteral("a log %1 replays").arg(p.path), &status))
            return status;
        const QString clash = fileio::clashingInput(junitPath, {p.path, p.setup});
        if (!clash.isEmpty())
            return cliFail(QStringLiteral("cannot write %1").arg(QDir::toNativeSeparators(junitPath)),
                           clash == p.path ? QStringLiteral("it is the scenario %1, an input").arg(p.path)
                                           : QStringLiteral("it is the setup %1 of %2, an input").arg(p.setup, p.path));
    }
    return outputWritable(junitPath, &status) ? 0 : status;
}

class Runner
{
public:
    Runner(const SimLimits &limits, decltype(SimRows::dbcSignal) dbcSignal)
        : m_limits(limits), m_dbcSignal(std::move(dbcSignal))
    { }
    Result run(const Planned &p);

private:
    SimScenario *scenarioFor(const QString &setup, QString *error);
    SimRows withDbc(SimRows rows) const;

    SimLimits m_limits;
    decltype(SimRows::dbcSignal) m_dbcSignal;  // --dbc
    std::map<QString, std::unique_ptr<SimScenario>> m_opened;  // by absolute path
    std::map<QString, QString> m_unopened;  // by absolute path: the failure line
};

SimScenario *Runner::scenarioFor(const QString &setup, QString *error)
{
    const QString key = QFileInfo(setup).absoluteFilePath();
    if (!m_opened.count(key) && !m_unopened.count(key)) {
        auto scenario = std::make_unique<SimScenario>();
        QString what, why;
        if (scenario->open(setup, &what, &why)) {
            noteSetupErrors(*scenario, setup);
            m_opened[key] = std::move(scenario);
        } else {
            m_unopened[key] = what + QStringLiteral(": ") + why;
        }
    }
    if (m_unopened.count(key)) {
        *error = m_unopened[key];
        return nullptr;
    }
    return m_opened[key].get();
}

SimRows Runner::withDbc(SimRows rows) const
{
    rows.dbcSignal = m_dbcSignal;
    return rows;
}

Result Runner::run(const Planned &p)
{
    QElapsedTimer clock;
    clock.start();
    Result r;
    r.name = QDir::toNativeSeparators(p.path);
    r.setup = QFileInfo(p.setup).completeBaseName();
    r.error = p.error;
    QByteArray text;
    if (r.error.isEmpty() && readScenario(p.path, &text, &r.error)) {
        QString why;
        std::vector<SimStep> steps;
        int badLine = 0;
        SimScenario *scenario = scenarioFor(p.setup, &why);
        if (!scenario) {
            r.error = r.name + QStringLiteral(": ") + why;
        } else if (!parseSimScript(text, withDbc(scenario->rows()), &steps, &badLine, &why)
                   || !simCheckReplays(steps, simScriptDir(p.path), &badLine, &why)) {
            r.error = QStringLiteral("%1:%2: %3").arg(r.name, QString::number(badLine), why);
        } else {
            SimCanOptions can;
            can.scriptDir = simScriptDir(p.path);
            can.note = [](const QString &line) {
                cliOut().flush();
                cliErr() << "kelda-cli: " << cliOneLine(line) << Qt::endl;
            };
            r.outcome = scenario->run(steps, nullptr, nullptr, m_limits, can);
            if (!r.outcome.stopped.isEmpty())
                r.error =
                    QStringLiteral("%1:%2: %3").arg(r.name, QString::number(r.outcome.stoppedLine), r.outcome.stopped);
        }
    }
    r.seconds = double(clock.nsecsElapsed()) / 1e9;
    return r;
}

void printResult(QTextStream &out, const Result &r)
{
    if (!r.error.isEmpty()) {
        out << "ERROR " << r.error << '\n';
    } else if (r.passed()) {
        out << "PASS " << r.name << " (" << r.outcome.expectations << " expectations, "
            << QString::number(double(r.outcome.ticks) * kSimTickMs / 1000.0, 'f', 2) << " s)\n";
    } else {
        for (const SimFailure &f : r.outcome.failures)
            out << failureLine(r.name, f) << '\n';
        out << "FAIL " << r.name << " (" << r.outcome.failures.size() << " of " << r.outcome.expectations
            << " expectations failed)\n";
    }
}

int runTest(const CliArgs &args)
{
    const QString junitPath = args.value("junit");
    QString setupPath;
    QStringList paths = args.positional;
    if (!paths.isEmpty() && paths.first().endsWith(QLatin1String(".kelda")))
        setupPath = paths.takeFirst();
    if (paths.isEmpty())
        return cliUsageError(QStringLiteral("no scenario given"));
    SimLimits limits;
    int status = 0;
    if (!simLimitsOf(args, &limits, &status))
        return status;
    SimRows dbc;
    QString why;
    if (args.isSet("dbc") && !dbc::readSignals(args.value("dbc"), &dbc, &why))
        return cliFail(QStringLiteral("cannot read %1").arg(shownPath(args.value("dbc"))), why);
    QStringList scenarios;
    if (const int failed = expandFolders(paths, &scenarios))
        return failed;
    const std::vector<Planned> planned = plan(scenarios, setupPath);
    if (!junitPath.isEmpty())
        if (const int refused = checkReport(junitPath, planned, args.value("dbc")))
            return refused;

    QElapsedTimer total;
    total.start();
    Runner runner(limits, dbc.dbcSignal);
    std::vector<Result> results;
    QTextStream &out = cliOut();
    int passed = 0;
    for (const Planned &p : planned) {
        results.push_back(runner.run(p));
        passed += results.back().passed();
        printResult(out, results.back());
    }
    const int failed = static_cast<int>(results.size()) - passed;
    out << passed << " passed, " << failed << " failed\n";
    out.flush();

    if (!junitPath.isEmpty()) {
        QString error;
        if (!fileio::writeAtomically(junitPath, junit(results, double(total.nsecsElapsed()) / 1e9), &error))
            return writeFailed(error);
    }
    return failed == 0 ? 0 : 1;
}

const CliRegistration testCommand{{
    .name = "test",
    .usage = "kelda-cli test [SETUP.kelda] TEST.scenario|DIR... [--junit FILE.xml] [--max-ticks N] [--dbc FILE.dbc]",
    .summary = "run scenario files and say which passed",
    .description = "Runs each scenario from a fresh start of its setup and prints a line for each (PASS, FAIL "
                   "with its failed expectations, or ERROR), then \"P passed, F failed\". A scenario names its "
                   "setup in a 'setup FILE' line unless SETUP.kelda is given (docs/testing-setups.md). Every scenario "
                   "is read, and every setup found, before the first runs; a report that would replace one of them "
                   "is refused.",
    .arguments = {{"SETUP.kelda", "the setup every scenario runs on (a first argument ending in .kelda)"},
                  {"TEST.scenario|DIR",
                   "a scenario file, or a folder standing for its *.scenario files in name "
                   "order; as many as wanted"}},
    .optionalArguments = 2,
    .moreArguments = true,
    .options = {{"junit", "FILE.xml", "also write a JUnit XML report for CI servers"},
                {"dbc", "FILE.dbc", "let can \"SIGNAL\" = VALUE [UNIT] set a signal of this DBC by its physical value"},
                {"max-ticks", "N", "end a scenario after N ticks, as an error (default 8640000, one simulated day)"}},
    .statuses = {{0, "every scenario passed"},
                 {1,
                  "a scenario failed or could not run, a folder holds no scenario, or the report cannot be "
                  "written"},
                 {2, "usage error, or no scenario given"}},
    .run = &runTest,
}};

}  // namespace
