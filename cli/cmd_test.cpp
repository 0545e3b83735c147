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
#include "simscenario.h"

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

int runTest(const CliArgs &args)
{
    const QString junitPath = args.value("junit");
    QString setupPath;
    QStringList paths = args.positional;
    if (!paths.isEmpty() && paths.first().endsWith(QLatin1String(".kelda")))
        setupPath = paths.takeFirst();
    if (paths.isEmpty())
        return cliUsageError(QStringLiteral("no scenario given"));

    // A folder stands for its *.scenario files, in name order.
    QStringList scenarios;
    for (const QString &p : paths) {
        if (QFileInfo(p).isDir()) {
            const QStringList names = QDir(p).entryList({QStringLiteral("*.scenario")}, QDir::Files, QDir::Name);
            if (names.isEmpty())
                return cliFail(QStringLiteral("cannot test %1").arg(QDir::toNativeSeparators(p)),
                               QStringLiteral("no *.scenario files in it"));
            for (const QString &n : names)
                scenarios << QDir(p).filePath(n);
        } else {
            scenarios << p;
        }
    }
    QStringList inputs = scenarios;
    inputs << setupPath;
    if (!junitPath.isEmpty())
        for (const QString &input : inputs)
            if (!input.isEmpty() && fileio::sameFile(junitPath, input))
                return cliFail(QStringLiteral("cannot write %1").arg(QDir::toNativeSeparators(junitPath)),
                               QStringLiteral("it is one of the inputs"));

    QElapsedTimer total;
    total.start();
    std::map<QString, std::unique_ptr<SimScenario>> opened;  // by absolute path
    std::map<QString, QString> unopened;  // by absolute path: the failure line
    std::vector<Result> results;
    QTextStream &out = cliOut();
    int passed = 0;
    for (const QString &path : scenarios) {
        QElapsedTimer clock;
        clock.start();
        Result r;
        r.name = QDir::toNativeSeparators(path);
        QFile file(path);
        QByteArray text;
        std::vector<SimStep> steps;
        int badLine = 0;
        QString why, named;
        if (!file.open(QIODevice::ReadOnly)) {
            r.error = QStringLiteral("%1: cannot read it: %2").arg(r.name, file.errorString());
        } else {
            text = file.readAll();
            // The setup first: the script's names are the setup's.
            SimRows none;
            std::vector<SimStep> ignored;
            parseSimScript(text, none, &ignored, &badLine, &why, &named);
            QString setup = setupPath;
            if (setup.isEmpty() && !named.isEmpty())
                setup = QFileInfo(named).isAbsolute() ? named : QFileInfo(path).dir().filePath(named);
            if (setup.isEmpty()) {
                r.error =
                    QStringLiteral("%1: names no setup: give SETUP.kelda or begin it with 'setup FILE'").arg(r.name);
            } else {
                const QString key = QFileInfo(setup).absoluteFilePath();
                r.setup = QFileInfo(setup).completeBaseName();
                if (!opened.count(key) && !unopened.count(key)) {
                    auto scenario = std::make_unique<SimScenario>();
                    QString what;
                    if (scenario->open(setup, &what, &why))
                        opened[key] = std::move(scenario);
                    else
                        unopened[key] = what + QStringLiteral(": ") + why;
                }
                if (unopened.count(key)) {
                    r.error = r.name + QStringLiteral(": ") + unopened[key];
                } else if (!parseSimScript(text, opened[key]->rows(), &steps, &badLine, &why)) {
                    r.error = QStringLiteral("%1:%2: %3").arg(r.name, QString::number(badLine), why);
                } else {
                    r.outcome = opened[key]->run(steps, nullptr, nullptr);
                }
            }
        }
        r.seconds = double(clock.nsecsElapsed()) / 1e9;
        if (!r.error.isEmpty()) {
            out << "ERROR " << r.error << '\n';
        } else if (r.passed()) {
            ++passed;
            out << "PASS " << r.name << " (" << r.outcome.expectations << " expectations, "
                << QString::number(double(r.outcome.ticks) * kSimTickMs / 1000.0, 'f', 2) << " s)\n";
        } else {
            for (const SimFailure &f : r.outcome.failures)
                out << failureLine(r.name, f) << '\n';
            out << "FAIL " << r.name << " (" << r.outcome.failures.size() << " of " << r.outcome.expectations
                << " expectations failed)\n";
        }
        results.push_back(std::move(r));
    }
    const int failed = static_cast<int>(results.size()) - passed;
    out << passed << " passed, " << failed << " failed\n";
    out.flush();

    if (!junitPath.isEmpty()) {
        QString why;
        if (!fileio::writeAtomically(junitPath, junit(results, double(total.nsecsElapsed()) / 1e9), &why))
            return cliFail(QStringLiteral("cannot write %1").arg(QDir::toNativeSeparators(junitPath)), why);
    }
    return failed == 0 ? 0 : 1;
}

const CliRegistration testCommand{{
    .name = "test",
    .usage = "kelda-cli test [SETUP.kelda] TEST.scenario|DIR... [--junit FILE.xml]",
    .summary = "run scenario files and say which passed",
    .description = "Runs each scenario from a fresh start of its setup and prints a line for each (PASS, FAIL "
                   "with its failed expectations, or ERROR), then \"P passed, F failed\". A scenario names its "
                   "setup in a 'setup FILE' line unless SETUP.kelda is given (docs/testing-setups.md).",
    .arguments = {{"SETUP.kelda", "the setup every scenario runs on (a first argument ending in .kelda)"},
                  {"TEST.scenario|DIR",
                   "a scenario file, or a folder standing for its *.scenario files in name "
                   "order; as many as wanted"}},
    .optionalArguments = 2,
    .moreArguments = true,
    .options = {{"junit", "FILE.xml", "also write a JUnit XML report for CI servers"}},
    .statuses = {{0, "every scenario passed"},
                 {1,
                  "a scenario failed or could not run, a folder holds no scenario, or the report cannot be "
                  "written"},
                 {2, "usage error, or no scenario given"}},
    .run = &runTest,
}};

}  // namespace
