// "Does the module hold the setup?" and "what differs?" against lx2-emulator
// pacing at 38400 baud, with the large setup: kelda-cli verify --diff when the
// module holds the setup (goal: the answer within 1 s of connecting), under
// another name, and when every block of the image differs (goal: the list of
// differences within 5 s). Each figure is the median of three runs; the
// comparison's own time is the one kelda-cli logs ("Compared by content in").
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "largesetup.h"
#include "pmmodel.h"

namespace {

constexpr int kBaud = 38400;
constexpr int kRuns = 3;

struct Run {
    double seconds = -1;  // the whole command
    double compareMs = -1;  // the comparison, as logged
    int lines = 0;  // output lines after "differs"
    QString read;  // bytes read, as logged
};

QString startEmulator(QProcess &process, const QString &cal)
{
    process.start(QStringLiteral(KELDA_EMULATOR),
                  {QStringLiteral("--baud"), QString::number(kBaud), QStringLiteral("--cal-file"), cal});
    if (!process.waitForStarted() || !process.waitForReadyRead(5000))
        return QString();
    return QString::fromLocal8Bit(process.readLine()).trimmed();
}

QProcessEnvironment environment(const QString &port)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("CORLA_EXTRA_PORTS"), port);
    env.insert(QStringLiteral("CORLA_NO_SYSTEM_PORTS"), QStringLiteral("1"));
    env.insert(QStringLiteral("CORLA_RUNE_PATH"), QStringLiteral(KELDA_RUNES));
    return env;
}

Run cli(const QStringList &args, const QString &port)
{
    QProcess p;
    p.setProcessEnvironment(environment(port));
    QElapsedTimer timer;
    timer.start();
    p.start(QStringLiteral(KELDA_CLI), args + QStringList{QStringLiteral("--port"), port});
    p.waitForFinished(600000);
    Run run;
    run.seconds = timer.nsecsElapsed() / 1e9;
    const QStringList lines = QString::fromUtf8(p.readAllStandardOutput()).split(QLatin1Char('\n'));
    static const QRegularExpression compared(QStringLiteral("^Compared by content in (\\d+) ms \\((\\d+) bytes"));
    bool differs = false;
    for (const QString &line : lines) {
        if (const auto m = compared.match(line); m.hasMatch()) {
            run.compareMs = m.captured(1).toDouble();
            run.read = m.captured(2);
        }
        if (differs && line.startsWith(QLatin1String("  ")))
            ++run.lines;
        differs = differs || line == QLatin1String("differs");
    }
    return run;
}

void report(const char *what, const QStringList &args, const QString &port, double goal)
{
    std::vector<Run> runs;
    for (int i = 0; i < kRuns; ++i)
        runs.push_back(cli(args, port));
    std::sort(runs.begin(), runs.end(), [](const Run &a, const Run &b) { return a.compareMs < b.compareMs; });
    const Run &m = runs[runs.size() / 2];
    std::printf("%s: compared in %.0f ms (goal <= %.0f ms)%s, %s bytes read, %d differences; whole command %.3f s\n",
                what, m.compareMs, goal, m.compareMs >= 0 && m.compareMs <= goal ? "" : "  MISSED", qPrintable(m.read),
                m.lines, m.seconds);
}

}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    // The uploads append to history.jsonl: keep it, and every setting, out of the user's folders.
    qputenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("config")).toLocal8Bit());
    qputenv("XDG_DATA_HOME", dir.filePath(QStringLiteral("data")).toLocal8Bit());
    PMModel model;
    if (!dir.isValid() || !kelda::bench::buildLargeSetup(model))
        return 1;
    const QString setup = dir.filePath(QStringLiteral("large.kelda"));
    const QString renamed = dir.filePath(QStringLiteral("renamed.kelda"));
    const QString shifted = dir.filePath(QStringLiteral("shifted.kelda"));
    model.setMode(int(Mode::Timers));
    if (!model.saveSetup(setup) || !QFile::copy(setup, renamed) || !model.removeRows(0, 1) || !model.saveSetup(shifted))
        return 1;

    QProcess emulator;
    const QString port = startEmulator(emulator, dir.filePath(QStringLiteral("module.cal")));
    if (port.isEmpty())
        return 1;
    cli({QStringLiteral("upload"), setup}, port);
    report("holds (same name)", {QStringLiteral("verify"), setup, QStringLiteral("--diff")}, port, 1000);
    report("holds (renamed copy)", {QStringLiteral("verify"), renamed, QStringLiteral("--diff")}, port, 1000);
    // One timer fewer: every section after the first moves, so every block differs.
    report("differs everywhere", {QStringLiteral("verify"), shifted, QStringLiteral("--diff")}, port, 5000);
    emulator.terminate();
    emulator.waitForFinished(3000);
    return 0;
}
