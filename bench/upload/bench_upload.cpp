// Uploads the large setup with kelda-cli to lx2-emulator pacing at 38400 baud:
// a full upload into an empty module, compared with what the payload alone
// needs on the line, and re-uploads after one changed cell, compared with the
// full upload. Each figure is the median of five runs; the re-upload's parts
// are what kelda-cli logs (the comparison for the summary, the bytes sent)
// and the requests the emulator counted (--stats).
//
// bench_upload [OTHER-KELDA-CLI]: the re-uploads also with another build of
// kelda-cli, the two in turn, so that both see the same load.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
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
constexpr int kNameSize = 8;  // the LX2's calibration name field
constexpr int kRuns = 5;
constexpr double kFullGoal = 1.05;  // x the payload's line time
constexpr double kDeltaGoal = 0.15;  // x the full upload

struct Run {
    double seconds = -1;
    QString sent;  // the log line that says what crossed the line
    double compareMs = -1;  // the summary's comparison, as logged
    QString requests;  // the emulator's count of this upload's requests
};

class Emulator
{
public:
    bool start(const QString &calFile)
    {
        stop();
        process_.start(QStringLiteral(KELDA_EMULATOR),
                       {QStringLiteral("--baud"), QString::number(kBaud), QStringLiteral("--cal-file"), calFile,
                        QStringLiteral("--stats")});
        if (!process_.waitForStarted() || !process_.waitForReadyRead(5000))
            return false;
        port_ = QString::fromLocal8Bit(process_.readLine()).trimmed();
        return !port_.isEmpty();
    }
    void stop()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.terminate();
            process_.waitForFinished(3000);
        }
    }
    ~Emulator() { stop(); }
    QString port() const { return port_; }
    // The --stats line of the next COMMIT: "WRITE 1, data 1, SUMS 1, READ 1".
    QString takeRequests()
    {
        QString line;
        while (line.isEmpty() && (process_.canReadLine() || process_.waitForReadyRead(2000))) {
            const QString next = QString::fromLocal8Bit(process_.readLine()).trimmed();
            // Its "received" and "sent" count from the start: left out.
            if (next.startsWith(QLatin1String("stats: COMMIT")))
                line = next.mid(next.indexOf(QLatin1Char(';')) + 2).section(QStringLiteral(", received"), 0, 0);
        }
        return line;
    }

private:
    QProcess process_;
    QString port_;
};

Run upload(const QString &program, const QString &setup, const QString &port)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("CORLA_EXTRA_PORTS"), port);
    env.insert(QStringLiteral("CORLA_NO_SYSTEM_PORTS"), QStringLiteral("1"));
    env.insert(QStringLiteral("CORLA_RUNE_PATH"), QStringLiteral(KELDA_RUNES));
    QProcess cli;
    cli.setProcessEnvironment(env);
    QElapsedTimer timer;
    timer.start();
    cli.start(program, {QStringLiteral("upload"), setup, QStringLiteral("--port"), port});
    cli.waitForFinished(600000);
    Run run;
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (cli.exitStatus() != QProcess::NormalExit || cli.exitCode() != 0) {
        std::fprintf(stderr, "upload failed:\n%s", cli.readAllStandardError().constData());
        return run;
    }
    run.seconds = seconds;
    const QStringList lines = QString::fromUtf8(cli.readAllStandardOutput()).split(QLatin1Char('\n'));
    static const QRegularExpression compared(QStringLiteral("^Compared by content in (\\d+) ms"));
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("Sent ")) || line.contains(QLatin1String("already holds")))
            run.sent = line;
        if (const auto m = compared.match(line); m.hasMatch())
            run.compareMs = m.captured(1).toDouble();
    }
    return run;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

QString loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()).section(QLatin1Char(' '), 0, 2)
                                          : QStringLiteral("not known");
}

bool saveVariant(PMModel &model, const QString &path, int variant)
{
    // One cell: the time of timer 100.
    model.setMode(int(Mode::Timers));
    model.setData(model.index(99, 1), variant ? 1.25 : 0.5);
    return model.saveSetup(path);
}

}  // namespace

// The module holds variant 0 of the setup; each re-upload changes the one
// cell back and forth, with each program in turn.
bool reuploads(PMModel &model, const QString &setup, Emulator &emulator, const QStringList &programs, double fullTime)
{
    std::vector<std::vector<Run>> runs(programs.size());
    int variant = 0;
    for (int i = 0; i < kRuns; ++i) {
        for (qsizetype p = 0; p < programs.size(); ++p) {
            variant = 1 - variant;
            if (!saveVariant(model, setup, variant)) {
                std::fprintf(stderr, "cannot save the changed setup\n");
                return false;
            }
            Run run = upload(programs[p], setup, emulator.port());
            if (run.seconds < 0)
                return false;
            run.requests = emulator.takeRequests();
            runs[p].push_back(run);
        }
    }
    for (qsizetype p = 0; p < programs.size(); ++p) {
        std::vector<double> seconds, compareMs;
        for (const Run &run : runs[p]) {
            seconds.push_back(run.seconds);
            compareMs.push_back(run.compareMs);
        }
        const double time = median(seconds);
        if (programs.size() > 1)
            std::printf("%s:\n", qPrintable(programs[p]));
        std::printf("re-upload after one changed cell: %.3f s = %.1f %% of the full upload (goal <= %.0f %%)%s\n", time,
                    100 * time / fullTime, 100 * kDeltaGoal, time / fullTime <= kDeltaGoal ? "" : "  MISSED");
        std::printf("  the summary's comparison: %.0f ms\n", median(compareMs));
        std::printf("  %s\n", qPrintable(runs[p].back().sent));
        std::printf("  requests (emulator): %s\n", qPrintable(runs[p].back().requests));
    }
    return true;
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    // The uploads append to history.jsonl: keep it, and every setting, out of the user's folders.
    qputenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("config")).toLocal8Bit());
    qputenv("XDG_DATA_HOME", dir.filePath(QStringLiteral("data")).toLocal8Bit());
    if (!dir.isValid())
        return 1;
    QStringList programs{QStringLiteral(KELDA_CLI)};
    if (argc > 1)
        programs << QString::fromLocal8Bit(argv[1]);
    std::printf("load average before: %s\n", qPrintable(loadAverage()));

    PMModel model;
    if (!kelda::bench::buildLargeSetup(model)) {
        std::fprintf(stderr, "cannot build the large setup\n");
        return 1;
    }
    // Same file name for every variant: the name field stays the same.
    const QString setup = dir.filePath(QStringLiteral("large.kelda"));
    const QString image = dir.filePath(QStringLiteral("large.bin"));
    if (!saveVariant(model, setup, 0) || !model.writeRawImage(image)) {
        std::fprintf(stderr, "cannot save or compile the large setup\n");
        return 1;
    }
    const qint64 payload = QFileInfo(image).size() + kNameSize;
    const double lineTime = payload * 10.0 / kBaud;
    std::printf("payload: %lld bytes (image %lld + name %d); line time at %d baud: %.3f s\n",
                static_cast<long long>(payload), static_cast<long long>(payload - kNameSize), kNameSize, kBaud,
                lineTime);

    // What every run pays before the line is used: start, open, compile.
    {
        QElapsedTimer timer;
        timer.start();
        QProcess cli;
        cli.start(QStringLiteral(KELDA_CLI),
                  {QStringLiteral("compile"), setup, QStringLiteral("-o"), dir.filePath(QStringLiteral("cli.bin"))});
        cli.waitForFinished(60000);
        std::printf("kelda-cli compile alone (start, open, compile): %.3f s\n", timer.nsecsElapsed() / 1e9);
    }

    // Full uploads, each into an empty module.
    Emulator emulator;
    std::vector<double> full;
    QString fullSent, fullRequests;
    for (int i = 0; i < kRuns; ++i) {
        const QString cal = dir.filePath(QStringLiteral("empty%1.cal").arg(i));
        if (!emulator.start(cal)) {
            std::fprintf(stderr, "cannot start lx2-emulator\n");
            return 1;
        }
        const Run run = upload(programs[0], setup, emulator.port());
        if (run.seconds < 0)
            return 1;
        full.push_back(run.seconds);
        fullSent = run.sent;
        fullRequests = emulator.takeRequests();
    }
    const double fullTime = median(full);
    std::printf("full upload (kelda-cli: open, compile, connect, upload): %.3f s = %.3f x line time (goal <= %.2f)%s\n",
                fullTime, fullTime / lineTime, kFullGoal, fullTime / lineTime <= kFullGoal ? "" : "  MISSED");
    std::printf("  %s\n", qPrintable(fullSent));
    std::printf("  requests (emulator): %s\n", qPrintable(fullRequests));

    if (!reuploads(model, setup, emulator, programs, fullTime))
        return 1;
    std::printf("load average after: %s\n", qPrintable(loadAverage()));
    return 0;
}
