// Simulator speed on the largest setup an image holds: one engine tick, and
// one window tick (engine and redraw, offscreen). Both must leave most of the
// 10 ms period free.
#include <QApplication>
#include <QElapsedTimer>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "largesetup.h"
#include "pmmodel.h"
#include "simengine.h"
#include "simulator.h"

using namespace kelda;

namespace {

// Inputs that keep the events busy: every "P" held, the other presses
// ticked every few ticks, half of the switches and CAN inputs on.
void press(SimInputs &boxes, int tick)
{
    for (int r = 0; r < kKeypadKeyCount; ++r) {
        boxes.keys[r][0] = (r + tick / 7) % 2 == 0;
        boxes.keys[r][1 + (r + tick) % 3] = tick % 5 == 0;
    }
    for (int r = 0; r < kSimCapacity; ++r) {
        boxes.switches[r] = (r + tick / 3) % 2 == 0;
        boxes.canInputs[r] = (r + tick / 11) % 2 == 0;
    }
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    PMModel model;
    if (!bench::buildLargeSetup(model)) {
        std::fprintf(stderr, "bench_sim: the large setup could not be built\n");
        return 1;
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
        engine->loadTimers(model.session());
        engine->readImage(image);
        std::printf("large setup: %d events, %d states, %d LX1 outputs, %d timers\n", engine->eventCount(),
                    engine->stateCount(), engine->lx1OutputCount(), engine->timerCount());
        constexpr int kRounds = 20, kTicks = 5000;
        std::vector<double> perTick;
        int tick = 0;
        for (int round = 0; round < kRounds; ++round) {
            QElapsedTimer t;
            t.start();
            for (int i = 0; i < kTicks; ++i, ++tick) {
                press(*boxes, tick);
                engine->tick(*boxes);
            }
            perTick.push_back(double(t.nsecsElapsed()) / kTicks / 1000.0);
        }
        int set = 0;
        for (int r = 0; r < kSimCapacity; ++r)
            set += engine->stateSet(r);
        std::printf("engine tick: %.2f us (goal <= 10 us)  [median of %d x %d ticks; %d states set at the end]\n",
                    median(perTick), kRounds, kTicks, set);
    }

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
        constexpr int kTicks = 1000;
        std::vector<double> ms;
        ms.reserve(kTicks);
        double worst = 0;
        for (int tick = 0; tick < kTicks; ++tick) {
            tickBoxes(tick);  // the user's clicks: not part of a tick
            QElapsedTimer t;
            t.start();
            sim->Update();
            QCoreApplication::processEvents();  // the views repaint what changed
            const double d = double(t.nsecsElapsed()) / 1e6;
            ms.push_back(d);
            worst = std::max(worst, d);
        }
        std::printf("window tick: %.3f ms (goal <= 1 ms)  [median of %d ticks, engine + redraw + repaint; "
                    "slowest %.3f ms]\n",
                    median(ms), kTicks, worst);
        delete sim;
    }
    return 0;
}
