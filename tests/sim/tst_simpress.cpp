// Keys held and released make presses by the press model: scripted holds
// through the real script runner against a reference written here from the
// table in docs/press-model.md.
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <vector>

#include "pmmodel.h"
#include "setupbuilder.h"
#include "simscenario.h"
#include "simtestutil.h"
#include "simtrace.h"
#include "tst_sim.h"

using namespace kelda;

namespace {

constexpr int kBoxes = 4;  // P, SP, LP, DP

struct Times {
    int minimum, doublePress, longPress;  // hundredths of a second = ticks
};

// One hold: the key is let go for `gap` ticks, then held for `hold` ticks.
struct Hold {
    int gap, hold;
};

// The documented table, read as intervals of ticks the key is seen down.
// Result [t][box] for ticks 1..ticks.
std::vector<std::array<bool, kBoxes>> reference(const Times &t, const std::vector<Hold> &holds, int ticks)
{
    std::vector<std::array<bool, kBoxes>> on(size_t(ticks) + 2);
    const int tmin = std::max(t.minimum, 1);
    const int tlong = std::max(t.longPress, tmin);
    // A hold right after another (no tick up between) is one longer hold.
    std::vector<std::pair<int, int>> downs;  // first tick down, first tick up
    int at = 1;
    for (const Hold &h : holds) {
        at += h.gap;
        if (!downs.empty() && downs.back().second == at)
            downs.back().second = at + h.hold;
        else
            downs.push_back({at, at + h.hold});
        at += h.hold;
    }
    int waitingUp = -1;  // up tick of a short press that may start a double
    for (const auto &[down, up] : downs) {
        for (int k = down; k < up && k <= ticks; ++k) {
            const int n = k - down + 1;
            on[k][0] = n >= tmin;
            on[k][2] = n == tlong;
        }
        const int n = up - down;
        if (n < tmin || up > ticks)
            continue;  // a bounce, or let go after the run
        if (n >= tlong) {
            waitingUp = -1;
        } else if (waitingUp >= 0 && down - waitingUp <= t.doublePress) {
            on[up][3] = true;
            waitingUp = -1;
        } else {
            on[up][1] = true;
            waitingUp = up;
        }
    }
    return on;
}

// The script of the holds on key 1, with `tail` ticks after the last.
QByteArray script(const std::vector<Hold> &holds, int tail, QRandomGenerator &rng)
{
    QByteArray out;
    auto run = [&](int ticks) {
        if (ticks == 0)
            return;
        // Both ways of letting time pass.
        out += rng.bounded(2) ? QByteArray("tick ") + QByteArray::number(ticks) + '\n'
                              : QByteArray("wait ") + QByteArray::number(ticks * 10) + "ms\n";
    };
    for (const Hold &h : holds) {
        run(h.gap);
        out += "hold 1\n";
        run(h.hold);
        out += "release 1\n";
    }
    run(tail);
    return out;
}

// A setup whose states 1..4 are, at the end of every tick, exactly P, SP, LP
// and DP of key 1 in that tick: for each box, an event clearing the state
// when it was set, then one setting it when the box is on (the later wins).
bool buildProbe(PMModel &model, const Times &t)
{
    static const char *const boxes[kBoxes] = {"Pressed", "Short Press", "Long Press", "Double Press"};
    model.newSetup();
    test::SetupBuilder b(model);
    for (int s = 0; s < kBoxes; ++s)
        b.state();
    for (int s = 0; s < kBoxes; ++s) {
        const int clear = b.event();
        if (!b.input(clear, 0, ItemType::State, s, "Set") || !b.entry(Mode::Events, clear, 1, ItemType::State, s))
            return false;
        const int set = b.event();
        if (!b.input(set, 0, ItemType::KeypadKey, 0, boxes[s]) || !b.entry(Mode::Events, set, 0, ItemType::State, s))
            return false;
    }
    model.setOption(int(OptionIndex::MinPressTime), t.minimum / 100.0);
    model.setOption(int(OptionIndex::DoublePressTime), t.doublePress / 100.0);
    model.setOption(int(OptionIndex::LongPressTime), t.longPress / 100.0);
    return true;
}

// What the run made of states 1..4 on ticks 1..ticks, from its trace.
std::vector<std::array<bool, kBoxes>> observed(const SimTrace &trace, int ticks)
{
    std::vector<std::array<bool, kBoxes>> on(size_t(ticks) + 2);
    std::array<int, kBoxes> signal{};
    for (size_t i = 0; i < trace.signalList().size(); ++i)
        if (trace.signalList()[i].kind == SimSignal::Kind::State && trace.signalList()[i].row < kBoxes)
            signal[trace.signalList()[i].row] = int(i);
    std::array<bool, kBoxes> now{};
    size_t c = 0;
    const std::vector<SimChange> &changes = trace.changes();
    for (int k = 1; k <= ticks; ++k) {
        for (; c < changes.size() && changes[c].tick <= k; ++c)
            for (int box = 0; box < kBoxes; ++box)
                if (changes[c].signal == signal[box])
                    now[box] = changes[c].value;
        on[k] = now;
    }
    return on;
}

QString describe(const Times &t, const std::vector<Hold> &holds)
{
    QString s =
        QStringLiteral("min %1, double %2, long %3; gap/hold:").arg(t.minimum).arg(t.doublePress).arg(t.longPress);
    for (const Hold &h : holds)
        s += QStringLiteral(" %1/%2").arg(h.gap).arg(h.hold);
    return s;
}

}  // namespace

class TestSimPress : public QObject
{
    Q_OBJECT

private slots:
    // 200 sequences of holds in 50 setups with their own press times: every
    // tick of every box as the table says.
    void holdsMakeThePressesOfTheTable()
    {
        QRandomGenerator rng(32031);
        QTemporaryDir dir;
        int sequences = 0, shortPresses = 0, doubles = 0, longs = 0;
        for (int setup = 0; setup < 50; ++setup) {
            const Times t{int(rng.bounded(6)), int(rng.bounded(12)), int(rng.bounded(45))};
            PMModel model;
            QVERIFY(buildProbe(model, t));
            const QString file = dir.filePath(QStringLiteral("press%1.kelda").arg(setup));
            QVERIFY2(model.saveSetup(file), qPrintable(model.lastError()));
            SimScenario scenario;
            QString what, why;
            QVERIFY2(scenario.open(file, &what, &why), qPrintable(what + QStringLiteral(": ") + why));
            for (int run = 0; run < 4; ++run, ++sequences) {
                std::vector<Hold> holds(1 + rng.bounded(10));
                int ticks = 0;
                for (Hold &h : holds) {
                    // Gaps around the double press time, some none; holds
                    // around the minimum and the long time.
                    h.gap = rng.bounded(5) == 0 ? 0 : 1 + int(rng.bounded(t.doublePress + 4));
                    h.hold = rng.bounded(4) == 0 ? t.longPress - 2 + int(rng.bounded(5)) : 1 + int(rng.bounded(12));
                    h.hold = std::max(h.hold, 1);
                    ticks += h.gap + h.hold;
                }
                const int tail = int(rng.bounded(4));
                ticks += tail;
                std::vector<SimStep> steps;
                int bad = 0;
                QVERIFY2(parseSimScript(script(holds, tail, rng), scenario.rows(), &steps, &bad, &why),
                         qPrintable(why));
                SimTrace trace(scenario.rows().names);
                const SimOutcome outcome = scenario.run(steps, nullptr, &trace);
                QCOMPARE(outcome.ticks, qint64(ticks));
                const auto want = reference(t, holds, ticks);
                const auto got = observed(trace, ticks);
                for (int k = 1; k <= ticks; ++k) {
                    shortPresses += want[k][1];
                    doubles += want[k][3];
                    longs += want[k][2];
                    for (int box = 0; box < kBoxes; ++box)
                        if (got[k][box] != want[k][box])
                            QFAIL(qPrintable(QStringLiteral("tick %1, box %2: %3 instead of %4 (%5)")
                                                 .arg(k)
                                                 .arg(box)
                                                 .arg(got[k][box])
                                                 .arg(want[k][box])
                                                 .arg(describe(t, holds))));
                }
            }
        }
        QCOMPARE(sequences, 200);
        // The sequences reach every kind of press, many times.
        QVERIFY2(shortPresses > 100 && doubles > 50 && longs > 20,
                 qPrintable(QStringLiteral("%1 SP, %2 DP, %3 LP").arg(shortPresses).arg(doubles).arg(longs)));
    }

    // The boxes keep their meaning beside a held key: a ticked SP is one
    // tick, a P box ticked by hand stays on after the key is let go, and the
    // trace shows the model's presses as the key's boxes.
    void boxesKeepTheirMeaning()
    {
        simtest::Image img;
        img.states.resize(4);
        for (uint8_t box = 1; box <= 4; ++box) {
            simtest::Event clear, set;
            clear.inputs = {{4, box, 7, 0}};  // state `box` set: clear it
            clear.lists[1] = {box};
            set.inputs = {{1, 1, box, 0}};  // key 1, condition `box`: set it
            set.lists[0] = {box};
            img.events.push_back(clear);
            img.events.push_back(set);
        }
        img.options[int(OptionIndex::MinPressTime)] = 2;
        img.options[int(OptionIndex::LongPressTime)] = 4;
        auto engine = std::make_unique<SimEngine>();
        auto boxes = std::make_unique<SimInputs>();
        engine->readImage(img.build());
        QCOMPARE(engine->pressModel().times().minimum, 2);
        SimNames names;
        names.keys = QStringList{QStringLiteral("K")};
        names.states =
            QStringList{QStringLiteral("P"), QStringLiteral("SP"), QStringLiteral("LP"), QStringLiteral("DP")};
        SimTrace trace(names);
        auto tick = [&] {
            trace.recordInputs(*boxes, *engine);
            engine->tick(*boxes);
            trace.record(*engine);
        };

        engine->setKeyHeld(0, true);
        QVERIFY(engine->keyHeld(0));
        QVERIFY(!engine->keyHeld(1));
        tick();  // n = 1: below the minimum
        QVERIFY(!engine->stateSet(0));
        tick();  // n = 2
        QVERIFY(engine->stateSet(0));
        boxes->keys[0][1] = true;  // SP ticked by hand while held
        tick();
        QVERIFY(engine->stateSet(1));
        QVERIFY(!boxes->keys[0][1]);
        tick();  // n = 4: long
        QVERIFY(engine->stateSet(2) && !engine->stateSet(1));
        boxes->keys[0][0] = true;  // P ticked by hand
        engine->setKeyHeld(0, false);
        tick();  // let go after a long press: nothing
        QVERIFY(engine->stateSet(0) && !engine->stateSet(1) && !engine->stateSet(2));
        boxes->keys[0][0] = false;
        tick();
        QVERIFY(!engine->stateSet(0));

        // The trace's key boxes: P from tick 2 to 5 (the model, then the box),
        // LP on tick 4 alone.
        int p = -1, lp = -1;
        for (size_t i = 0; i < trace.signalList().size(); ++i) {
            if (trace.signalList()[i].kind == SimSignal::Kind::Key && trace.signalList()[i].row == 0)
                p = int(i);
            if (trace.signalList()[i].kind == SimSignal::Kind::Key && trace.signalList()[i].row == 2)
                lp = int(i);
        }
        QVERIFY(p >= 0 && lp >= 0);
        std::vector<std::pair<qint64, bool>> pChanges, lpChanges;
        for (const SimChange &c : trace.changes()) {
            if (c.signal == p)
                pChanges.push_back({c.tick, c.value});
            if (c.signal == lp)
                lpChanges.push_back({c.tick, c.value});
        }
        QCOMPARE(pChanges, (std::vector<std::pair<qint64, bool>>{{2, true}, {6, false}}));
        QCOMPARE(lpChanges, (std::vector<std::pair<qint64, bool>>{{4, true}, {5, false}}));

        // A new image lets every key go.
        engine->setKeyHeld(3, true);
        engine->readImage(img.build());
        QVERIFY(!engine->keyHeld(3));
    }
};

QObject *makePressTests()
{
    return new TestSimPress;
}

#include "tst_simpress.moc"
