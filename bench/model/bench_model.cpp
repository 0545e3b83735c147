// Saves, opens and repaints (reads every cell of every table once) the largest
// setup, and prints each figure with its goal. Median of several runs.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <functional>
#include <vector>

#include "largesetup.h"
#include "pmmodel.h"
#include "setupview.h"

namespace {

double cpuMs()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// Median wall time of the runs; the median CPU time goes to *cpu. The machine
// may be shared, and saving waits for the disk (fsync), so both are shown.
double medianMs(int runs, const std::function<void()> &work, double *cpu = nullptr)
{
    std::vector<double> t, c;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        const double c0 = cpuMs();
        timer.start();
        work();
        t.push_back(timer.nsecsElapsed() / 1e6);
        c.push_back(cpuMs() - c0);
    }
    std::sort(t.begin(), t.end());
    std::sort(c.begin(), c.end());
    if (cpu)
        *cpu = c[c.size() / 2];
    return t[t.size() / 2];
}

// One full repaint of the current table: every cell's display value.
int readAllCells(const PMModel &m)
{
    int n = 0;
    const int rows = m.rowCount();
    const int cols = m.columnCount();
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c)
            n += m.data(m.index(r, c)).isValid() ? 1 : 0;
    return n;
}

long residentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return 0;
}

const char *const kModeNames[] = {"Keypad", "Switches",    "CAN Inputs", "Timers",      "Events",
                                  "States", "LX1 Outputs", "LX2 LEDs",   "CAN Outputs", "PWM"};

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // bench_model [RUNS]: fewer runs for profiling under callgrind.
    const int runs = argc > 1 ? qMax(1, QByteArray(argv[1]).toInt()) : 21;
    QTemporaryDir dir;  // the system temp folder; on this machine a disk
    const QString path = dir.filePath("large.kelda");

    PMModel model;
    QElapsedTimer build;
    build.start();
    if (!kelda::bench::buildLargeSetup(model)) {
        std::fprintf(stderr, "bench_model: could not build the large setup\n");
        return 1;
    }
    std::printf("build large setup: %.1f ms (no goal)\n", build.nsecsElapsed() / 1e6);

    bool ok = true;
    double saveCpu = 0, openCpu = 0, shmCpu = 0;
    const double save = medianMs(
        runs, [&] { ok = model.saveSetup(path) && ok; }, &saveCpu);
    const double open = medianMs(
        runs, [&] { ok = model.openSetup(path) && ok; }, &openCpu);
    // The same save into memory (tmpfs): its fsyncs return at once, so the
    // difference to the figure above is what the disk sync costs.
    double shmSave = -1;
    QTemporaryDir shm(QStringLiteral("/dev/shm/bench_model-XXXXXX"));
    if (shm.isValid()) {
        const QString shmPath = shm.filePath("large.kelda");
        shmSave = medianMs(
            runs, [&] { ok = model.saveSetup(shmPath) && ok; }, &shmCpu);
    }
    if (!ok) {
        std::fprintf(stderr, "bench_model: %s\n", qPrintable(model.lastError()));
        return 1;
    }
    std::printf("save: %.2f ms wall, cpu %.2f ms (goal <= 5 ms cpu; wall includes the fsyncs of file and folder)\n",
                save, saveCpu);
    if (shmSave >= 0)
        std::printf("save to tmpfs (/dev/shm, no disk sync): %.2f ms wall, cpu %.2f ms (goal <= 5 ms)\n", shmSave,
                    shmCpu);
    else
        std::printf("save to tmpfs: not measured (/dev/shm not available)\n");
    std::printf("disk sync share of save: %.2f ms\n", shmSave >= 0 ? save - shmSave : 0.0);
    std::printf("open: %.2f ms wall (goal <= 5 ms), cpu %.2f ms\n", open, openCpu);

    for (int mode = 0; mode < 10; ++mode) {
        model.setMode(mode);
        int cells = 0;
        const double t = medianMs(runs, [&] { cells = readAllCells(model); });
        if (mode == int(Mode::Events))
            std::printf("all cells of %s (%d): %.2f ms (goal <= 5 ms)\n", kModeNames[mode], cells, t);
        else
            std::printf("all cells of %s (%d): %.2f ms\n", kModeNames[mode], cells, t);
    }

    // The read model of the whole setup, as findUses reads it per call.
    double viewCpu = 0;
    int events = 0;
    const double view = medianMs(
        runs, [&] { events = int(kelda::SetupView::read(model.session()).events.size()); }, &viewCpu);
    std::printf("read the setup view (%d events): %.2f ms wall, cpu %.2f ms (no goal)\n", events, view, viewCpu);

    // A rename of a timer (references rewritten) without and with the undo
    // history, which keeps the whole setup compressed once per change; then
    // one undo, which opens such a copy.
    model.setMode(int(Mode::Timers));
    int n = 0;
    const auto rename = [&] { model.setData(model.index(0, 0), QStringLiteral("Bench %1").arg(n++)); };
    double plainCpu = 0, recordedCpu = 0, undoCpu = 0;
    const double plain = medianMs(runs, rename, &plainCpu);
    kelda::SetupStep last;
    QObject::connect(&model, &PMModel::changeRecorded, [&last](const kelda::SetupStep &step) { last = step; });
    model.setRecording(true);
    const double recorded = medianMs(runs, rename, &recordedCpu);
    const double undo = medianMs(
        runs, [&] { model.restoreSnapshot(last.before); }, &undoCpu);
    std::printf("rename: %.2f ms wall, cpu %.2f ms; recorded for undo: %.2f ms wall, cpu %.2f ms (goal <= 5 ms); "
                "undo: %.2f ms wall, cpu %.2f ms (goal <= 5 ms)\n",
                plain, plainCpu, recorded, recordedCpu, undo, undoCpu);
    // Where an undo's time goes: unpacking the recorded bytes, opening them.
    double unpackCpu = 0, openImageCpu = 0;
    QByteArray image;
    medianMs(
        runs, [&] { image = qUncompress(*last.before); }, &unpackCpu);
    medianMs(
        runs, [&] { ok = kelda::UniqueSession::openImage(image).isOpen() && ok; }, &openImageCpu);
    std::printf("undo parts: unpack %.2f ms cpu (%.0f kB), open %.2f ms cpu\n", unpackCpu, image.size() / 1024.0,
                openImageCpu);
    // What a history of 100 such changes holds in memory.
    std::vector<kelda::SetupStep> history;
    QObject::connect(&model, &PMModel::changeRecorded,
                     [&history](const kelda::SetupStep &step) { history.push_back(step); });
#ifdef __GLIBC__
    // Freed trees leave their memory with the allocator, where the history's
    // copies would reuse it unseen: give it back first, so that the growth is
    // what the history holds.
    malloc_trim(0);
#endif
    const long before = residentKb();
    for (int i = 0; i < 100; ++i)
        rename();
    std::printf("history of 100 renames: %.1f MB resident (goal <= 10 MB)\n", (residentKb() - before) / 1024.0);
    std::printf("one recorded setup: %.1f kB compressed\n",
                history.empty() ? 0.0 : history.back().after->size() / 1024.0);
    return 0;
}
