// Simulator speed on the largest setup an image holds: one engine tick, and
// one window tick (engine and redraw, offscreen). The window must leave most
// of the 10 ms period free; the engine must run scenario tests at 10,000
// times real time or more, so an hour of vehicle time takes under a second.
#include <QApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QListView>
#include <QTabWidget>
#include <QFile>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include "largesetup.h"
#include "pmmodel.h"
#include "simengine.h"
#include "simeventlog.h"
#include "simtrace.h"
#include "simulator.h"

using namespace kelda;

namespace {

// Inputs that keep the events busy: every "P" held, the other presses
// ticked every few ticks, half of the switches and CAN inputs on. Only the
// boxes that change at a tick are written (the engine unticks the presses
// itself), so that the bench's own share of a tick stays small; the inputs
// are the same as writing every box every tick.
void press(SimInputs &boxes, int tick)
{
    const bool first = tick == 0;
    if (first || tick % 7 == 0)
        for (int r = 0; r < kKeypadKeyCount; ++r)
            boxes.keys[r][0] = (r + tick / 7) % 2 == 0;
    if (tick % 5 == 0)
        for (int r = 0; r < kKeypadKeyCount; ++r)
            boxes.keys[r][1 + (r + tick) % 3] = true;
    if (first || tick % 3 == 0)
        for (int r = 0; r < kSimCapacity; ++r)
            boxes.switches[r] = (r + tick / 3) % 2 == 0;
    if (first || tick % 11 == 0)
        for (int r = 0; r < kSimCapacity; ++r)
            boxes.canInputs[r] = (r + tick / 11) % 2 == 0;
}

// CPU time of this thread: the machine may be shared, and time spent waiting
// for a core is not time the tick costs.
qint64 cpuNs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Where a redraw's time goes: the CPU time of each event the application
// delivers, by receiver class and event type, while `timing` is set. Nested
// events count in their own row and in the outer one.
class TimedApplication : public QApplication
{
public:
    using QApplication::QApplication;
    bool timing = false;
    std::map<std::pair<QByteArray, int>, double> ms;
    std::map<std::pair<QByteArray, int>, long> counts;

    bool notify(QObject *receiver, QEvent *event) override
    {
        if (!timing)
            return QApplication::notify(receiver, event);
        QByteArray name = receiver->metaObject()->className();
        // A view's viewport by its view's name.
        if (receiver->objectName() == QLatin1String("qt_scrollarea_viewport") && receiver->parent())
            name += " of " + receiver->parent()->objectName().toLatin1();
        else if (!receiver->objectName().isEmpty())
            name += " " + receiver->objectName().toLatin1();
        const int type = event->type();
        const qint64 before = cpuNs();
        const bool done = QApplication::notify(receiver, event);
        ms[{name, type}] += double(cpuNs() - before) / 1e6;
        ++counts[{name, type}];
        return done;
    }
    void printTop(int rounds, int count) const
    {
        std::vector<std::pair<double, std::pair<QByteArray, int>>> rows;
        for (const auto &[key, total] : ms)
            rows.push_back({total / rounds, key});
        std::sort(rows.rbegin(), rows.rend());
        for (int i = 0; i < count && i < int(rows.size()); ++i)
            std::printf("    %.3f ms  %s, event %d  [%.1f events]\n", rows[i].first, rows[i].second.first.constData(),
                        rows[i].second.second, double(counts.at(rows[i].second)) / rounds);
    }
};

qint64 processCpuNs()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The event log alone at x1 after a run of many small lines: a setup that
// changes one thing a tick fills the log's 1,000,000 changes with as many
// lines, and the view lays out every line each time it takes new ones in.
void benchLongLog(const QString &image, const SimNames &names, int lines, int seconds)
{
    SimEngine engine;
    engine.readImage(image);
    auto boxes = std::make_unique<SimInputs>();
    SimTrace trace(names);
    auto step = [&] {
        boxes->switches[0] = !boxes->switches[0];
        trace.recordInputs(*boxes, engine);
        engine.tick(*boxes);
        trace.record(engine);
    };
    for (int i = 0; i < lines; ++i)
        step();
    SimEventLog log;
    log.resize(1000, 400);
    log.setTrace(&trace);
    log.show();
    QCoreApplication::processEvents();
    const int before = log.view()->model()->rowCount();
    QTimer ticks;
    ticks.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticks, &QTimer::timeout, [&] {
        step();
        log.sync();
    });
    ticks.start(kSimTickMs);
    QElapsedTimer wall;
    wall.start();
    const qint64 cpu = processCpuNs();
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    const double share = double(processCpuNs() - cpu) / double(wall.nsecsElapsed());
    std::printf("event log alone at x1 after %d lines: %.1f %% of one core  [%d lines taken in over %.1f s, "
                "process CPU time over wall time]\n",
                before, share * 100, log.view()->model()->rowCount() - before, double(wall.nsecsElapsed()) / 1e9);
}

}  // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The window reads its size from the settings: never the user's.
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    TimedApplication app(argc, argv);

    PMModel model;
    if (!bench::buildLargeSetup(model)) {
        std::fprintf(stderr, "bench_sim: the large setup could not be built\n");
        return 1;
    }
    // As built, no event can fire before a timer runs or a state is set, and
    // none is. Made "key OR timer" (join 0 OR, join 1 NONE), the keys drive
    // the events and the timers they start drive the next ones.
    model.setMode(int(Mode::Events));
    for (int e = 0; e < model.rowCount(); ++e) {
        model.setData(model.index(e, 4), QStringLiteral("OR"));
        model.setData(model.index(e, 7), QStringLiteral("NONE"));
    }
    QTemporaryDir dir;
    const QString image = dir.filePath("large.bin");
    if (!model.writeRawImage(image)) {
        std::fprintf(stderr, "bench_sim: compile failed: %s\n", qPrintable(model.imageError()));
        return 1;
    }

    // Engine alone.
    {
        auto engine = std::make_unique<SimEngine>();
        auto boxes = std::make_unique<SimInputs>();
        auto spare = std::make_unique<SimInputs>();
        engine->readImage(image);
        std::printf("large setup: %d events, %d states, %d LX1 outputs, %d timers\n", engine->eventCount(),
                    engine->stateCount(), engine->lx1OutputCount(), engine->timerCount());
        constexpr int kRounds = 20, kTicks = 5000;
        std::vector<double> perTick;
        int tick = 0;
        long setSum = 0;
        for (int round = 0; round < kRounds; ++round) {
            // The clicks are timed alone and taken off, so that the clock is
            // read only twice per round.
            const int first = tick;
            const qint64 t0 = cpuNs();
            for (int i = 0; i < kTicks; ++i, ++tick) {
                press(*boxes, tick);
                engine->tick(*boxes);
            }
            const qint64 t1 = cpuNs();
            for (int i = 0; i < kTicks; ++i)
                press(*spare, first + i);
            const qint64 t2 = cpuNs();
            perTick.push_back(double((t1 - t0) - (t2 - t1)) / kTicks / 1000.0);
            for (int r = 0; r < kSimCapacity; ++r)
                setSum += engine->stateSet(r);
        }
        const double us = median(perTick);
        std::printf("engine tick: %.2f us (goal <= 1 us)  [median of %d rounds of %d ticks, thread CPU time; "
                    "%.0f states set at the end of a round on average]\n",
                    us, kRounds, kTicks, double(setSum) / kRounds);
        std::printf("engine speed: %.0f x real time; an hour of vehicle time in %.2f s (goal >= 10000 x)\n",
                    kSimTickMs * 1000.0 / us, 360000 * us / 1e6);

        // The same with a trace of every change, a new trace per round.
        const SimNames names = simNames(model.session());
        std::vector<double> traced;
        size_t changes = 0;
        QCryptographicHash traceHash(QCryptographicHash::Sha256);
        for (int round = 0; round < kRounds; ++round) {
            SimTrace trace(names);
            const int first = tick;
            const qint64 t0 = cpuNs();
            for (int i = 0; i < kTicks; ++i, ++tick) {
                press(*boxes, tick);
                engine->tick(*boxes);
                trace.record(*engine);
            }
            const qint64 t1 = cpuNs();
            for (int i = 0; i < kTicks; ++i)
                press(*spare, first + i);
            const qint64 t2 = cpuNs();
            traced.push_back(double((t1 - t0) - (t2 - t1)) / kTicks / 1000.0);
            changes += trace.changes().size();
            traceHash.addData(trace.csv());
        }
        std::printf("engine tick with a trace: %.2f us  [median of %d rounds of %d ticks; %.0f changes per tick]\n",
                    median(traced), kRounds, kTicks, double(changes) / kRounds / kTicks);
        // The same inputs give the same trace: compare it before and after a change of the engine.
        std::printf("trace of those rounds: SHA-256 %s\n", traceHash.result().toHex().left(16).constData());

        // At a scenario's pace: the same inputs, changing once a second of
        // vehicle time instead of every few ticks, so that timers run out
        // and the setup settles between changes, as in a scenario test.
        std::vector<double> paced;
        for (int round = 0; round < kRounds; ++round) {
            const qint64 t0 = cpuNs();
            for (int i = 0; i < kTicks; ++i, ++tick) {
                if (tick % 100 == 0)
                    press(*boxes, tick / 100);
                engine->tick(*boxes);
            }
            paced.push_back(double(cpuNs() - t0) / kTicks / 1000.0);
        }
        const double pacedUs = median(paced);
        std::printf("engine tick at a scenario's pace: %.2f us = %.0f x real time  [inputs change once a second]\n",
                    pacedUs, kSimTickMs * 1000.0 / pacedUs);
    }

    // --engine: the engine alone, for profiling it.
    if (app.arguments().contains(QStringLiteral("--engine")))
        return 0;

    // Window: engine plus redraw, as the 10 ms timer does it.
    {
        auto *sim = new Simulator();
        sim->setAttribute(Qt::WA_DeleteOnClose, false);
        if (!model.writeRawImage(sim->imageFileName())) {
            std::fprintf(stderr, "bench_sim: compile failed: %s\n", qPrintable(model.imageError()));
            return 1;
        }
        sim->start(model.session());
        sim->tickTimer()->stop();
        sim->show();
        QTableWidget *keys = sim->findChild<QTableWidget *>(QStringLiteral("keyPadTableWidget"));
        QTableWidget *switches = sim->findChild<QTableWidget *>(QStringLiteral("switchTableWidget"));
        QTableWidget *cans = sim->findChild<QTableWidget *>(QStringLiteral("CANInpTableWidget"));
        auto tickBoxes = [&](int tick) {
            for (int r = 0; r < keys->rowCount(); ++r) {
                keys->item(r, 1)->setCheckState((r + tick / 7) % 2 == 0 ? Qt::Checked : Qt::Unchecked);
                if (tick % 5 == 0)
                    keys->item(r, 2 + (r + tick) % 3)->setCheckState(Qt::Checked);
            }
            if (tick % 3 == 0)
                for (int r = 0; r < switches->rowCount(); ++r)
                    switches->item(r, 1)->setCheckState((r + tick / 3) % 2 == 0 ? Qt::Checked : Qt::Unchecked);
            if (tick % 11 == 0)
                for (int r = 0; r < cans->rowCount(); ++r)
                    cans->item(r, 1)->setCheckState((r + tick / 11) % 2 == 0 ? Qt::Checked : Qt::Unchecked);
        };
        // The drawn cells' texts and colours, compared between ticks outside
        // the timing: the cells a tick changed.
        std::vector<QTableWidget *> drawn;
        for (const char *name :
             {"stateTableWidget", "timerTableWidget", "outputTableWidget", "LEDTableWidget", "LX1TableWidget"})
            drawn.push_back(sim->findChild<QTableWidget *>(QLatin1String(name)));
        auto snapshot = [&drawn] {
            std::vector<QString> cells;
            for (QTableWidget *t : drawn)
                for (int r = 0; r < t->rowCount(); ++r)
                    for (int c = t->columnCount() == 8 ? 0 : 1; c < t->columnCount(); ++c)
                        if (const QTableWidgetItem *item = t->item(r, c))
                            cells.push_back(item->text() + item->background().color().name()
                                            + QString::number(item->flags()));
            return cells;
        };
        auto differ = [](const std::vector<QString> &a, const std::vector<QString> &b) {
            long n = 0;
            for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
                n += a[i] != b[i];
            return n;
        };
        // BENCH_VIEW=n runs only the real run with view n in front, for
        // BENCH_VIEW_SECONDS (3): a profile of one view.
        const bool oneView = qEnvironmentVariableIsSet("BENCH_VIEW");
        const int viewSeconds = qEnvironmentVariableIntValue("BENCH_VIEW_SECONDS") > 0
            ? qEnvironmentVariableIntValue("BENCH_VIEW_SECONDS")
            : 3;
        long changed = 0;
        // BENCH_TICKS: how many ordinary ticks are timed (1000; 0 for a profile of the rest).
        const int kTicks = oneView                     ? 0
            : qEnvironmentVariableIsSet("BENCH_TICKS") ? qEnvironmentVariableIntValue("BENCH_TICKS")
                                                       : 1000;
        std::vector<double> ms;
        ms.reserve(kTicks);
        double worst = 0;
        for (int tick = 0; tick < kTicks; ++tick) {
            tickBoxes(tick);  // the user's clicks: not part of a tick
            QCoreApplication::processEvents();
            const std::vector<QString> was = snapshot();
            const qint64 before = cpuNs();
            sim->Update();
            QCoreApplication::processEvents();  // the views repaint what changed
            const double d = double(cpuNs() - before) / 1e6;
            ms.push_back(d);
            worst = std::max(worst, d);
            changed += differ(was, snapshot());
        }
        if (kTicks > 0)
            std::printf("window tick: %.3f ms (goal <= 1 ms)  [median of %d ticks, engine + redraw + repaint, "
                        "thread CPU time; slowest %.3f ms; %.0f cell changes per tick on average]\n",
                        median(ms), kTicks, worst, double(changed) / kTicks);

        // The first tick after a start draws every cell of the output tables:
        // the cost of a redraw that replaces everything.
        std::vector<double> full, fullUpdate;
        const int fullRounds = qEnvironmentVariableIntValue("BENCH_FULL_ROUNDS") > 0
            ? qEnvironmentVariableIntValue("BENCH_FULL_ROUNDS")
            : 20;
        for (int i = 0; i < (oneView ? 0 : fullRounds); ++i) {
            sim->start(model.session());
            sim->tickTimer()->stop();
            // The start's own relayout and repaint (a new panel) settle first:
            // what is timed is the redraw of every cell.
            for (int settle = 0; settle < 3; ++settle)
                QCoreApplication::processEvents();
            const std::vector<QString> was = snapshot();
            const qint64 before = cpuNs();
            sim->Update();
            const qint64 mid = cpuNs();
            app.timing = true;
            QCoreApplication::processEvents();
            app.timing = false;
            full.push_back(double(cpuNs() - before) / 1e6);
            fullUpdate.push_back(double(mid - before) / 1e6);
            changed = differ(was, snapshot());
        }
        if (!oneView) {
            std::printf("window tick, every cell redrawn: %.3f ms (goal <= 1 ms)  [median of %zu first ticks; "
                        "%ld cells; %.3f ms of it in Update, the rest repaint]\n",
                        median(full), full.size(), changed, median(fullUpdate));
            std::printf("  the repaint after it, by event (mean per redraw; 12 = paint, 76 = layout request):\n");
            app.printTop(fullRounds, 8);
        }
        // A real run at x1 with each view in front, the user flicking inputs
        // every 100 ms: the process's CPU time over the wall time.
        auto *views = sim->findChild<QTabWidget *>(QStringLiteral("simViews"));
        sim->start(model.session());
        int flick = 0;
        QTimer user;
        QObject::connect(&user, &QTimer::timeout, [&] { tickBoxes(flick += 10); });
        user.start(100);
        auto runFor = [](int seconds) {
            QEventLoop loop;
            QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
            loop.exec();
        };
        for (int tab = 0; tab < 3; ++tab) {
            if (oneView && tab != qEnvironmentVariableIntValue("BENCH_VIEW"))
                continue;
            views->setCurrentIndex(tab);
            QCoreApplication::processEvents();
            const qint64 ticks = sim->engine().tickCount();
            QElapsedTimer wall;
            wall.start();
            const qint64 cpu = processCpuNs();
            runFor(viewSeconds);
            const double share = double(processCpuNs() - cpu) / double(wall.nsecsElapsed());
            std::printf("window at x1 with the %s in front: %.1f %% of one core (goal <= 10 %%)  [%lld ticks in "
                        "%.1f s of a real run, process CPU time over wall time, inputs flicked every 100 ms]\n",
                        qPrintable(views->tabText(tab).remove(QLatin1Char('&'))), share * 100,
                        sim->engine().tickCount() - ticks, double(wall.nsecsElapsed()) / 1e9);
            // Timing every event costs time itself: the breakdown comes
            // from a second run, not the one measured above.
            app.ms.clear();
            app.counts.clear();
            app.timing = true;
            runFor(viewSeconds);
            app.timing = false;
            std::printf("  by event in a second run timed event by event, ms per second (1 = timer, 12 = paint, "
                        "77 = update request):\n");
            app.printTop(viewSeconds, 8);
        }
        delete sim;
    }
    // BENCH_LONG_LOG=N: the event log alone after N one-change lines (300000 when unset; 0: not run).
    const int longLog =
        qEnvironmentVariableIsSet("BENCH_LONG_LOG") ? qEnvironmentVariableIntValue("BENCH_LONG_LOG") : 300000;
    if (longLog > 0 && !qEnvironmentVariableIsSet("BENCH_VIEW"))
        benchLongLog(image, simNames(model.session()), longLog, 3);
    return 0;
}
