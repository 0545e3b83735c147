// The engine on hand-made images and on setups compiled by the real compiler.
#include <QImage>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include "setupbuilder.h"
#include "simengine.h"
#include "simplot.h"
#include "simtrace.h"
#include "simtestutil.h"
#include "tst_sim.h"

using namespace kelda;
using kelda::test::SetupBuilder;
using simtest::Event;
using simtest::Image;
using simtest::Input;
using simtest::State;

namespace {

constexpr uint8_t KEY = 1, TIMER = 2, CAN = 3, STATE = 4, SWITCH = 5;
constexpr uint8_t P = 1, SP = 2, LP = 3, DP = 4, RUNNING = 5, STOPPED = 6, SET = 7, CLEARED = 8, HIGH = 9, LOW = 10;
constexpr uint8_t NONE = 0, AND = 1, OR = 2;

Event on(std::vector<Input> inputs, std::vector<uint8_t> set = {}, std::vector<uint8_t> clear = {},
         std::vector<uint8_t> start = {}, std::vector<uint8_t> stop = {})
{
    Event e;
    e.inputs = std::move(inputs);
    e.lists = {std::move(set), std::move(clear), std::move(start), std::move(stop)};
    return e;
}

struct Rig {
    std::unique_ptr<SimEngine> engine = std::make_unique<SimEngine>();
    std::unique_ptr<SimInputs> boxes = std::make_unique<SimInputs>();

    explicit Rig(const Image &image) { engine->readImage(image.build()); }
    void tick(int n = 1)
    {
        for (int i = 0; i < n; ++i)
            engine->tick(*boxes);
    }
    SimEngine *operator->() { return engine.get(); }
};

// The engine's rules as the image format states them, written the plain way:
// the measure that the engine, written for speed, must match tick by tick.
struct Reference {
    const Image &img;
    std::array<bool, 255> states{}, before{};
    std::array<int, 255> writer{};
    std::array<uint16_t, 255> timers{};
    SimInputs in;

    bool value(const Input &i) const
    {
        if (i.number == 0)
            return false;
        const int n = i.number - 1;
        switch (i.kind) {
        case KEY:
            return i.condition >= P && i.condition <= DP && in.keys[n][i.condition - 1];
        case TIMER:
            return (timers[n] > 0) != (i.condition == STOPPED);
        case CAN:
            return in.canInputs[n];
        case STATE:
            return before[n] != (i.condition == CLEARED);
        case SWITCH:
            return in.switches[n] != (i.condition == LOW);
        }
        return false;
    }
    void tick(SimInputs &boxes)
    {
        in = boxes;
        SimEngine::clearPresses(boxes);
        before = states;
        for (size_t t = 0; t < img.timers.size(); ++t)
            timers[t] = timers[t] > 2 ? timers[t] - 2 : 0;
        for (size_t e = 0; e < img.events.size(); ++e) {
            const auto &inputs = img.events[e].inputs;
            bool r = value(inputs[0]);
            for (size_t k = 1; k < inputs.size() && inputs[k - 1].join != NONE; ++k)
                r = inputs[k - 1].join == AND ? r && value(inputs[k]) : r || value(inputs[k]);
            if (!r)
                continue;
            for (int list = 0; list < 4; ++list)
                for (uint8_t n : img.events[e].lists[list]) {
                    if (n == 0)
                        continue;
                    if (list < 2) {
                        states[n - 1] = list == 0;
                        writer[n - 1] = int(e) + 1;
                    } else {
                        timers[n - 1] = list == 2 && n <= img.timers.size() ? img.timers[n - 1] : 0;
                    }
                }
        }
    }
};

// A random image within the format's bounds, with the odd bytes a damaged or
// hand-made one may hold: item 0, unknown kinds and conditions, joins beyond OR.
Image randomImage(QRandomGenerator &rng)
{
    auto pick = [&rng](int n) { return int(rng.bounded(n)); };
    Image img;
    img.timers.resize(pick(12));
    for (uint16_t &t : img.timers)
        t = uint16_t(pick(12));
    img.states.resize(pick(12));
    for (State &st : img.states) {
        st.ledMask = rng.generate();
        for (int k = pick(4); k > 0; --k)
            st.lx1.push_back(uint8_t(pick(10)));
    }
    img.lx1.resize(pick(8));
    for (auto &masks : img.lx1)
        for (uint8_t &m : masks)
            m = uint8_t(rng.bounded(256));
    img.events.resize(1 + pick(20));
    for (Event &e : img.events) {
        const int n = 1 + pick(3);
        for (int k = 0; k < n; ++k)
            e.inputs.push_back(
                Input{uint8_t(pick(7)), uint8_t(pick(10)), uint8_t(pick(12)), uint8_t(k + 1 < n ? 1 + pick(3) : 0)});
        for (auto &list : e.lists)
            for (int k = pick(3); k > 0; --k)
                list.push_back(uint8_t(pick(12)));
    }
    return img;
}

}  // namespace

class TestSimEngine : public QObject
{
    Q_OBJECT

private slots:
    void workedExample();
    void pressedFiresEveryTickAndStatesShowOneTickLater();
    void pressesAreSeenOnExactlyOneTick();
    void timerCountdown_data();
    void timerCountdown();
    void timerInputsSeeLiveValues();
    void lastEventWins();
    void quietTicksAndANewImage();
    void joins_data();
    void joins();
    void switchesAndCanInputs();
    void ledIndex20();
    void setupWithoutEvents();
    void usedRows();
    void timersAndOptionsFromImage();
    void damagedImages();
    void compiledSetup();
    void inputWithoutTarget();
    void matchesTheRules();
    void causeOfAChange();
    void traceOfAKnownRun();
    void plotShowsShortPulsesAndTheLastChange();
    void levelsBeforeAnyChange();
    void framesDriveCanInputsAndOutputsBecomeFrames();
};

void TestSimEngine::workedExample()
{
    auto engine = std::make_unique<SimEngine>();
    auto boxes = std::make_unique<SimInputs>();
    engine->readImage(simtest::workedExample());
    QCOMPARE(engine->timerCount(), 1);
    QCOMPARE(engine->timerResetValue(0), 100);
    QCOMPARE(engine->options(), kOptionDefaults);
    QCOMPARE(engine->eventCount(), 1);
    QCOMPARE(engine->stateCount(), 1);
    QCOMPARE(engine->lx1OutputCount(), 1);
    QCOMPARE(engine->event(0).inputs[0].kind, CAN);
    QCOMPARE(engine->event(0).lists[0].count, 1);
    QCOMPARE(engine->event(0).lists[2].items[0], 1);
    QCOMPARE(engine->stateRecord(0).ledMask, 1u);
    QCOMPARE(engine->lx1Output(0).masks[0], 1);

    engine->tick(*boxes);
    QVERIFY(!engine->stateSet(0));
    QVERIFY(!engine->ledOn(0));

    boxes->canInputs[0] = true;
    engine->tick(*boxes);
    QVERIFY(engine->stateSet(0));
    QCOMPARE(engine->timerValue(0), 100);
    QVERIFY(engine->ledOn(0));
    QVERIFY(!engine->ledOn(1));
    QVERIFY(engine->lx1OutputActive(0));
    QVERIFY(engine->lx1ChannelOn(0, 0));
    QVERIFY(!engine->lx1ChannelOn(0, 1));
    QVERIFY(!engine->lx1ChannelOn(1, 0));

    boxes->canInputs[0] = false;
    engine->tick(*boxes);
    QCOMPARE(SimEngine::timerText(engine->timerValue(0)), QStringLiteral("0.49"));
    QVERIFY(engine->stateSet(0));  // nothing clears it
}

void TestSimEngine::pressedFiresEveryTickAndStatesShowOneTickLater()
{
    Image img;
    img.timers = {100};
    img.events = {on({{KEY, 1, P, NONE}}, {1}, {}, {1}),  // key 1 held: set state 1, restart timer 1
                  on({{STATE, 1, SET, NONE}}, {2})};  // state 1 set: set state 2
    img.states.resize(2);
    Rig rig(img);

    rig.boxes->keys[0][0] = true;
    rig.tick();
    QVERIFY(rig->stateSet(0));
    QVERIFY2(!rig->stateSet(1), "a state set in this tick must not be seen before the next");
    QCOMPARE(rig->timerValue(0), 100);
    for (int i = 0; i < 5; ++i) {
        rig.tick();
        QCOMPARE(rig->timerValue(0), 100);  // restarted on every tick while held
        QVERIFY(rig->stateSet(1));
    }
    QVERIFY(rig.boxes->keys[0][0]);  // "P" stays as the user left it
    rig.boxes->keys[0][0] = false;
    rig.tick();
    QCOMPARE(rig->timerValue(0), 98);
}

void TestSimEngine::pressesAreSeenOnExactlyOneTick()
{
    Image img;
    img.timers = {100, 100, 100};
    img.events = {on({{KEY, 2, SP, NONE}}, {}, {}, {1}), on({{KEY, 2, LP, NONE}}, {}, {}, {2}),
                  on({{KEY, 2, DP, NONE}}, {}, {}, {3}),
                  on({{KEY, 2, SP, NONE}}, {}, {1}),  // clears state 1 on a short press
                  on({{KEY, 1, SP, NONE}}, {1})};  // another key's press: not ours
    img.states.resize(1);
    Rig rig(img);

    rig.boxes->keys[1][1] = true;  // SP of key row 2
    rig.tick();
    QCOMPARE(rig->timerValue(0), 100);
    QCOMPARE(rig->timerValue(1), 0);  // the LP event waits for another box
    QCOMPARE(rig->timerValue(2), 0);
    QVERIFY2(!rig.boxes->keys[1][1], "SP must be unticked by the tick that saw it");
    rig.tick();
    QCOMPARE(rig->timerValue(0), 98);  // not seen a second time

    rig.boxes->keys[1][2] = true;
    rig.boxes->keys[1][3] = true;
    rig.boxes->keys[1][0] = true;
    rig.tick();
    QCOMPARE(rig->timerValue(1), 100);
    QCOMPARE(rig->timerValue(2), 100);
    QVERIFY(!rig.boxes->keys[1][2]);
    QVERIFY(!rig.boxes->keys[1][3]);
    QVERIFY(rig.boxes->keys[1][0]);
    QVERIFY(!rig->stateSet(0));
}

void TestSimEngine::timerCountdown_data()
{
    QTest::addColumn<int>("reset");
    QTest::addColumn<int>("stopsAfter");
    QTest::newRow("0.5 s") << 100 << 50;
    QTest::newRow("0.505 s") << 101 << 51;
    QTest::newRow("one unit") << 1 << 1;
}

void TestSimEngine::timerCountdown()
{
    QFETCH(int, reset);
    QFETCH(int, stopsAfter);
    Image img;
    img.timers = {uint16_t(reset)};
    img.events = {on({{KEY, 1, SP, NONE}}, {}, {}, {1})};
    Rig rig(img);

    const SimInput stopped{TIMER, 1, STOPPED, NONE};
    const SimInput running{TIMER, 1, RUNNING, NONE};
    QVERIFY(rig->evaluateInput(stopped));
    rig.boxes->keys[0][1] = true;
    rig.tick();
    QCOMPARE(rig->timerValue(0), reset);
    if (reset == 100)
        QCOMPARE(SimEngine::timerText(rig->timerValue(0)), QStringLiteral("0.5"));
    for (int k = 1; k <= stopsAfter; ++k) {
        rig.tick();
        if (reset == 100 && k <= 2)
            QCOMPARE(SimEngine::timerText(rig->timerValue(0)),
                     k == 1 ? QStringLiteral("0.49") : QStringLiteral("0.48"));
        if (k < stopsAfter) {
            QVERIFY2(rig->evaluateInput(running), qPrintable(QString("tick %1").arg(k)));
            QVERIFY(!rig->evaluateInput(stopped));
        }
    }
    QCOMPARE(rig->timerValue(0), 0);
    QVERIFY(rig->evaluateInput(stopped));
    QVERIFY(!rig->evaluateInput(running));
    QCOMPARE(SimEngine::timerText(0), QStringLiteral("0"));
}

void TestSimEngine::timerInputsSeeLiveValues()
{
    Image img;
    img.timers = {100};
    img.events = {on({{KEY, 1, P, NONE}}, {}, {}, {1}),  // start timer 1
                  on({{TIMER, 1, RUNNING, NONE}}, {1}),  // later in the same tick: sees it running
                  on({{KEY, 2, P, NONE}}, {}, {}, {}, {1}),  // stop timer 1
                  on({{TIMER, 1, STOPPED, NONE}}, {2})};  // sees it stopped at once
    img.states.resize(2);
    Rig rig(img);
    rig.boxes->keys[0][0] = true;
    rig.tick();
    QVERIFY(rig->stateSet(0));
    QVERIFY(!rig->stateSet(1));
    rig.boxes->keys[1][0] = true;
    rig.tick();
    QVERIFY(rig->stateSet(1));
    QCOMPARE(rig->timerValue(0), 0);
}

void TestSimEngine::lastEventWins()
{
    Image img;
    img.timers = {100};
    img.events = {on({{KEY, 1, P, NONE}}, {3}, {}, {1}), on({{KEY, 1, P, NONE}}, {}, {3}, {}, {1}),
                  on({{KEY, 2, P, NONE}}, {}, {2}), on({{KEY, 2, P, NONE}}, {2})};
    img.states.resize(3);
    Rig rig(img);
    rig.boxes->keys[0][0] = true;
    rig.boxes->keys[1][0] = true;
    rig.tick();
    QVERIFY2(!rig->stateSet(2), "event 2 clears state 3 after event 1 set it");
    QCOMPARE(rig->timerValue(0), 0);
    QVERIFY2(rig->stateSet(1), "event 4 sets state 2 after event 3 cleared it");
}

// A tick that changes nothing, followed by one with the same inputs, is
// replayed: a held key keeps restarting its timer, and a new image read
// between two such ticks is evaluated, not replayed.
void TestSimEngine::quietTicksAndANewImage()
{
    Image quiet;
    quiet.timers = {10};
    quiet.events = {on({{KEY, 1, P, NONE}}, {}, {}, {1})};
    quiet.states.resize(1);
    Rig rig(quiet);
    rig.boxes->keys[0][0] = true;
    for (int i = 0; i < 20; ++i) {
        rig.tick();
        QCOMPARE(rig->timerValue(0), 10);  // started again every tick
    }
    rig.boxes->keys[0][0] = false;
    rig.tick(4);
    QCOMPARE(rig->timerValue(0), 2);
    rig.tick(3);
    QCOMPARE(rig->timerValue(0), 0);
    QVERIFY(!rig->stateSet(0));

    // Same inputs, same stopped timer: only the events differ.
    Image set = quiet;
    set.events = {on({{TIMER, 1, STOPPED, NONE}}, {1})};
    rig->readImage(set.build());
    rig.tick();
    QVERIFY(rig->stateSet(0));
    QCOMPARE(rig->stateCause(0), 1);
}

void TestSimEngine::joins_data()
{
    QTest::addColumn<std::vector<Input>>("inputs");
    QTest::addColumn<bool>("fires");
    // key 1 held (true), key 2 not (false)
    const Input t{KEY, 1, P, NONE}, f{KEY, 2, P, NONE};
    auto j = [](Input i, uint8_t join) {
        i.join = join;
        return i;
    };
    QTest::newRow("false AND true") << std::vector<Input>{j(f, AND), t} << false;
    QTest::newRow("true AND true") << std::vector<Input>{j(t, AND), t} << true;
    QTest::newRow("false OR true") << std::vector<Input>{j(f, OR), t} << true;
    QTest::newRow("false OR false") << std::vector<Input>{j(f, OR), f} << false;
    QTest::newRow("(false AND true) OR true") << std::vector<Input>{j(f, AND), j(t, OR), t} << true;
    QTest::newRow("(true OR false) AND false") << std::vector<Input>{j(t, OR), j(f, AND), f} << false;
    QTest::newRow("NONE ends at input 0") << std::vector<Input>{f} << false;
    QTest::newRow("true AND true, then NONE") << std::vector<Input>{j(t, AND), t} << true;
    // A third entry's join is written but never continues the record.
    QTest::newRow("third join ignored") << std::vector<Input>{j(t, AND), j(t, AND), j(t, OR)} << true;
}

void TestSimEngine::joins()
{
    QFETCH(std::vector<Input>, inputs);
    QFETCH(bool, fires);
    Image img;
    // Event 2 follows event 1's record directly; it shows the record length was right.
    img.events = {on(inputs, {1}), on({{KEY, 3, P, NONE}}, {2})};
    img.states.resize(2);
    Rig rig(img);
    rig.boxes->keys[0][0] = true;
    rig.boxes->keys[2][0] = true;
    rig.tick();
    QCOMPARE(rig->stateSet(0), fires);
    QVERIFY(rig->stateSet(1));
}

void TestSimEngine::switchesAndCanInputs()
{
    Image img;
    img.events = {on({{SWITCH, 2, HIGH, NONE}}, {1}), on({{SWITCH, 2, LOW, NONE}}, {2}), on({{CAN, 1, 0, NONE}}, {3}),
                  on({{STATE, 3, CLEARED, NONE}}, {4}),
                  on({{99, 1, P, NONE}}, {5})};  // unknown source kind: never true
    img.states.resize(5);
    Rig rig(img);
    rig.tick();
    QVERIFY(!rig->stateSet(0));
    QVERIFY(rig->stateSet(1));
    QVERIFY(!rig->stateSet(2));
    QVERIFY(rig->stateSet(3));  // state 3 was clear at the start of the tick
    rig.boxes->switches[1] = true;
    rig.boxes->canInputs[0] = true;
    rig.tick();
    QVERIFY(rig->stateSet(0));
    QVERIFY(rig->stateSet(2));
    QVERIFY(!rig->stateSet(4));
}

void TestSimEngine::ledIndex20()
{
    Image img;
    img.events = {on({{KEY, 1, P, NONE}}, {1})};
    img.states = {State{1u << 20, {}, {}}};
    Rig rig(img);
    QCOMPARE(rig->stateRecord(0).ledMask, 1u << 20);
    rig.boxes->keys[0][0] = true;
    rig.tick();
    for (int r = 0; r < 32; ++r)
        QCOMPARE(rig->ledOn(r), r == 20);
    QVERIFY(!rig->ledOn(32));
    QCOMPARE(rig->ledMask() & 0xFFFF, 0u);
    QCOMPARE(rig->ledMask() >> 16, 1u << 4);
}

void TestSimEngine::setupWithoutEvents()
{
    Image img;
    img.states = {State{0x3, {2, 0}, {1}}, State{0x80000000u, {1}, {}}};
    img.lx1 = {{0, 0, 0, 0, 0, 0, 0, 0x80}, {0x0F, 0, 0, 0, 0, 0, 0, 0}};
    Rig rig(img);
    QCOMPARE(rig->eventCount(), 0);
    QCOMPARE(rig->stateCount(), 2);  // read from section 6 although section 5 is empty
    QCOMPARE(rig->lx1OutputCount(), 2);
    QCOMPARE(rig->stateRecord(0).lx1Outputs.count, 2);
    QCOMPARE(rig->stateRecord(0).canOutputs.items[0], 1);
    QCOMPARE(rig->lx1Output(0).masks[7], 0x80);
    rig.tick(3);
    QVERIFY(!rig->stateSet(0) && !rig->stateSet(1));
    QCOMPARE(rig->ledMask(), 0u);
    QVERIFY(!rig->lx1OutputActive(0) && !rig->lx1OutputActive(1));
    for (int m = 0; m < 8; ++m)
        QCOMPARE(rig->lx1ModuleMask(m), 0);

    // The derivation itself: state 1 drives output 2 (and an entry of 0, ignored).
    rig->setState(0, true);
    rig->deriveOutputs();
    QVERIFY(rig->ledOn(0) && rig->ledOn(1) && !rig->ledOn(31));
    QVERIFY(!rig->lx1OutputActive(0));
    QVERIFY(rig->lx1OutputActive(1));
    QCOMPARE(rig->lx1ModuleMask(0), 0x0F);
    QVERIFY(rig->lx1ChannelOn(0, 3) && !rig->lx1ChannelOn(0, 4));
    rig->setState(1, true);
    rig->deriveOutputs();
    QVERIFY(rig->ledOn(31));
    QVERIFY(rig->lx1ChannelOn(7, 7));
}

void TestSimEngine::usedRows()
{
    Image img;
    img.events = {on({{KEY, 3, P, OR}, {SWITCH, 2, HIGH, AND}, {CAN, 4, 0, NONE}}),
                  on({{KEY, 5, P, NONE}, {SWITCH, 9, HIGH, NONE}})};  // second entry not in the record
    img.states = {State{1u << 7, {2}, {}}};
    img.lx1 = {{}, {}};
    // Entry two of event 2 is written though join 0 ends the record; the
    // reader must not take it as input.
    Rig rig(img);
    QVERIFY(rig->keyUsed(2) && rig->keyUsed(4) && !rig->keyUsed(0));
    QVERIFY(rig->switchUsed(1) && !rig->switchUsed(8));
    QVERIFY(rig->canInputUsed(3) && !rig->canInputUsed(0));
    QVERIFY(rig->lx1OutputUsed(1) && !rig->lx1OutputUsed(0));
    QVERIFY(rig->ledUsed(7) && !rig->ledUsed(6));
}

void TestSimEngine::timersAndOptionsFromImage()
{
    auto engine = std::make_unique<SimEngine>();
    // No timers: none, whatever ran before.
    Image none, two;
    two.timers = {300, 8};
    engine->readImage(two.build());
    QCOMPARE(engine->timerCount(), 2);
    engine->readImage(none.build());
    QCOMPARE(engine->timerCount(), 0);
    QCOMPARE(engine->timerResetValue(0), 0);

    // As many timers as an image holds, each with its own run time; all
    // stopped at the start, and a new read stops a running one.
    Image many;
    for (int t = 0; t < 255; ++t)
        many.timers.push_back(uint16_t(1000 + 3 * t));
    many.events = {on({{SWITCH, 1, HIGH, NONE}}, {}, {}, {255})};
    many.options = {7, 8, 9, 10, 11, 12, 0xC349, 0x123};
    engine->readImage(many.build());
    QCOMPARE(engine->timerCount(), 255);
    QCOMPARE(engine->timerResetValue(0), 1000);
    QCOMPARE(engine->timerResetValue(254), 1000 + 3 * 254);
    QCOMPARE(engine->timerResetValue(255), 0);
    QCOMPARE(engine->timerValue(254), 0);
    QCOMPARE(engine->options(), many.options);
    SimInputs boxes;
    boxes.switches[0] = true;
    engine->tick(boxes);
    QCOMPARE(engine->timerValue(254), 1000 + 3 * 254);
    engine->readImage(many.build());
    QCOMPARE(engine->timerValue(254), 0);

    // An image cut inside section 1 keeps the run times that are there; one
    // cut inside section 10 keeps the options that are there.
    const QByteArray bytes = many.build();
    engine->readImage(bytes.left(22 + 1 + 2 * 10));
    QCOMPARE(engine->timerCount(), 255);
    QCOMPARE(engine->timerResetValue(9), 1000 + 27);
    QCOMPARE(engine->timerResetValue(10), 0);
    const int options = image::readU16(bytes, image::headerWordOffset(image::Section::Options));
    engine->readImage(bytes.left(options + 5));
    QCOMPARE(engine->options()[1], 8);
    QCOMPARE(engine->options()[2], 0);
    engine->reset();
    QCOMPARE(engine->timerCount(), 0);
    QCOMPARE(engine->options()[0], 0);
}

void TestSimEngine::damagedImages()
{
    const QByteArray good = simtest::workedExample();
    auto engine = std::make_unique<SimEngine>();
    auto boxes = std::make_unique<SimInputs>();
    for (auto &row : boxes->keys)
        row.fill(true);
    boxes->switches.fill(true);
    boxes->canInputs.fill(true);

    // Every prefix of a good image: no crash, counts within their capacity,
    // and what is missing is not made up.
    for (qsizetype len = 0; len < good.size(); ++len) {
        engine->reset();
        engine->readImage(good.left(len));
        QVERIFY(engine->eventCount() <= 1);
        if (len < 25)
            QCOMPARE(engine->eventCount(), 0);
        if (len < 48)
            QCOMPARE(engine->stateCount(), 0);
        if (len < 58)
            QCOMPARE(engine->lx1OutputCount(), 0);
        SimInputs b = *boxes;
        engine->tick(b);
        engine->tick(b);
    }

    // Offsets and counts that point past the end.
    QByteArray bad = good;
    bad[4] = char(0xFF);  // H2 beyond the file
    bad[10] = char(0xFF);  // H5 beyond the file
    engine->reset();
    engine->readImage(bad);
    QCOMPARE(engine->eventCount(), 0);
    QCOMPARE(engine->stateCount(), 0);

    bad = good;
    bad[25] = char(0xFF);  // 255 events, one record present
    bad[47] = char(0xFF);  // 255 states
    engine->reset();
    engine->readImage(bad);
    QCOMPARE(engine->eventCount(), 255);
    SimInputs b = *boxes;
    engine->tick(b);

    // Item numbers of 255 everywhere.
    engine->reset();
    engine->readImage(QByteArray(4096, char(0xFF)));
    QVERIFY(engine->eventCount() <= 255);
    engine->tick(b);

    // A missing file reads as an empty image.
    QTemporaryDir dir;
    engine->reset();
    QVERIFY(!engine->readImage(dir.filePath("missing.bin")));
    QCOMPARE(engine->eventCount(), 0);
    QCOMPARE(engine->stateCount(), 0);
    QCOMPARE(engine->lx1OutputCount(), 0);
}

void TestSimEngine::compiledSetup()
{
    // A setup built as the user would, compiled by the real compiler: key 3
    // "Short Press" AND switch 2 "Low" sets state 1, which drives LED 20 and
    // LX1 output 1 (channel 3 of LX1-2), and starts timer 1.
    PMModel model;
    SetupBuilder b(model);
    const int timer = b.timer(0.5);
    const int state = b.add(Mode::States);
    const int out = b.add(Mode::Lx1Outputs);
    b.lx1Mask(out, 1, 0x04);
    const int ev = b.add(Mode::Events);
    QVERIFY(b.input(ev, 0, ItemType::KeypadKey, 2, "Short Press", "AND"));
    QVERIFY(b.input(ev, 1, ItemType::Switch, 1, "Low"));
    QVERIFY(b.entry(Mode::Events, ev, 0, ItemType::State, state));
    QVERIFY(b.entry(Mode::Events, ev, 2, ItemType::Timer, timer));
    QVERIFY(b.entry(Mode::States, state, 0, ItemType::Lx2Led, 20));
    QVERIFY(b.entry(Mode::States, state, 1, ItemType::Lx1Output, out));

    QTemporaryDir dir;
    const QString file = dir.filePath("image.bin");
    QVERIFY2(model.writeRawImage(file), qPrintable(model.imageError()));
    auto engine = std::make_unique<SimEngine>();
    SimInputs boxes;
    QVERIFY(engine->readImage(file));
    QCOMPARE(engine->eventCount(), 1);
    QCOMPARE(engine->timerResetValue(0), 100);

    boxes.switches[1] = true;  // "Low" is false
    boxes.keys[2][1] = true;
    engine->tick(boxes);
    QVERIFY(!engine->stateSet(0));
    boxes.switches[1] = false;
    boxes.keys[2][1] = true;
    engine->tick(boxes);
    QVERIFY(engine->stateSet(0));
    QVERIFY(engine->ledOn(20));
    QVERIFY(engine->lx1OutputActive(0));
    QVERIFY(engine->lx1ChannelOn(1, 2));
    QCOMPARE(SimEngine::timerText(engine->timerValue(0)), QStringLiteral("0.5"));
}

void TestSimEngine::inputWithoutTarget()
{
    // An event input that points at nothing compiles as keypad key 1 with its
    // stored condition: it reacts to key row 1 for conditions 1 to 4 only.
    Image img;
    img.events = {on({{KEY, 1, SP, NONE}}, {1}), on({{KEY, 1, 0, NONE}}, {2}), on({{KEY, 1, SET, NONE}}, {3})};
    img.states.resize(3);
    Rig rig(img);
    for (auto &c : rig.boxes->keys[0])
        c = true;
    rig.tick();
    QVERIFY(rig->stateSet(0));
    QVERIFY(!rig->stateSet(1));
    QVERIFY(!rig->stateSet(2));

    // The same through the compiler: a new event has no input targets.
    PMModel model;
    SetupBuilder b(model);
    const int state = b.add(Mode::States);
    const int ev = b.add(Mode::Events);
    QVERIFY(b.entry(Mode::Events, ev, 0, ItemType::State, state));
    QTemporaryDir dir;
    const QString file = dir.filePath("image.bin");
    QVERIFY2(model.writeRawImage(file), qPrintable(model.imageError()));
    auto engine = std::make_unique<SimEngine>();
    SimInputs boxes;
    engine->readImage(file);
    const SimInput input = engine->event(0).inputs[0];
    QCOMPARE(input.kind, KEY);
    QCOMPARE(input.number, 1);
    QCOMPARE(input.join, NONE);
    if (input.condition >= 1 && input.condition <= 4) {
        boxes.keys[0][input.condition - 1] = true;
        engine->tick(boxes);
        QVERIFY(engine->stateSet(0));
    } else {
        boxes.keys[0].fill(true);
        engine->tick(boxes);
        QVERIFY(!engine->stateSet(0));
    }
    engine->clearStates();
    boxes.clear();
    engine->tick(boxes);
    QVERIFY(!engine->stateSet(0));
}

void TestSimEngine::matchesTheRules()
{
    QRandomGenerator rng(18);
    for (int round = 0; round < 200; ++round) {
        const Image img = randomImage(rng);
        Rig rig(img);
        Reference ref{img, {}, {}, {}, {}, {}};
        auto refBoxes = std::make_unique<SimInputs>();
        for (int t = 1; t <= 40; ++t) {
            for (int r = 0; r < 10; ++r) {
                for (int c = 0; c < 4; ++c)
                    rig.boxes->keys[r][c] = rng.bounded(3) == 0;
                rig.boxes->switches[r] = rng.bounded(2);
                rig.boxes->canInputs[r] = rng.bounded(2);
            }
            *refBoxes = *rig.boxes;
            rig.tick();
            ref.tick(*refBoxes);
            const QByteArray where =
                QByteArray("round ") + QByteArray::number(round) + " tick " + QByteArray::number(t);
            QVERIFY2(refBoxes->keys == rig.boxes->keys, where);
            uint32_t leds = 0;
            std::array<bool, 255> active{};
            for (int s = 0; s < 255; ++s) {
                QVERIFY2(rig->stateSet(s) == ref.states[s], where + " state " + QByteArray::number(s));
                QVERIFY2(rig->timerValue(s) == ref.timers[s], where + " timer " + QByteArray::number(s));
                if (ref.states[s] != ref.before[s]) {
                    QVERIFY2(rig->stateCause(s) == ref.writer[s], where);
                    QCOMPARE(rig->stateChangedAt(s), qint64(t));
                }
                if (s < int(img.states.size()) && ref.states[s]) {
                    leds |= img.states[s].ledMask;
                    for (uint8_t n : img.states[s].lx1)
                        if (n != 0)
                            active[n - 1] = true;
                }
            }
            QVERIFY2(rig->ledMask() == leds, where);
            uint64_t grid = 0;
            for (int p = 0; p < 255; ++p) {
                QVERIFY2(rig->lx1OutputActive(p) == active[p], where);
                for (int m = 0; m < 8 && p < int(img.lx1.size()) && active[p]; ++m)
                    grid |= uint64_t(img.lx1[p][m]) << (8 * m);
            }
            for (int m = 0; m < 8; ++m)
                QVERIFY2(rig->lx1ModuleMask(m) == uint8_t(grid >> (8 * m)), where);
        }
    }
}

void TestSimEngine::causeOfAChange()
{
    // Event 1 sets state 1 on key 1; event 2 clears it on key 2; events 3
    // and 4 set and clear state 2 in one tick, which is no change.
    Image img;
    img.events = {on({{KEY, 1, P, NONE}}, {1}), on({{KEY, 2, P, NONE}}, {}, {1}), on({{KEY, 3, P, NONE}}, {2}),
                  on({{KEY, 3, P, NONE}}, {}, {2})};
    img.states.resize(2);
    Rig rig(img);
    rig.tick(3);
    QCOMPARE(rig->tickCount(), qint64(3));
    QCOMPARE(rig->stateCause(0), 0);
    QCOMPARE(rig->stateChangedAt(0), qint64(0));
    rig.boxes->keys[0][0] = true;
    rig.boxes->keys[2][0] = true;
    rig.tick(2);
    QCOMPARE(rig->stateCause(0), 1);
    QCOMPARE(rig->stateChangedAt(0), qint64(4));
    QCOMPARE(rig->stateChangedAt(1), qint64(0));
    rig.boxes->keys[0][0] = false;
    rig.boxes->keys[1][0] = true;
    rig.tick();
    QVERIFY(!rig->stateSet(0));
    QCOMPARE(rig->stateCause(0), 2);
    QCOMPARE(rig->stateChangedAt(0), qint64(6));
    rig->setState(0, true);
    QCOMPARE(rig->stateCause(0), 0);
    rig->reset();
    QCOMPARE(rig->tickCount(), qint64(0));
    QCOMPARE(rig->stateChangedAt(0), qint64(0));
}

void TestSimEngine::traceOfAKnownRun()
{
    // Key 1 sets state 1 (event "On") and starts timer 1 for two ticks; key
    // 2 clears it (an event without a name). State 1 drives LED 1 and LX1
    // output 1, which switches channel 1 of LX1-1.
    Image img;
    img.timers = {4};
    img.events = {on({{KEY, 1, P, NONE}}, {1}, {}, {1}), on({{KEY, 2, P, NONE}}, {}, {1})};
    img.states = {State{1, {1}, {}}};
    img.lx1 = {{0x01, 0, 0, 0, 0, 0, 0, 0}};
    SimNames names;
    names.states = {QStringLiteral("Lamp state")};
    names.timers = {QStringLiteral("T1")};
    names.outputs = {QStringLiteral("Out, \"one\"")};
    for (int i = 1; i <= 32; ++i)
        names.leds << QStringLiteral("LED %1").arg(i);
    names.events = {QStringLiteral("On"), QString()};
    Rig rig(img);
    SimTrace trace(names);
    auto tick = [&] {
        rig.tick();
        trace.record(*rig.engine);
    };
    tick();
    rig.boxes->keys[0][0] = true;
    tick();
    rig.boxes->keys[0][0] = false;
    tick();
    tick();
    rig.boxes->keys[1][0] = true;
    tick();
    tick();

    const QStringList csv = QString::fromUtf8(trace.csv()).split(QLatin1Char('\n'));
    const QStringList expected = {
        "tick,seconds,kind,name,value,cause",
        "2,0.02,state,Lamp state,1,On",
        "2,0.02,timer,T1,1,",
        "2,0.02,output,\"Out, \"\"one\"\"\",1,",
        "2,0.02,led,LED 1,1,",
        "2,0.02,lx1,LX1-1.1,1,",
        "4,0.04,timer,T1,0,",
        "5,0.05,state,Lamp state,0,event 2",
        "5,0.05,output,\"Out, \"\"one\"\"\",0,",
        "5,0.05,led,LED 1,0,",
        "5,0.05,lx1,LX1-1.1,0,",
        "",
    };
    QCOMPARE(csv.size(), expected.size());
    for (int i = 0; i < csv.size(); ++i)
        QCOMPARE(csv[i], expected[i]);

    // VCD: the state is variable "!", the timer '"'; the changes after the
    // initial values, then the end of the run.
    const QString vcd = QString::fromUtf8(trace.vcd());
    QVERIFY(vcd.contains(QStringLiteral("$timescale 10ms $end")));
    QVERIFY(vcd.contains(QStringLiteral("$scope module states $end\n$var wire 1 ! Lamp_state $end\n$upscope $end")));
    QVERIFY(vcd.contains(QStringLiteral("$var wire 1 # Out___one_ $end")));
    const QStringList changes = vcd.section(QStringLiteral("$dumpvars\n"), 1)
                                    .section(QStringLiteral("$end\n"), 1)
                                    .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(changes,
             QStringList({"#2", "1!", "1\"", "1#", "1$", "1D", "#4", "0\"", "#5", "0!", "0#", "0$", "0D", "#6"}));

    // The timing diagram: both formats drawn, the names in the SVG, the
    // shade of a high level in the PNG.
    const QByteArray svg = simPlot(trace, SimPlotFormat::Svg);
    QVERIFY(svg.startsWith("<?xml") && svg.contains("<svg"));
    QVERIFY(svg.contains("Lamp state") && svg.contains("LX1-1.1") && !svg.contains("LED 2<"));
    const QImage png = QImage::fromData(simPlot(trace, SimPlotFormat::Png), "PNG");
    QVERIFY(!png.isNull());
    QVERIFY(png.width() > 900 && png.height() > 5 * 22);
    int shaded = 0;
    for (int y = 0; y < png.height(); ++y)
        for (int x = 0; x < png.width(); ++x)
            shaded += png.pixel(x, y) == qRgb(120, 200, 120);
    QVERIFY(shaded > 100);
}

void TestSimEngine::levelsBeforeAnyChange()
{
    // Levels kept at checkpoints must equal the last value a plain scan back
    // finds, at every index over several checkpoints, for signals that change
    // often, rarely (once early) and never.
    SimNames names;
    for (int i = 0; i < 70; ++i)  // more than one word of levels
        names.states << QStringLiteral("S%1").arg(i);
    SimTrace trace(names);
    int first = 0;
    while (trace.signalList()[size_t(first)].name != QStringLiteral("S0"))
        ++first;
    quint32 seed = 7;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, seed >> 16; };
    QVERIFY(trace.recordReported(SimSignal::Kind::State, 69, true, 1));  // never again
    for (int i = 0; i < 9000; ++i)
        QVERIFY(trace.recordReported(SimSignal::Kind::State, int(next() % 60), next() & 1, 2 + i));
    const std::vector<SimChange> &all = trace.changes();
    std::vector<int> rows;
    for (int r = 0; r < 70; ++r)
        rows.push_back(first + r);
    for (size_t index = 0; index <= all.size(); index += (index % 4096 < 3 || index % 4096 > 4093) ? 1 : 97) {
        const std::vector<bool> got = trace.levelsBefore(index, rows);
        for (int r = 0; r < 70; ++r) {
            bool want = false;
            for (size_t c = index; c-- > 0;)
                if (all[c].signal == rows[size_t(r)]) {
                    want = all[c].value;
                    break;
                }
            QVERIFY2(got[size_t(r)] == want, qPrintable(QStringLiteral("S%1 before change %2").arg(r).arg(index)));
        }
    }
    QVERIFY(trace.levelsBefore(all.size(), {first + 69})[0]);
    QVERIFY(!trace.levelsBefore(0, {first + 69})[0]);
}

void TestSimEngine::plotShowsShortPulsesAndTheLastChange()
{
    // Key 1 SP sets the state, key 2 P clears it. In a run of 50000 ticks a
    // press lasts one tick; key 2 is held on the very last tick.
    Image img;
    img.events = {on({{KEY, 1, SP, NONE}}, {1}), on({{KEY, 2, P, NONE}}, {}, {1})};
    img.states = {State{}};
    SimNames names;
    names.keys = {QStringLiteral("K1"), QStringLiteral("K2")};
    names.states = {QStringLiteral("S")};
    Rig rig(img);
    SimTrace trace(names);
    constexpr int kTicks = 50000;
    for (int t = 1; t <= kTicks; ++t) {
        rig.boxes->keys[0][1] = t == kTicks / 2;
        rig.boxes->keys[1][0] = t == kTicks;
        trace.recordInputs(*rig.boxes, *rig.engine);
        rig.tick();
        trace.record(*rig.engine);
    }
    QCOMPARE(trace.changedSignals().size(), size_t(3));  // K1 SP, K2 P, S
    QCOMPARE(trace.changes().back().tick, qint64(kTicks));
    QVERIFY(trace.vcd().contains(" K1_SP $end") && trace.vcd().contains(" K2_P $end"));

    // Rows from the top: 10 + 22 * row; a high level is shaded 4 to 18 below.
    const QImage png = QImage::fromData(simPlot(trace, SimPlotFormat::Png), "PNG");
    QVERIFY(!png.isNull());
    // Halfway up a row only the edges (black) and the shade cross it.
    auto span = [&png](int row, int *shaded) {
        int first = -1, last = -1;
        *shaded = 0;
        for (int x = 0; x < png.width(); ++x) {
            const QRgb c = png.pixel(x, 10 + 22 * row + 11);
            *shaded += c == qRgb(120, 200, 120);
            if (x > 100 && (c == qRgb(0, 0, 0) || c == qRgb(120, 200, 120)))
                (first < 0 ? first : last) = x;
        }
        return last - first;
    };
    int shaded = 0;
    QVERIFY2(span(0, &shaded) >= 2, "a one-tick press is at least 2 pixels wide");
    QVERIFY2(span(1, &shaded) >= 2 && shaded >= 1, "a change at the last tick shows its new level");
    span(2, &shaded);
    QVERIFY(shaded > 400);  // set from the middle to the end
}

void TestSimEngine::framesDriveCanInputsAndOutputsBecomeFrames()
{
    using simtest::CanEntry;
    constexpr uint8_t EQ = 1, GT = 3, KEYED = 5, LT_SIGNED = 129;
    Image image;
    image.receive = {{0x123, false}, {0x200, true}};
    image.transmit = {0x300};
    image.canInputs = {CanEntry{0, false, 1, GT, 3200}, CanEntry{0, true, 3, EQ, 5}, CanEntry{0, true, 1, KEYED, 0},
                       CanEntry{1, false, 2, LT_SIGNED, 0}};
    image.canOutputs = {CanEntry{0, false, 1, 0, 0x1234}, CanEntry{0, true, 2, 0, 0xAB}};
    image.events = {on({{CAN, 1, 0, NONE}}, {1}), on({{CAN, 2, 0, NONE}}, {}, {1}), on({{CAN, 3, 0, NONE}}, {2}),
                    on({{CAN, 4, 0, NONE}}, {3})};
    image.states = {State{0, {}, {1}}, State{0, {}, {2}}, State{}};
    Rig rig(image);
    rig->setCanFrames(true);
    QCOMPARE(rig->canOutputFrames().size(), size_t(1));
    QCOMPARE(rig->canOutputFrames()[0].identifier, uint16_t(0x300));
    QVERIFY(!rig->canInputFromFrames(2));  // CAN Key
    QVERIFY(rig->canInputFromFrames(3));

    // A frame too short for byte 3 leaves input 2 as it was; input 1 reads word 1.
    const uint8_t rpm[] = {0x0C, 0x81};  // 3201
    QCOMPARE(rig->feedFrame(0x123, false, false, rpm, 2), 1);
    QVERIFY(rig->canInputResult(0));
    QVERIFY(!rig->stateSet(0));  // seen by the next tick
    rig.tick();
    QVERIFY(rig->stateSet(0));
    QVERIFY(rig->canOutputOn(0));
    QCOMPARE(rig->canOutputFramesChangedAt(), qint64(1));
    std::array<uint8_t, 8> want{0x12, 0x34};
    QCOMPARE(rig->canOutputFrames()[0].data, want);

    // Extended and remote frames with the same identifier are not for it.
    const uint8_t low[] = {0x00, 0x01};
    QCOMPARE(rig->feedFrame(0x123, true, false, low, 2), 0);
    QCOMPARE(rig->feedFrame(0x123, false, true, low, 2), 0);
    QVERIFY(rig->canInputResult(0));

    // A CAN Key input keeps its box; the later output in table order wins byte 2.
    rig.boxes->canInputs[2] = true;
    rig.tick();
    QVERIFY(rig->stateSet(1));
    want = {0x12, 0xAB};
    QCOMPARE(rig->canOutputFrames()[0].data, want);
    QCOMPARE(rig->canOutputsOnFrame(0), (std::vector<int>{0, 1}));

    // Boxes of frame-decided inputs count only without frames.
    rig.boxes->canInputs[1] = true;
    rig.tick();
    QVERIFY(rig->stateSet(0));
    rig->setCanFrames(false);
    rig.tick();
    QVERIFY(!rig->stateSet(0));
    rig->setCanFrames(true);

    // An override holds until the next frame for its identifier.
    QVERIFY(rig->overrideCanInput(0, false));
    QVERIFY(!rig->overrideCanInput(2, true));
    QVERIFY(!rig->canInputResult(0));
    const uint8_t again[] = {0x0D, 0x00, 0x05};
    rig->feedFrame(0x123, false, false, again, 3);
    QVERIFY(rig->canInputResult(0));
    QVERIFY(rig->canInputResult(1));

    // A value typed for a word: the last frame (zeros before the first), in
    // the identifier's byte order (little-endian here), -1 < 0 signed.
    QVERIFY(!rig->canInputResult(3));
    rig->setCanValue(0x200, can::Channel{false, 2}, 0xFFFF);
    QVERIFY(rig->canInputResult(3));
    rig->setCanValue(0x200, can::Channel{false, 2}, 0x0102);
    QVERIFY(!rig->canInputResult(3));
    const SimEngine::LastFrame &last = rig->lastFrame(0x200);
    QCOMPARE(int(last.length), 8);
    QCOMPARE(int(last.data[2]), 0x02);
    QCOMPARE(int(last.data[3]), 0x01);
    rig->setCanValue(0x123, can::Channel{true, 1}, 0x77);  // keeps the rest of the last frame
    QCOMPARE(int(rig->lastFrame(0x123).length), 3);
    QCOMPARE(int(rig->lastFrame(0x123).data[2]), 0x05);
}

QObject *makeEngineTests()
{
    return new TestSimEngine;
}

#include "tst_simengine.moc"
