// Uploads the large setup with kelda-cli to lx2-emulator pacing at 38400 baud:
// a full upload into an empty module, compared with what the payload alone
// needs on the line, and re-uploads after one changed cell, compared with the
// full upload. Each figure is the median of three runs.
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
constexpr int kRuns = 3;
constexpr double kFullGoal = 1.05;  // x the payload's line time
constexpr double kDeltaGoal = 0.15;  // x the full upload

struct Run {
    double seconds = -1;
    QString sent;  // the log line that says what crossed the line
};

class Emulator
{
public:
    bool start(const QString &calFile)
    {
        stop();
        process_.start(QStringLiteral(KELDA_EMULATOR),
                       {QStringLiteral("--baud"), QString::number(kBaud), QStringLiteral("--cal-file"), calFile});
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

private:
    QProcess process_;
    QString port_;
};

Run upload(const QString &setup, const QString &port)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("CORLA_EXTRA_PORTS"), port);
    env.insert(QStringLiteral("CORLA_NO_SYSTEM_PORTS"), QStringLiteral("1"));
    env.insert(QStringLiteral("CORLA_RUNE_PATH"), QStringLiteral(KELDA_RUNES));
    QProcess cli;
    cli.setProcessEnvironment(env);
    QElapsedTimer timer;
    timer.start();
    cli.start(QStringLiteral(KELDA_CLI), {QStringLiteral("upload"), setup, QStringLiteral("--port"), port});
    cli.waitForFinished(600000);
    Run run;
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (cli.exitStatus() != QProcess::NormalExit || cli.exitCode() != 0) {
        std::fprintf(stderr, "upload failed:\n%s", cli.readAllStandardError().constData());
        return run;
    }
    run.seconds = seconds;
    const QStringList lines = QString::fromUtf8(cli.readAllStandardOutput()).split(QLatin1Char('\n'));
    for (const QString &line : lines)
        if (line.startsWith(QLatin1String("Sent ")) || line.contains(QLatin1String("already holds")))
            run.sent = line;
    return run;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

bool saveVariant(PMModel &model, const QString &path, int variant)
{
    // One cell: the time of timer 100.
    model.setMode(int(Mode::Timers));
    model.setData(model.index(99, 1), variant ? 1.25 : 0.5);
    return model.saveSetup(path);
}

}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    // The uploads append to history.jsonl: keep it, and every setting, out of the user's folders.
    qputenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("config")).toLocal8Bit());
    qputenv("XDG_DATA_HOME", dir.filePath(QStringLiteral("data")).toLocal8Bit());
    if (!dir.isValid())
        return 1;

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
    QString fullSent;
    for (int i = 0; i < kRuns; ++i) {
        const QString cal = dir.filePath(QStringLiteral("empty%1.cal").arg(i));
        if (!emulator.start(cal)) {
            std::fprintf(stderr, "cannot start lx2-emulator\n");
            return 1;
        }
        const Run run = upload(setup, emulator.port());
        if (run.seconds < 0)
            return 1;
        full.push_back(run.seconds);
        fullSent = run.sent;
    }
    const double fullTime = median(full);
    std::printf("full upload (kelda-cli: open, compile, connect, upload): %.3f s = %.3f x line time (goal <= %.2f)%s\n",
                fullTime, fullTime / lineTime, kFullGoal, fullTime / lineTime <= kFullGoal ? "" : "  MISSED");
    std::printf("  %s\n", qPrintable(fullSent));

    // The module holds variant 0; each re-upload changes the one cell back and forth.
    std::vector<double> delta;
    QString deltaSent;
    for (int i = 0; i < kRuns; ++i) {
        if (!saveVariant(model, setup, (i + 1) % 2)) {
            std::fprintf(stderr, "cannot save the changed setup\n");
            return 1;
        }
        const Run run = upload(setup, emulator.port());
        if (run.seconds < 0)
            return 1;
        delta.push_back(run.seconds);
        deltaSent = run.sent;
    }
    const double deltaTime = median(delta);
    std::printf("re-upload after one changed cell: %.3f s = %.1f %% of the full upload (goal <= %.0f %%)%s\n",
                deltaTime, 100 * deltaTime / fullTime, 100 * kDeltaGoal,
                deltaTime / fullTime <= kDeltaGoal ? "" : "  MISSED");
    std::printf("  %s\n", qPrintable(deltaSent));
    return 0;
}
