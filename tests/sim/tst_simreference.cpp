// The engine, written for speed, against the engine's rules written the
// plain way, on the largest setup an image holds: a long run of random
// inputs must give the same states, causes, timers and outputs on every tick.
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <memory>
#include <vector>

#include "largesetup.h"
#include "pmmodel.h"
#include "simengine.h"
#include "tst_sim.h"

using namespace kelda;

namespace {

// Reads its events, states and run times from the engine's accessors (the
// image reader is tested on its own) and evaluates them as the rules say.
struct PlainEngine {
    const SimEngine &image;
    std::array<bool, kSimCapacity> states{}, before{};
    std::array<int, kSimCapacity> writer{}, cause{};
    std::array<qint64, kSimCapacity> changedAt{};
    std::array<int, kSimCapacity> timers{};
    qint64 tick = 0;

    bool value(const SimInput &i, const SimInputs &in) const
    {
        if (i.number == 0)
            return false;
        const int n = i.number - 1;
        switch (i.kind) {
        case 1:
            return i.condition >= 1 && i.condition <= 4 && in.keys[n][i.condition - 1];
        case 2:
            return (timers[n] > 0) != (i.condition == 6);
        case 3:
            return in.canInputs[n];
        case 4:
            return before[n] != (i.condition == 8);
        case 5:
            return in.switches[n] != (i.condition == 10);
        }
        return false;
    }
    void run(const SimInputs &in)
    {
        ++tick;
        before = states;
        for (int t = 0; t < image.timerCount(); ++t)
            timers[t] = timers[t] > 2 ? timers[t] - 2 : 0;
        for (int e = 0; e < image.eventCount(); ++e) {
            const SimEvent &ev = image.event(e);
            bool r = value(ev.inputs[0], in);
            for (int k = 1; k < 3 && ev.inputs[k - 1].join != 0; ++k)
                r = ev.inputs[k - 1].join == 1 ? r && value(ev.inputs[k], in) : r || value(ev.inputs[k], in);
            if (!r)
                continue;
            for (int list = 0; list < 4; ++list)
                for (int i = 0; i < ev.lists[list].count; ++i) {
                    const int n = ev.lists[list].items[i];
                    if (n == 0)
                        continue;
                    if (list < 2) {
                        states[n - 1] = list == 0;
                        writer[n - 1] = e + 1;
                    } else {
                        timers[n - 1] = list == 2 ? image.timerResetValue(n - 1) : 0;
                    }
                }
        }
        for (int s = 0; s < kSimCapacity; ++s)
            if (states[s] != before[s]) {
                cause[s] = writer[s];
                changedAt[s] = tick;
            }
    }
    // Everything a tick shows, as one list of numbers.
    std::vector<qint64> picture() const
    {
        std::vector<qint64> out;
        uint32_t leds = 0;
        std::array<bool, kSimCapacity> lx1{}, can{};
        uint64_t grid = 0;
        for (int s = 0; s < image.stateCount(); ++s) {
            if (!states[s])
                continue;
            const SimState &st = image.stateRecord(s);
            leds |= st.ledMask;
            for (int i = 0; i < st.lx1Outputs.count; ++i)
                if (const int n = st.lx1Outputs.items[i]; n != 0) {
                    lx1[n - 1] = true;
                    for (int m = 0; n - 1 < image.lx1OutputCount() && m < kLx1ModuleCount; ++m)
                        grid |= uint64_t(image.lx1Output(n - 1).masks[m]) << (8 * m);
                }
            for (int i = 0; i < st.canOutputs.count; ++i)
                if (const int n = st.canOutputs.items[i]; n != 0)
                    can[n - 1] = true;
        }
        for (int r = 0; r < kSimCapacity; ++r)
            out.insert(out.end(), {states[r], cause[r], changedAt[r], timers[r], lx1[r], can[r]});
        out.push_back(leds);
        out.push_back(qint64(grid));
        return out;
    }
};

std::vector<qint64> pictureOf(const SimEngine &e)
{
    std::vector<qint64> out;
    for (int r = 0; r < kSimCapacity; ++r)
        out.insert(out.end(),
                   {e.stateSet(r), e.stateCause(r), e.stateChangedAt(r), e.timerValue(r), e.lx1OutputActive(r),
                    e.canOutputOn(r)});
    out.push_back(e.ledMask());
    uint64_t grid = 0;
    for (int m = 0; m < kLx1ModuleCount; ++m)
        grid |= uint64_t(e.lx1ModuleMask(m)) << (8 * m);
    out.push_back(qint64(grid));
    return out;
}

// Event e's lists, by e % 4: a second entry in each; all four empty; the
// state it sets also cleared and the timer it starts also stopped; as built.
bool mixLists(PMModel &model)
{
    model.setMode(int(Mode::Events));
    for (int e = 0; e < model.rowCount(); ++e) {
        for (int list = 0; list < kEventListCount; ++list) {
            const QString base = list < 2 ? QStringLiteral("State ") : QStringLiteral("Timer ");
            bool ok = true;
            if (e % 4 == 0) {
                ok = model.addListEntry(e, list)
                    && model.setListEntry(e, list, 1, base + QString::number((e * 7 + list) % kSimCapacity + 1));
            } else if (e % 4 == 1) {
                ok = model.removeListEntry(e, list, 0);
            } else if (e % 4 == 2 && list % 2 == 1) {
                // Clear what the set list sets, stop what the start list starts.
                ok = model.setListEntry(e, list, 0, base + QString::number((e + list - 1) % kSimCapacity + 1));
            }
            if (!ok)
                return false;
        }
    }
    return true;
}

}  // namespace

class TestSimReference : public QObject
{
    Q_OBJECT

private slots:
    // As built, and made busy the way bench/sim does it (each event "key OR
    // timer"): 20,000 ticks of inputs that change in bursts and lulls, so
    // that both the busy and the idle paths of the engine run.
    void largeSetupTickByTick_data()
    {
        QTest::addColumn<bool>("busy");
        QTest::addColumn<bool>("mixedLists");
        QTest::addColumn<bool>("fromOutside");
        QTest::newRow("as built") << false << false << false;
        QTest::newRow("busy") << true << false << false;
        // Lists of two entries, empty lists, and one state set and cleared
        // (one timer started and stopped) by the same event: every shape of
        // event the engine's table keeps.
        QTest::newRow("busy, mixed lists") << true << true << false;
        // A tick that changes nothing is replayed when the next one reads
        // the same inputs; a state set from outside, in a lull or not, must
        // end that.
        QTest::newRow("busy, states set from outside") << true << false << true;
    }
    void largeSetupTickByTick()
    {
        QFETCH(bool, busy);
        QFETCH(bool, mixedLists);
        QFETCH(bool, fromOutside);
        PMModel model;
        QVERIFY(bench::buildLargeSetup(model));
        if (busy) {
            model.setMode(int(Mode::Events));
            for (int e = 0; e < model.rowCount(); ++e) {
                model.setData(model.index(e, 4), QStringLiteral("OR"));
                model.setData(model.index(e, 7), QStringLiteral("NONE"));
            }
        }
        if (mixedLists)
            QVERIFY(mixLists(model));
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("large.bin"));
        QVERIFY2(model.writeRawImage(file), qPrintable(model.imageError()));
        auto engine = std::make_unique<SimEngine>();
        QVERIFY(engine->readImage(file));
        QCOMPARE(engine->eventCount(), 255);
        if (mixedLists) {
            QCOMPARE(engine->event(0).lists[0].count, 2);
            QCOMPARE(engine->event(1).lists[3].count, 0);
            QCOMPARE(engine->event(2).lists[1].items[0], engine->event(2).lists[0].items[0]);
            QCOMPARE(engine->event(2).lists[3].items[0], engine->event(2).lists[2].items[0]);
        }
        auto plain = std::make_unique<PlainEngine>(PlainEngine{*engine});
        auto boxes = std::make_unique<SimInputs>();
        QRandomGenerator rng(29);
        int changedTicks = 0, quietTicks = 0;
        auto lastBoxes = std::make_unique<SimInputs>();
        for (int t = 1; t <= 20000; ++t) {
            // Bursts of 50 ticks where inputs flip, then lulls where none does.
            if ((t / 50) % 3 != 2) {
                for (int k = int(rng.bounded(8)); k > 0; --k) {
                    const int r = int(rng.bounded(kKeypadKeyCount));
                    boxes->keys[r][rng.bounded(4)] = rng.bounded(2);
                }
                for (int k = int(rng.bounded(4)); k > 0; --k)
                    boxes->switches[rng.bounded(kSimCapacity)] ^= true;
                for (int k = int(rng.bounded(4)); k > 0; --k)
                    boxes->canInputs[rng.bounded(kSimCapacity)] ^= true;
            }
            if (fromOutside && t % 37 == 0) {
                const int s = int(rng.bounded(kSimCapacity));
                plain->states[s] = !plain->states[s];
                plain->cause[s] = 0;
                plain->changedAt[s] = plain->tick;
                engine->setState(s, plain->states[s]);
            }
            const bool same = std::memcmp(boxes.get(), lastBoxes.get(), sizeof(SimInputs)) == 0;
            *lastBoxes = *boxes;
            plain->run(*boxes);
            engine->tick(*boxes);
            quietTicks += same && std::none_of(plain->changedAt.begin(), plain->changedAt.end(), [t](qint64 at) {
                              return at == t || at == t - 1;
                          });
            const std::vector<qint64> want = plain->picture(), got = pictureOf(*engine);
            if (got != want) {
                size_t i = 0;
                while (got[i] == want[i])
                    ++i;
                QFAIL(qPrintable(QStringLiteral("tick %1: row %2, field %3: %4 instead of %5")
                                     .arg(t)
                                     .arg(i / 6)
                                     .arg(i % 6)
                                     .arg(got[i])
                                     .arg(want[i])));
            }
            changedTicks +=
                std::any_of(plain->changedAt.begin(), plain->changedAt.end(), [t](qint64 at) { return at == t; });
        }
        // As built, no event can fire before a timer runs or a state is set;
        // made busy, states change on many ticks.
        // Ticks with the inputs of the one before, neither changing a state:
        // where the engine may replay a tick instead of evaluating it.
        QVERIFY2(quietTicks > 1000, qPrintable(QString::number(quietTicks)));
        if (busy)
            QVERIFY2(changedTicks > 2000, qPrintable(QString::number(changedTicks)));
        else
            QCOMPARE(changedTicks, 0);
    }
};

QObject *makeReferenceTests()
{
    return new TestSimReference;
}

#include "tst_simreference.moc"
