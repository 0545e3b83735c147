// The panel's keys held by the mouse and by Space give the presses the
// engine's press model gives for the same holds: random holds and gaps
// through the real panel against a bare engine held the same way.
#include <QFile>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTableWidget>
#include <QTest>

#include "pmmodel.h"
#include "setupbuilder.h"
#include "simengine.h"
#include "simnames.h"
#include "simpanel.h"
#include "simtrace.h"
#include "simulator.h"
#include "tst_sim.h"

using namespace kelda;
using namespace kelda::test;

namespace {

// Each of key 1's four conditions sets a state of its own, and key 2's
// Pressed clears them all; Minimum 0.03 s, Double 0.08 s, Long 0.20 s.
void buildPressTimesSetup(PMModel &model)
{
    SetupBuilder b(model);
    const char *const conditions[] = {"Pressed", "Short Press", "Long Press", "Double Press"};
    for (int c = 0; c < 4; ++c) {
        const int state = b.state();
        const int on = b.event(), off = b.event();
        QVERIFY(b.input(on, 0, ItemType::KeypadKey, 0, conditions[c]));
        QVERIFY(b.entry(Mode::Events, on, 0, ItemType::State, state));
        QVERIFY(b.input(off, 0, ItemType::KeypadKey, 1, "Pressed"));
        QVERIFY(b.entry(Mode::Events, off, 1, ItemType::State, state));
    }
    model.setOption(int(OptionIndex::MinPressTime), 0.03);
    model.setOption(int(OptionIndex::DoublePressTime), 0.08);
    model.setOption(int(OptionIndex::LongPressTime), 0.20);
}

// A key held for `hold` ticks, then let go for `gap`; by Space when `space`.
struct Hold {
    int key, hold, gap;
    bool space;
};

QString describe(const std::vector<SimChange> &changes, const SimTrace &trace, size_t at)
{
    if (at >= changes.size())
        return QStringLiteral("(none)");
    const SimChange &c = changes[at];
    return QStringLiteral("tick %1 %2 %3").arg(c.tick).arg(trace.signalList()[c.signal].name).arg(c.value);
}

}  // namespace

class TestSimPanelKeys : public QObject
{
    Q_OBJECT

private slots:
    void heldKeysMakeTheModelsPresses();
};

void TestSimPanelKeys::heldKeysMakeTheModelsPresses()
{
    PMModel model;
    buildPressTimesSetup(model);
    auto *sim = new Simulator();
    QVERIFY2(model.writeRawImage(sim->imageFileName()), qPrintable(model.imageError()));
    sim->start(model.session());
    sim->findChild<QPushButton *>(QStringLiteral("simPauseButton"))->click();
    QVERIFY(sim->isPaused());
    sim->show();
    QVERIFY(QTest::qWaitForWindowExposed(sim));
    auto *step = sim->findChild<QPushButton *>(QStringLiteral("simStepButton"));

    // The reference: the same image in a bare engine, held by setKeyHeld.
    QFile file(sim->imageFileName());
    QVERIFY(file.open(QIODevice::ReadOnly));
    SimEngine engine;
    engine.readImage(file.readAll());
    engine.clearStates();
    engine.deriveOutputs();
    SimInputs boxes;
    SimTrace expected(simNames(model.session()));
    auto referenceTick = [&] {
        expected.recordInputs(boxes, engine);
        engine.tick(boxes);
        expected.record(engine);
    };
    while (engine.tickCount() < sim->engine().tickCount())
        referenceTick();

    // Short, long, bounced and double presses of key 1, and key 2 between.
    QRandomGenerator random(31);
    std::vector<Hold> holds;
    for (int i = 0; i < 60; ++i)
        holds.push_back({random.bounded(8) == 0 ? 1 : 0, 1 + random.bounded(i % 5 == 0 ? 30 : 12),
                         1 + random.bounded(i % 3 == 0 ? 12 : 6), random.bounded(2) == 1});
    SimPanel *panel = sim->panel();
    for (const Hold &h : holds) {
        QAbstractButton *key = panel->key(h.key);
        if (h.space) {
            key->setFocus();
            QTest::keyPress(key, Qt::Key_Space);
        } else {
            QTest::mousePress(key, Qt::LeftButton);
        }
        QVERIFY(key->isDown());
        engine.setKeyHeld(h.key, true);
        for (int t = 0; t < h.hold; ++t) {
            step->click();
            referenceTick();
        }
        if (h.space)
            QTest::keyRelease(key, Qt::Key_Space);
        else
            QTest::mouseRelease(key, Qt::LeftButton);
        engine.setKeyHeld(h.key, false);
        for (int t = 0; t < h.gap; ++t) {
            step->click();
            referenceTick();
        }
    }

    // Every change the same, on the same tick: the keys' boxes as the ticks
    // read them, and the states the presses set.
    const std::vector<SimChange> &got = sim->trace().changes();
    const std::vector<SimChange> &want = expected.changes();
    for (size_t i = 0; i < std::max(got.size(), want.size()); ++i) {
        const bool same = i < got.size() && i < want.size() && got[i].tick == want[i].tick
            && got[i].signal == want[i].signal && got[i].value == want[i].value && got[i].cause == want[i].cause;
        QVERIFY2(same,
                 qPrintable(QStringLiteral("change %1: window %2, model %3")
                                .arg(i)
                                .arg(describe(got, sim->trace(), i), describe(want, expected, i))));
    }
    // Every kind of press was made at least once.
    for (int state = 0; state < 4; ++state) {
        bool set = false;
        for (const SimChange &c : want)
            set = set
                || (expected.signalList()[c.signal].kind == SimSignal::Kind::State
                    && expected.signalList()[c.signal].row == state && c.value);
        QVERIFY2(set, qPrintable(QStringLiteral("no press set state %1").arg(state + 1)));
    }
    // The boxes were left alone.
    auto *keys = sim->findChild<QTableWidget *>(QStringLiteral("keyPadTableWidget"));
    for (int c = 1; c <= 4; ++c)
        QCOMPARE(keys->item(0, c)->checkState(), Qt::Unchecked);
    delete sim;
}

QObject *makePanelKeyTests()
{
    return new TestSimPanelKeys;
}

#include "tst_simpanelkeys.moc"
