// SetupView: the whole setup as plain values, references resolved by the
// store's rule. What the store itself reaches is asked through the store's C
// interface, independent of the view's reading code.
#include <QtTest>

#include <map>
#include <utility>

#include "crossrefs.h"
#include "largesetup.h"
#include "pmcolumns.h"
#include "pmmodel.h"
#include "schema.h"
#include "setupbuilder.h"
#include "setupfile.h"
#include "setupview.h"
#include "strata.h"
#include "testfiles.h"

using namespace kelda;
using kelda::test::SetupBuilder;

namespace {

using Target = std::pair<ItemType, int>;

// Every cell of every table of the model, compared with the view's; how
// many were compared (0 after the first that differs).
int sameCells(const SetupView &v, PMModel &m)
{
    int cells = 0;
    for (int mode = 0; mode < kModeCount; ++mode) {
        m.setMode(mode);
        for (int row = 0; row < m.rowCount(); ++row)
            for (int col = 0; col < m.columnCount(); ++col, ++cells)
                if (v.cell(mode, row, col) != m.data(m.index(row, col))) {
                    qWarning("mode %d row %d column %d: %s (view) != %s (model)", mode, row, col,
                             qPrintable(v.cell(mode, row, col).toString()),
                             qPrintable(m.data(m.index(row, col)).toString()));
                    return 0;
                }
    }
    return cells;
}

bool toItem(StoreSession s, ItemType type, int row)
{
    return STRATA_GotoRoot(s) && STRATA_OpenItem(toU16(ItemType::Setup), 0, s)
        && STRATA_OpenItem(toU16(type), uint16_t(row), s);
}

bool down(StoreSession s, ItemType type, int index)
{
    return STRATA_OpenItem(toU16(type), uint16_t(index), s);
}

int rawCount(StoreSession s, ItemType type)
{
    uint16_t n = 0;
    return STRATA_GetItemCount(toU16(type), &n, s) ? n : 0;
}

// The store follows the record below the cursor: where it lands, if anywhere.
void follow(StoreSession s, const Use &use, std::map<Target, QList<Use>> &out)
{
    uint16_t type = 0, index = 0;
    if (STRATA_GotoReference(1, s) && STRATA_GetParentTID(&type, &index, s))
        out[{ItemType(type), int(index)}].append(use);
}

// Every record of the setup, followed by the store, grouped by what it reaches.
std::map<Target, QList<Use>> storeUses(StoreSession s)
{
    std::map<Target, QList<Use>> out;
    STRATA_GotoRoot(s);
    STRATA_OpenItem(toU16(ItemType::Setup), 0, s);
    const int events = rawCount(s, ItemType::Event), states = rawCount(s, ItemType::State);
    const int modules = rawCount(s, ItemType::Lx1Module);
    for (int ev = 0; ev < events; ++ev) {
        for (int k = 0; k < kEventInputCount; ++k)
            if (toItem(s, ItemType::Event, ev) && down(s, ItemType::RefEntry, k))
                follow(s, {Use::Kind::EventInput, ev, k}, out);
        for (int l = 0; l < kEventListCount; ++l) {
            const int n =
                toItem(s, ItemType::Event, ev) && down(s, ItemType::RefList, l) ? rawCount(s, ItemType::RefEntry) : 0;
            for (int e = 0; e < n; ++e)
                if (toItem(s, ItemType::Event, ev) && down(s, ItemType::RefList, l) && down(s, ItemType::RefEntry, e))
                    follow(s, {Use::Kind::EventList, ev, l, e}, out);
        }
    }
    for (int st = 0; st < states; ++st)
        for (int l = 0; l < kStateListCount; ++l) {
            const int n =
                toItem(s, ItemType::State, st) && down(s, ItemType::RefList, l) ? rawCount(s, ItemType::RefEntry) : 0;
            for (int e = 0; e < n; ++e)
                if (toItem(s, ItemType::State, st) && down(s, ItemType::RefList, l) && down(s, ItemType::RefEntry, e))
                    follow(s, {Use::Kind::StateList, st, l, e}, out);
        }
    for (int m = 0; m < modules; ++m)
        if (toItem(s, ItemType::Lx1Module, m))
            follow(s, {Use::Kind::PwmInput, m}, out);
    return out;
}

// A new record below the cursor naming (type, name), whether or not such an
// item exists; without a name value when name is null.
void putRecord(StoreSession s, ItemType type, const char *name)
{
    STRATA_DeleteItem(toU16(ItemType::Reference), 0, s);  // the old record, if any
    QVERIFY(STRATA_InsertItemBlocks(toU16(ItemType::Reference), 1, s) && down(s, ItemType::Reference, 0));
    const uint16_t t = toU16(type);
    QVERIFY(STRATA_InsertValue(toU16(ValueId::TargetType), &t, s));
    if (name)
        QVERIFY(STRATA_InsertValue(toU16(ValueId::Name), name, s));
}

// A setup with every shape of reference: event inputs of each kind, every
// event and state list, PWM inputs, and values in every table the view reads.
void buildEveryShape(PMModel &m)
{
    SetupBuilder b(m);
    const int t0 = b.timer(1.5), t1 = b.timer();
    const int ci = b.canInput(QStringLiteral("0x123"), QStringLiteral("Byte 2"), 7, QStringLiteral("Bit Match"));
    const int co = b.canOutput(QStringLiteral("0x456"), QStringLiteral("Word 2"), 9);
    const int s0 = b.state(), s1 = b.state(), lx = b.lx1Output();
    b.lx1Mask(lx, 2, 0x81);
    const int e0 = b.event(), e1 = b.event();
    QVERIFY(b.input(e0, 0, ItemType::KeypadKey, 3, "Long Press", "AND"));
    QVERIFY(b.input(e0, 1, ItemType::Timer, t1, "Running", "OR"));
    QVERIFY(b.input(e0, 2, ItemType::State, s1, "Set"));
    QVERIFY(b.input(e1, 0, ItemType::CanInput, ci, "-", "AND"));
    QVERIFY(b.input(e1, 1, ItemType::Switch, 4, "Low", "NONE"));
    QVERIFY(b.entry(Mode::Events, e0, int(EventList::StatesToSet), ItemType::State, s0));
    QVERIFY(b.entry(Mode::Events, e0, int(EventList::StatesToClear), ItemType::State, s1));
    QVERIFY(b.entry(Mode::Events, e0, int(EventList::TimersToStart), ItemType::Timer, t0));
    QVERIFY(b.entry(Mode::Events, e1, int(EventList::TimersToStop), ItemType::Timer, t0));
    QVERIFY(b.entry(Mode::States, s0, int(StateList::Lx2Leds), ItemType::Lx2Led, 5));
    QVERIFY(b.entry(Mode::States, s0, int(StateList::Lx1Outputs), ItemType::Lx1Output, lx));
    QVERIFY(b.entry(Mode::States, s1, int(StateList::CanOutputs), ItemType::CanOutput, co));
    QVERIFY(b.entry(Mode::States, s1, int(StateList::Lx2Leds), ItemType::Lx2Led, 5));
    m.setMode(int(Mode::Pwm));
    QVERIFY(m.setData(m.index(1, PwmCol::CanInput), m.itemName(ItemType::CanInput, ci)));
}

}  // namespace

class TestSetupView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QLocale::setDefault(QLocale::c()); }

    // Names, stored values and options of every table; every reference shape
    // resolved to its row; the cursor left where it was.
    void everyShape()
    {
        PMModel m;
        buildEveryShape(m);
        QVERIFY(toItem(m.session(), ItemType::Timer, 1));
        const SetupView v = SetupView::read(m.session());
        uint16_t type = 0, index = 0;
        QVERIFY(STRATA_GetParentTID(&type, &index, m.session()));
        QCOMPARE(std::make_pair(ItemType(type), int(index)), std::make_pair(ItemType::Timer, 1));

        QCOMPARE(v.names(ItemType::Timer), QStringList({"Timer 1", "Timer 2"}));
        QCOMPARE(v.count(ItemType::KeypadKey), kKeypadKeyCount);
        QCOMPARE(v.count(ItemType::Lx2Led), kLx2LedCount);
        QCOMPARE(v.timers.value(0).resetTicks, 300);
        QCOMPARE(v.canInputs.size(), 1);
        const ViewCanInput &in = v.canInputs.at(0);
        QCOMPARE(std::make_tuple(in.canId, in.byteSelect, in.canCompare, in.data), std::make_tuple(0x123, 2, 4, 7));
        const ViewCanOutput &out = v.canOutputs.at(0);
        QCOMPARE(std::make_tuple(out.canId, out.byteSelect, out.data), std::make_tuple(0x456, 12, 9));
        QCOMPARE(v.lx1Outputs.at(0).current, int(kDefaultLx1Current));
        QCOMPARE(v.lx1Outputs.at(0).masks, QByteArray::fromHex("0000810000000000"));
        for (int i = 0; i < kOptionCount; ++i)
            QCOMPARE(v.options[size_t(i)], std::optional<uint16_t>(kOptionDefaults[size_t(i)]));

        QCOMPARE(v.events.size(), 2);
        const ViewEvent &e0 = v.events.at(0);
        QCOMPARE(e0.priority, 1);
        const auto ref = [](const ViewRef &r) { return std::make_tuple(r.present, r.type, r.name, r.row); };
        QCOMPARE(ref(e0.inputs[0].ref), std::make_tuple(true, ItemType::KeypadKey, QString("Keypad 4"), 3));
        QCOMPARE(ref(e0.inputs[1].ref), std::make_tuple(true, ItemType::Timer, QString("Timer 2"), 1));
        QCOMPARE(ref(e0.inputs[2].ref), std::make_tuple(true, ItemType::State, QString("State 2"), 1));
        QCOMPARE(e0.inputs[0].condition, int(Condition::LongPress));
        QCOMPARE(std::make_pair(e0.inputs[0].combine, e0.inputs[1].combine),
                 std::make_pair(int(Combine::And), int(Combine::Or)));
        QCOMPARE(ref(v.events.at(1).inputs[1].ref), std::make_tuple(true, ItemType::Switch, QString("Switch 5"), 4));
        QCOMPARE(ref(e0.lists[int(EventList::TimersToStart)].value(0)),
                 std::make_tuple(true, ItemType::Timer, QString("Timer 1"), 0));
        QCOMPARE(ref(v.states.at(0).lists[int(StateList::Lx1Outputs)].value(0)),
                 std::make_tuple(true, ItemType::Lx1Output, QString("LX1 Output 1"), 0));
        QCOMPARE(ref(v.pwmInputs[1]), std::make_tuple(true, ItemType::CanInput, QString("CAN Input 1"), 0));
        QVERIFY(!v.pwmInputs[0].present);

        // Who uses what, and each use's own reference.
        QCOMPARE(v.usesOf(ItemType::Timer, 0),
                 QList<Use>({{Use::Kind::EventList, 0, 2, 0}, {Use::Kind::EventList, 1, 3, 0}}));
        QCOMPARE(v.usesOf(ItemType::Lx2Led, 5),
                 QList<Use>({{Use::Kind::StateList, 0, 0, 0}, {Use::Kind::StateList, 1, 0, 0}}));
        QCOMPARE(v.usesOf(ItemType::CanInput, 0),
                 QList<Use>({{Use::Kind::EventInput, 1, 0}, {Use::Kind::PwmInput, 1}}));
        for (const Use &use : v.usesOf(ItemType::State, 1))
            QCOMPARE(v.refOf(use)->row, 1);
        QVERIFY(v.usesOf(ItemType::Timer, 2).isEmpty());
        QVERIFY(!v.refOf({Use::Kind::EventList, 0, 2, 1}));
    }

    // Records that reach nothing keep what they store; no item counts them as a use.
    void unresolvedReferences()
    {
        PMModel m;
        SetupBuilder b(m);
        b.timer();
        const int ev = b.event(), st = b.state();
        QVERIFY(b.input(ev, 0, ItemType::Timer, 0, "Running", "AND"));
        QVERIFY(b.entry(Mode::Events, ev, int(EventList::TimersToStart)));  // an entry naming nothing
        QVERIFY(b.entry(Mode::States, st, int(StateList::Lx2Leds), ItemType::Lx2Led, 0));
        QVERIFY(b.entry(Mode::States, st, int(StateList::Lx2Leds), ItemType::Lx2Led, 1));
        StoreSession s = m.session();
        // Renamed behind the reference's back: the record keeps the old name.
        QVERIFY(toItem(s, ItemType::Timer, 0) && STRATA_InsertValue(toU16(ValueId::Name), "Gone", s));
        // A record without a name, and one naming a type the setup lacks.
        QVERIFY(toItem(s, ItemType::State, st) && down(s, ItemType::RefList, 0) && down(s, ItemType::RefEntry, 0));
        putRecord(s, ItemType::Lx2Led, nullptr);
        QVERIFY(toItem(s, ItemType::State, st) && down(s, ItemType::RefList, 0) && down(s, ItemType::RefEntry, 1));
        putRecord(s, ItemType(999), "LX2 LED 2");

        const SetupView v = SetupView::read(s);
        const ViewRef &input = v.events.at(0).inputs[0].ref;
        QCOMPARE(std::make_tuple(input.present, input.name, input.row, input.resolved()),
                 std::make_tuple(true, QString("Timer 1"), -1, false));
        QVERIFY(!v.events.at(0).inputs[1].ref.present);
        QCOMPARE(v.events.at(0).lists[int(EventList::TimersToStart)].size(), 1);
        QVERIFY(!v.events.at(0).lists[int(EventList::TimersToStart)].at(0).resolved());
        QCOMPARE(v.states.at(0).lists[0].size(), 2);
        QCOMPARE(v.states.at(0).lists[0].at(1).type, ItemType(999));
        QVERIFY(!v.states.at(0).lists[0].at(1).resolved());
        QVERIFY(v.usesOf(ItemType::Timer, 0).isEmpty());
        QVERIFY(v.usesOf(ItemType::Lx2Led, 1).isEmpty());
        QCOMPARE(v.resolve(ItemType::Timer, QStringLiteral("Timer 1")), -1);
        QCOMPARE(v.resolve(ItemType(999), QStringLiteral("LX2 LED 2")), -1);
        QCOMPARE(storeUses(s).size(), size_t(0));
    }

    // Older files may hold equal names: a reference reaches the first; an
    // item without a name is never reached, even by a record naming "".
    void duplicateNames()
    {
        PMModel m;
        SetupBuilder b(m);
        b.timer();
        b.timer();
        b.timer();
        const int ev = b.event();
        StoreSession s = m.session();
        QVERIFY(toItem(s, ItemType::Timer, 2) && STRATA_InsertValue(toU16(ValueId::Name), "Timer 1", s));
        QVERIFY(b.input(ev, 0, ItemType::Timer, 2, "Running", "AND"));  // names "Timer 1": reaches row 0
        QVERIFY(b.entry(Mode::Events, ev, int(EventList::TimersToStop), ItemType::Timer, 1));
        const SetupView v = SetupView::read(s);
        QCOMPARE(v.names(ItemType::Timer), QStringList({"Timer 1", "Timer 2", "Timer 1"}));
        QCOMPARE(v.resolve(ItemType::Timer, QStringLiteral("Timer 1")), 0);
        QCOMPARE(v.events.at(0).inputs[0].ref.row, 0);
        QCOMPARE(v.usesOf(ItemType::Timer, 0), QList<Use>({{Use::Kind::EventInput, 0, 0}}));
        QVERIFY(v.usesOf(ItemType::Timer, 2).isEmpty());

        // Two unnamed timers, then one named "": only the named one is reached.
        QVERIFY(STRATA_GotoRoot(s) && STRATA_OpenItem(toU16(ItemType::Setup), 0, s));
        QVERIFY(STRATA_InsertItemBlocks(toU16(ItemType::Timer), 2, s));
        QVERIFY(toItem(s, ItemType::Timer, 4) && STRATA_InsertValue(toU16(ValueId::Name), "", s));
        QVERIFY(toItem(s, ItemType::Event, ev) && down(s, ItemType::RefEntry, 1));
        putRecord(s, ItemType::Timer, "");
        const SetupView w = SetupView::read(s);
        QCOMPARE(w.names(ItemType::Timer).mid(3), QStringList({"", ""}));
        QCOMPARE(w.events.at(0).inputs[1].ref.row, 4);
        QCOMPARE(w.usesOf(ItemType::Timer, 4), QList<Use>({{Use::Kind::EventInput, 0, 1}}));
        QVERIFY(w.usesOf(ItemType::Timer, 3).isEmpty());
        QCOMPARE(storeUses(s)[Target(ItemType::Timer, 4)], w.usesOf(ItemType::Timer, 4));
    }

    // usesOf lists exactly what the store reaches when it follows each record,
    // records in lists of another type included.
    void usesAgreeWithTheStore()
    {
        PMModel m;
        buildEveryShape(m);
        StoreSession s = m.session();
        // A timer in a state's LED list, and a namesake state the lists cannot reach.
        QVERIFY(toItem(s, ItemType::State, 1) && down(s, ItemType::RefList, 0));
        QVERIFY(STRATA_InsertItemBlocks(toU16(ItemType::RefEntry), 1, s) && down(s, ItemType::RefEntry, 1));
        putRecord(s, ItemType::Timer, "Timer 2");
        QVERIFY(toItem(s, ItemType::State, 0) && STRATA_InsertValue(toU16(ValueId::Name), "State 2", s));

        const std::map<Target, QList<Use>> expected = storeUses(s);
        QVERIFY(expected.size() >= 9);
        const SetupView v = SetupView::read(s);
        int checked = 0;
        for (ItemType type : {ItemType::KeypadKey, ItemType::Switch, ItemType::CanInput, ItemType::Timer,
                              ItemType::State, ItemType::Lx2Led, ItemType::Lx1Output, ItemType::CanOutput}) {
            for (int row = 0; row < v.count(type); ++row) {
                const auto it = expected.find({type, row});
                QCOMPARE(v.usesOf(type, row), it == expected.end() ? QList<Use>() : it->second);
                ++checked;
            }
        }
        const int tables = kKeypadKeyCount + kSwitchCount + kLx2LedCount + 1 + 2 + 2 + 1 + 1;
        QCOMPARE(checked, tables);
        const Use misplaced{Use::Kind::StateList, 1, 0, 1};
        QCOMPARE(v.usesOf(ItemType::Timer, 1).last(), misplaced);
        // findUses (Remove, "Where Used", kelda-cli uses) leaves a record out
        // of place alone, and agrees with the view on everything else.
        for (const auto &[target, uses] : expected) {
            QList<Use> inPlace = uses;
            inPlace.removeAll(misplaced);
            QCOMPARE(findUses(s, target.first, target.second), inPlace);
        }
    }

    // Options and priorities as the options page and the events table read
    // them, stored values and missing ones alike.
    void optionsAndPriorities()
    {
        PMModel m;
        SetupBuilder b(m);
        b.event();
        b.event();
        StoreSession s = m.session();
        // Odd CAN speed code, no rebroadcast value, no priority on event 2.
        const uint16_t oddSpeed = 0x77;
        QVERIFY(toItem(s, ItemType::Option, int(OptionIndex::CanSpeed))
                && STRATA_InsertValue(toU16(ValueId::Data), &oddSpeed, s));
        // The last option and the last event again, bare.
        static_assert(int(OptionIndex::RebroadcastId) == kOptionCount - 1);
        QVERIFY(STRATA_GotoRoot(s) && STRATA_OpenItem(toU16(ItemType::Setup), 0, s));
        QVERIFY(STRATA_DeleteItem(toU16(ItemType::Option), kOptionCount - 1, s)
                && STRATA_InsertItemBlocks(toU16(ItemType::Option), 1, s));
        QVERIFY(STRATA_DeleteItem(toU16(ItemType::Event), 1, s)
                && STRATA_InsertItemBlocks(toU16(ItemType::Event), 1, s));
        const uint16_t speed = kCanSpeeds[2].code;
        const SetupView v = SetupView::read(s);
        QCOMPARE(std::make_pair(v.events.at(0).priorityStored, v.events.at(1).priorityStored),
                 std::make_pair(true, false));
        for (int i = 0; i < kOptionCount; ++i)
            QCOMPARE(v.option(i), m.option(i));
        QVERIFY(toItem(s, ItemType::Option, int(OptionIndex::CanSpeed))
                && STRATA_InsertValue(toU16(ValueId::Data), &speed, s));
        QCOMPARE(SetupView::read(s).option(int(OptionIndex::CanSpeed)), 2.0);
        QCOMPARE(SetupView::read(s).option(int(OptionIndex::RebroadcastId)), double(kRebroadcastAbsent));
        QCOMPARE(SetupView::read(nullptr).option(int(OptionIndex::RebroadcastId)), 0.0);  // no option item at all
        QCOMPARE(m.eventPriority(1), 2);  // the table's own default
    }

    // Every cell of every table reads as the column table reads it through
    // the model: stored values, inputs out of the chain, odd codes.
    void cellsAsTheColumnTable()
    {
        PMModel m;
        buildEveryShape(m);
        StoreSession s = m.session();
        // A condition code beyond its input's range, and an event without
        // a priority or inputs (an older file's).
        const uint16_t odd = 40;
        QVERIFY(toItem(s, ItemType::Event, 0) && down(s, ItemType::RefEntry, 1)
                && STRATA_InsertValue(toU16(ValueId::Condition), &odd, s));
        QVERIFY(STRATA_GotoRoot(s) && STRATA_OpenItem(toU16(ItemType::Setup), 0, s)
                && STRATA_InsertItemBlocks(toU16(ItemType::Event), 1, s));
        // A CAN input and a CAN output without any value.
        QVERIFY(STRATA_InsertItemBlocks(toU16(ItemType::CanInput), 1, s)
                && STRATA_InsertItemBlocks(toU16(ItemType::CanOutput), 1, s));
        const SetupView v = SetupView::read(s);  // before the model repairs anything
        QVERIFY(sameCells(v, m) > 150);
        QCOMPARE(v.cell(int(Mode::Events), 2, EventCol::Priority), QVariant(3));
        QCOMPARE(v.cell(int(Mode::Events), 0, EventCol::type(1)), QVariant(QStringLiteral("Running")));
        QVERIFY(!v.cell(int(Mode::Timers), 2, TimerCol::Name).isValid());
        QCOMPARE(v.cell(int(Mode::CanOutputs), 1, CanOutputCol::CanCode), QVariant(QStringLiteral("0x1234")));
    }

    // The model's event input texts are the events table's cells; inputs it
    // lacks read "-" (the third input has no "With"), and showing an input
    // puts a condition out of its target's range back in range, unmodified.
    void inputTextsAreTheTablesCells()
    {
        PMModel m;
        buildEveryShape(m);
        m.setMode(int(Mode::Events));
        for (int k = 0; k < kEventInputCount; ++k) {
            QCOMPARE(m.eventInputText(0, k), m.data(m.index(0, EventCol::input(k))).toString());
            QCOMPARE(m.eventConditionText(0, k), m.data(m.index(0, EventCol::type(k))).toString());
        }
        QCOMPARE(m.eventCombineText(0, 0), QStringLiteral("AND"));
        QCOMPARE(m.eventInputText(0, 2), QStringLiteral("ST: State 2"));
        for (int k : {-1, kEventInputCount})
            QCOMPARE(m.eventInputText(0, k) + m.eventConditionText(0, k), QStringLiteral("--"));
        QCOMPARE(m.eventCombineText(0, kEventInputCount - 1), QStringLiteral("-"));
        QCOMPARE(m.eventCombineText(0, -1), QStringLiteral("-"));
        m.setMode(int(Mode::Pwm));
        QCOMPARE(m.data(m.index(1, PwmCol::CanInput)).toString(), m.itemName(ItemType::CanInput, 0));
        QCOMPARE(m.data(m.index(0, PwmCol::CanInput)).toString(), QStringLiteral("NONE"));

        const uint16_t odd = 40;
        QVERIFY(toItem(m.session(), ItemType::Event, 0) && down(m.session(), ItemType::RefEntry, 1)
                && STRATA_InsertValue(toU16(ValueId::Condition), &odd, m.session()));
        m.setModified(false);
        QCOMPARE(SetupView::read(m.session()).events.at(0).inputs[1].condition, 40);
        QCOMPARE(m.eventInputText(0, 1), QStringLiteral("TI: Timer 2"));
        const int repaired = SetupView::read(m.session()).events.at(0).inputs[1].condition;
        QCOMPARE(PMModel::conditionText(repaired), m.eventConditionText(0, 1));
        QVERIFY(repaired != 40 && !m.isModified());
    }

    // Opening and saving say what failed on which file, in the words users
    // have always seen; the reason alone is the same for both kinds of open.
    void failureWordings()
    {
        QTemporaryDir dir;
        PMModel m;
        SetupFile f;
        const QString odd = dir.filePath(QStringLiteral("\u0141.kelda"));
        const QString cannot = QStringLiteral("the file name contains characters the setup store cannot handle; ");
        QVERIFY(!m.openSetup(odd) && !f.open(odd));
        QCOMPARE(m.lastError(), QStringLiteral("Could not open \"%1\": %2rename or move the file.").arg(odd, cannot));
        QCOMPARE(f.lastError(), m.lastError());
        QCOMPARE(f.errorString(), cannot + QStringLiteral("rename or move the file."));
        QVERIFY(!m.saveSetup(odd));
        QCOMPARE(m.lastError(), QStringLiteral("Could not save \"%1\": %2choose another name.").arg(odd, cannot));
        QVERIFY(!m.openSetup(QString()) && !f.open(QString()));
        QCOMPARE(f.lastError(), QStringLiteral("Could not open the setup: no file name was given."));
        QCOMPARE(m.lastError(), f.lastError());
        const QString bare = dir.filePath(QStringLiteral("bare.kelda"));
        {
            StoreSession s = nullptr;
            QVERIFY(STRATA_NewSession(&s) && STRATA_SaveSession(bare.toLatin1().constData(), s));
            STRATA_CloseSession(s);
        }
        QVERIFY(!f.open(bare));
        QCOMPARE(f.lastError(),
                 QStringLiteral("Could not open \"%1\": the file is a store file but holds no setup.").arg(bare));
        QVERIFY(f.create() && f.errorString().isEmpty() && f.lastError().isEmpty());
    }

    // The largest setup: every cell of every table, as the table model shows it.
    void cellsOfTheLargestSetup()
    {
        PMModel m;
        QVERIFY(kelda::bench::buildLargeSetup(m));
        const SetupView v = SetupView::read(m.session());
        QVERIFY(v.events.size() > 200);
        QVERIFY(sameCells(v, m) > 9000);
    }

    // A file opened read-only reads as the editor opens it (older files
    // upgraded in memory), fails with the editor's words, and is never written.
    void setupFiles()
    {
        QTemporaryDir dir;
        const QString old = dir.filePath(QStringLiteral("old.kelda"));
        {
            StoreSession s = nullptr;
            QVERIFY(STRATA_NewSession(&s));
            QVERIFY(STRATA_InsertItemBlocks(toU16(ItemType::Setup), 1, s) && down(s, ItemType::Setup, 0));
            QVERIFY(STRATA_InsertItemBlocks(toU16(ItemType::KeypadKey), 3, s));
            QVERIFY(STRATA_InsertItemBlocks(toU16(ItemType::Option), 2, s));
            QVERIFY(STRATA_SaveSession(old.toLatin1().constData(), s));
            STRATA_CloseSession(s);
        }
        QFile file(old);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        file.close();
        SetupFile f;
        QVERIFY(f.open(old));
        PMModel m;
        QVERIFY(m.openSetup(old));
        const SetupView fromFile = f.view(), fromModel = SetupView::read(m.session());
        for (ItemType t :
             {ItemType::KeypadKey, ItemType::Switch, ItemType::Lx2Led, ItemType::Lx1Module, ItemType::Option})
            QCOMPARE(fromFile.names(t), fromModel.names(t));
        QCOMPARE(fromFile.options, fromModel.options);
        QCOMPARE(fromFile.count(ItemType::KeypadKey), kKeypadKeyCount);
        QCOMPARE(f.fileName(), old);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), bytes);

        // Failures: the model's words, and the open setup stays.
        const QString bare = dir.filePath(QStringLiteral("bare.kelda"));
        {
            StoreSession s = nullptr;
            QVERIFY(STRATA_NewSession(&s) && STRATA_SaveSession(bare.toLatin1().constData(), s));
            STRATA_CloseSession(s);
        }
        const QString text = dir.filePath(QStringLiteral("text.kelda"));
        QVERIFY(kelda::test::writeFile(text, "not a setup"));
        for (const QString &path : {bare, text, dir.filePath(QStringLiteral("missing.kelda")),
                                    dir.filePath(QStringLiteral("\u0141.kelda")), QString()}) {
            QVERIFY(!f.open(path));
            QVERIFY(!m.openSetup(path));
            QCOMPARE(f.lastError(), m.lastError());
            QCOMPARE(f.errorString(), m.errorString());
            // The reason alone: the caller says what failed and where.
            QVERIFY2(!f.errorString().isEmpty() && !f.lastError().isEmpty()
                         && (path.isEmpty() || !f.errorString().contains(path)),
                     qPrintable(f.errorString()));
            QVERIFY(f.lastError().endsWith(f.errorString()));
            QCOMPARE(f.fileName(), old);
        }
        SetupFile made;
        QVERIFY(made.create() && made.fileName().isEmpty());
        QCOMPARE(made.view().names(ItemType::Switch), SetupView::read(PMModel().session()).names(ItemType::Switch));
    }

    void emptySessions()
    {
        const SetupView none = SetupView::read(nullptr);
        QVERIFY(none.events.isEmpty() && none.names(ItemType::Timer).isEmpty());
        QVERIFY(none.usesOf(ItemType::Timer, 0).isEmpty());
        StoreSession bare = nullptr;
        QVERIFY(STRATA_NewSession(&bare));
        const SetupView empty = SetupView::read(bare);
        QCOMPARE(empty.count(ItemType::KeypadKey), 0);
        QVERIFY(!empty.options[0].has_value());
        STRATA_CloseSession(bare);
    }
};

QTEST_GUILESS_MAIN(TestSetupView)
#include "tst_setupview.moc"
