// Replay speed: a one-hour log at 2,000 frames/s (7.2 M frames, argument 1
// sets another count) on the largest setup, run headless as kelda-cli
// simulate --can-in runs it. Goal: 10 s or less. The log, written with the
// candump writer into a temporary folder, carries the setup's fifteen
// receive identifiers with random data, a tenth of it extended frames.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <time.h>

#include <cstdio>
#include <cstdlib>

#include "canlog.h"
#include "largesetup.h"
#include "pmmodel.h"
#include "simscenario.h"

using namespace kelda;

namespace {

qint64 cpuNs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool writeLog(const QString &path, qint64 count)
{
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    canlog::CandumpWriter writer(&out);
    QRandomGenerator rng(29);
    canlog::Frame f;
    f.channel = QByteArrayLiteral("can0");
    for (qint64 i = 0; i < count; ++i) {
        f.timeNs = 1700000000LL * 1000000000 + i * 500000;  // 2,000 frames/s
        f.extended = rng.bounded(10) == 0;
        f.id = f.extended ? rng.bounded(0x20000000) : 0x100 + rng.bounded(15);
        f.length = 8;
        for (int k = 0; k < 8; ++k)
            f.data[k] = uint8_t(rng.bounded(256));
        if (!writer.write(f))
            return false;
    }
    return true;
}

// As built, no event can fire before a timer runs or a state is set. Made
// "CAN input OR timer", the frames drive the events.
bool driveFromFrames(PMModel &model)
{
    model.setMode(int(Mode::Events));
    for (int e = 0; e < model.rowCount(); ++e) {
        if (!model.setEventInput(e, 0, bench::largeName("CI: CAN Input ", e + 1)))
            return false;
        model.setData(model.index(e, 4), QStringLiteral("OR"));
        model.setData(model.index(e, 7), QStringLiteral("NONE"));
    }
    return true;
}

}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const qint64 count = argc > 1 ? std::atoll(argv[1]) : 7200000;
    QTemporaryDir dir;
    const QString setup = dir.filePath(QStringLiteral("large.kelda"));
    const QString log = dir.filePath(QStringLiteral("hour.log"));
    PMModel model;
    if (!bench::buildLargeSetup(model) || !driveFromFrames(model) || !model.saveSetup(setup) || !writeLog(log, count)) {
        std::fprintf(stderr, "bench_simreplay: the setup or the log could not be written\n");
        return 1;
    }
    SimScenario scenario;
    QString what, why;
    if (!scenario.open(setup, &what, &why)) {
        std::fprintf(stderr, "bench_simreplay: %s: %s\n", qPrintable(what), qPrintable(why));
        return 1;
    }
    SimCanOptions can;
    can.canIn = log;
    qint64 notes = 0;
    can.note = [&notes](const QString &) { ++notes; };
    SimLimits limits;
    QElapsedTimer wall;
    wall.start();
    const qint64 cpu0 = cpuNs();
    const SimOutcome outcome = scenario.run({}, nullptr, nullptr, limits, can);
    const double cpu = double(cpuNs() - cpu0) / 1e9;
    const double seconds = double(wall.nsecsElapsed()) / 1e9;
    std::printf("replay of %lld frames (%.0f MB, %.1f s of traffic) on the large setup: %.2f s wall, %.2f s CPU "
                "(goal <= 10 s); %lld ticks, %.0f frames/s; %lld notes%s\n",
                static_cast<long long>(count), double(QFile(log).size()) / 1e6, double(count) / 2000.0, seconds, cpu,
                static_cast<long long>(outcome.ticks), double(count) / seconds, static_cast<long long>(notes),
                outcome.stopped.isEmpty() ? "" : qPrintable(QStringLiteral("; ") + outcome.stopped));
    return outcome.stopped.isEmpty() ? 0 : 1;
}
