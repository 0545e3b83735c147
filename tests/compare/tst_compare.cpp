// The comparison engine on small setups built as a user would build them:
// each kind of difference, how items are matched, the options, the LX1 PWM
// table and the images. The JSON form is checked through kelda-cli.
#include <QLocale>
#include <QTemporaryDir>
#include <QtTest>

#include "comparereport.h"
#include "pmmodel.h"
#include "setupbuilder.h"
#include "setupcompare.h"
#include "storecursor.h"

using namespace kelda;
using namespace kelda::compare;
using kelda::test::SetupBuilder;

namespace {

// Every record as "table|kind|name|message"; the image's last, as the text form puts it.
QStringList lines(const Comparison &c, bool withNotes = false)
{
    QStringList out;
    for (const Difference &d : c.differences)
        if (d.counts() || withNotes)
            out << QStringList({d.table, kindName(d.kind), d.name, d.message}).join('|');
    return out;
}

QString imageLine(const Comparison &c)
{
    return QStringLiteral("Image|image||the compiled images ") + c.imageMessage;
}

// Timers 1 (1 s) and 2, event "Go" on key 1 setting State 1 and starting Timer 1,
// State 1 driving LED 3 and CAN output 1, a CAN input.
void base(PMModel &m)
{
    SetupBuilder b(m);
    b.timer(1.0);
    b.timer(0.5);
    b.state();
    b.canOutput(QStringLiteral("0x321"));
    b.canInput(QStringLiteral("0x123"), QStringLiteral("Byte 2"), 9);
    const int ev = b.event();
    b.set(Mode::Events, ev, EventCol::Name, QStringLiteral("Go"));
    b.input(ev, 0, QStringLiteral("KP: Keypad 1"), QStringLiteral("Pressed"));
    b.entry(Mode::Events, ev, int(EventList::StatesToSet), QStringLiteral("State 1"));
    b.entry(Mode::Events, ev, int(EventList::TimersToStart), QStringLiteral("Timer 1"));
    b.entry(Mode::States, 0, int(StateList::Lx2Leds), QStringLiteral("LX2 LED 3"));
    b.entry(Mode::States, 0, int(StateList::CanOutputs), QStringLiteral("CAN Output 1"));
}

}  // namespace

class TestCompare : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QLocale::setDefault(QLocale::c()); }

    void identicalSetups()
    {
        PMModel a, b;
        base(a);
        base(b);
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("a.kelda"));
        QVERIFY(a.saveSetup(file));
        PMModel opened;  // a setup saved and opened again is the same setup
        QVERIFY(opened.openSetup(file));
        const Comparison c = compareSetups(opened.session(), b.session());
        QVERIFY(c.same());
        QVERIFY2(c.differences.isEmpty(), qPrintable(lines(c, true).join('\n')));
        QCOMPARE(c.image, ImageResult::Identical);
        QCOMPARE(c.imageMessage, QStringLiteral("identical (%1 bytes)").arg(c.oldImageBytes));
        QCOMPARE(toText(c), QStringLiteral("The setups are the same.\nCompiled images: %1\n").arg(c.imageMessage));
        QVERIFY(!opened.isModified());
    }

    void changedAddedRemovedRenamed()
    {
        PMModel a, b;
        base(a);
        base(b);
        SetupBuilder nb(b);
        nb.set(Mode::Timers, 0, TimerCol::ResetValue, 2.0);
        nb.set(Mode::CanInputs, 0, CanInputCol::WordByte, QStringLiteral("Word 3"));
        nb.set(Mode::CanInputs, 0, CanInputCol::CanCode, QStringLiteral("0x7FF"));
        b.setMode(int(Mode::Timers));
        QVERIFY(b.removeRows(1, 1));
        nb.set(Mode::Timers, nb.timer(3.25), TimerCol::Name, QStringLiteral("Horn"));
        nb.set(Mode::CanOutputs, 0, CanOutputCol::Name, QStringLiteral("Dash"));  // in place: the state follows
        nb.set(Mode::Keypad, 0, KeypadCol::Name, QStringLiteral("Start"));  // a fixed row: the event follows

        const Comparison c = compareSetups(a.session(), b.session());
        QCOMPARE(lines(c),
                 QStringList(
                     {"Keypad|renamed|Start|renamed key \"Keypad 1\" \u2192 \"Start\" (row 1)",
                      "CAN Inputs|changed|CAN Input 1|changed CAN input \"CAN Input 1\": CAN Code: 0x123 \u2192 0x7FF; "
                      "Word/Byte: Byte 2 \u2192 Word 3",
                      "Timers|changed|Timer 1|changed timer \"Timer 1\": Reset Value/s: 1 \u2192 2",
                      "Timers|removed|Timer 2|removed timer \"Timer 2\" (row 2)",
                      "Timers|added|Horn|added timer \"Horn\" (row 2): Reset Value/s: 3.25",
                      "CAN Outputs|renamed|Dash|renamed CAN output \"CAN Output 1\" \u2192 \"Dash\"", imageLine(c)}));
        const Difference &timer = c.differences[2];
        QCOMPARE(QList<int>({timer.mode, timer.oldRow, timer.newRow}), QList<int>({3, 0, 0}));
        QCOMPARE(timer.cells.size(), 1);
        QCOMPARE(QStringList({timer.cells[0].column, timer.cells[0].before, timer.cells[0].after}),
                 QStringList({"Reset Value/s", "1", "2"}));
        const Difference &removed = c.differences[3];
        QCOMPARE(QList<int>({removed.oldRow, removed.newRow}), QList<int>({1, -1}));
        QVERIFY(removed.cells.value(0).after.isNull());
        QCOMPARE(c.differences[5].oldName, QStringLiteral("CAN Output 1"));

        const QString text = toText(c);
        QVERIFY2(text.startsWith(QStringLiteral("Keypad\n  renamed key \"Keypad 1\"")), qPrintable(text));
        QVERIFY(text.contains(QStringLiteral("\nTimers\n  changed timer \"Timer 1\": Reset Value/s: 1 \u2192 2\n")));
        QVERIFY(text.endsWith(QStringLiteral("\nCompiled images: ") + c.imageMessage + QLatin1Char('\n')));

        // Renamed and changed at once is another item.
        PMModel d;
        base(d);
        SetupBuilder(d).set(Mode::Timers, 1, TimerCol::Name, QStringLiteral("Pump"));
        SetupBuilder(d).set(Mode::Timers, 1, TimerCol::ResetValue, 4.0);
        const Comparison cd = compareSetups(a.session(), d.session());
        QCOMPARE(lines(cd),
                 QStringList({"Timers|removed|Timer 2|removed timer \"Timer 2\" (row 2)",
                              "Timers|added|Pump|added timer \"Pump\" (row 2): Reset Value/s: 4", imageLine(cd)}));
    }

    void listEntriesAndEventInputs()
    {
        PMModel a, b;
        base(a);
        base(b);
        SetupBuilder na(a), nb(b);
        na.entry(Mode::Events, 0, int(EventList::TimersToStart), QStringLiteral("Timer 2"));
        nb.state();
        b.setMode(int(Mode::Events));
        QVERIFY(b.setListEntry(0, int(EventList::StatesToSet), 0, QStringLiteral("State 2")));
        nb.entry(Mode::Events, 0, int(EventList::TimersToStop), QStringLiteral("Timer 2"));
        nb.entry(Mode::Events, 0, int(EventList::TimersToStop));  // names nothing
        nb.input(0, 0, QStringLiteral("SW: Switch 4"), QStringLiteral("Low"), QStringLiteral("AND"));
        nb.entry(Mode::States, 0, int(StateList::Lx2Leds), QStringLiteral("LX2 LED 1"));
        nb.entry(Mode::Events, 0, int(EventList::TimersToStart), QStringLiteral("Timer 2"));
        nb.entry(Mode::Events, 0, int(EventList::TimersToStart), QStringLiteral("Timer 1"));
        b.setMode(int(Mode::Events));
        QVERIFY(b.removeListEntry(0, int(EventList::TimersToStart), 0));  // Timer 2, Timer 1 now

        const Comparison c = compareSetups(a.session(), b.session());
        // Input 2 comes into use with the join, still without a target.
        QCOMPARE(
            lines(c),
            QStringList(
                {"Events|changed|Go|changed event \"Go\": Input 1: KP: Keypad 1 \u2192 SW: Switch 4; Type 1: Pressed "
                 "\u2192 Low; With 1: NONE \u2192 AND; With 2: - \u2192 NONE; States to Set: + State 2, - State 1; "
                 "Timers to Start: order Timer 1, Timer 2 \u2192 Timer 2, Timer 1; Timers to Stop: + Timer 2, + -",
                 "States|changed|State 1|changed state \"State 1\": LX2 Outputs: + LX2 LED 1",
                 "States|added|State 2|added state \"State 2\" (row 2)", imageLine(c)}));
        const QList<ListChange> &e = c.differences[0].entries;
        QCOMPARE(e.size(), 3);
        QCOMPARE(e[0].added, QStringList({"State 2"}));
        QCOMPARE(e[0].removed, QStringList({"State 1"}));
        QVERIFY(e[1].reordered && e[1].added.isEmpty());
        QCOMPARE(e[1].after, QStringList({"Timer 2", "Timer 1"}));
    }

    void optionsAndPwm()
    {
        PMModel a, b;
        base(a);
        base(b);
        b.setOption(int(OptionIndex::CanSpeed), 1);
        b.setOption(int(OptionIndex::MinPressTime), 0.05);
        b.setOption(int(OptionIndex::RebroadcastId), 0x7D0);
        b.setOption(int(OptionIndex::FuseMaxRetries), 7);
        SetupBuilder nb(b);
        nb.set(Mode::Pwm, 1, PwmCol::CanInput, QStringLiteral("CAN Input 1"));
        // Module 1 is driven by the CAN input in both; its rename is no change of the module.
        SetupBuilder(a).set(Mode::Pwm, 0, PwmCol::CanInput, QStringLiteral("CAN Input 1"));
        nb.set(Mode::Pwm, 0, PwmCol::CanInput, QStringLiteral("CAN Input 1"));
        nb.set(Mode::CanInputs, 0, CanInputCol::Name, QStringLiteral("Pressure"));

        Comparison c = compareSetups(a.session(), b.session());
        QCOMPARE(lines(c),
                 QStringList({"CAN Inputs|renamed|Pressure|renamed CAN input \"CAN Input 1\" \u2192 \"Pressure\"",
                              "Options|changed|Minimum Press Time/s|Minimum Press Time/s: 0.01 \u2192 0.05",
                              "Options|changed|Max Number of Retries|Max Number of Retries: 5 \u2192 7",
                              "Options|changed|CAN Speed|CAN Speed: 1 Mhz \u2192 500 kHz",
                              "Options|changed|Rebroadcast Start Message|Rebroadcast Start Message: 0x600 \u2192 0x7D0",
                              "LX1 PWM|changed|LX1-2|changed LX1 module \"LX1-2\": CAN Input: NONE \u2192 Pressure",
                              imageLine(c)}));
        QCOMPARE(QList<int>({c.differences[3].mode, c.differences[3].newRow}), QList<int>({9, 6}));

        // A code the page cannot show is said as it is, not as the page's "1 Mhz".
        StoreCursor s(b.session());
        QVERIFY(s.item(ItemType::Option, int(OptionIndex::CanSpeed)) && s.setInt(ValueId::Data, 0x1234));
        c = compareSetups(a.session(), b.session());
        QCOMPARE(c.differences[3].cells.value(0).after, QStringLiteral("code 0x1234 (no CAN speed)"));
    }

    // Every option as its box shows it, one of each kind; a CAN speed and
    // a rebroadcast identifier without a stored value read as the page
    // reads them.
    void describedOptions()
    {
        PMModel m;
        m.setOption(int(OptionIndex::FuseResetTime), 12.5);
        m.setOption(int(OptionIndex::RebroadcastId), 0x7D);
        const QStringList shown = describeSetup(m.session()).filter(QStringLiteral("Options: "));
        QCOMPARE(shown,
                 QStringList({"Options: Minimum Press Time/s: 0.01", "Options: Double Press Time/s: 0.05",
                              "Options: Long Press Time/s: 1.00", "Options: Fuse Reset Time/s: 12.50",
                              "Options: Retry Time/s: 0.50", "Options: Max Number of Retries: 5",
                              "Options: CAN Speed: 1 Mhz", "Options: Rebroadcast Start Message: 0x07D"}));
        // Option items without values, as an older file may hold them.
        StoreSession bare = nullptr;
        QVERIFY(STRATA_NewSession(&bare));
        QVERIFY(STRATA_InsertItemBlocks(toU16(ItemType::Setup), 1, bare)
                && STRATA_OpenItem(toU16(ItemType::Setup), 0, bare)
                && STRATA_InsertItemBlocks(toU16(ItemType::Option), kOptionCount, bare));
        const QStringList absent = describeSetup(bare).filter(QStringLiteral("Options: "));
        STRATA_CloseSession(bare);
        QCOMPARE(
            absent.mid(4),
            QStringList({"Options: Retry Time/s: 0.00", "Options: Max Number of Retries: 0",
                         "Options: CAN Speed: 1 Mhz (no value stored)", "Options: Rebroadcast Start Message: 0x600"}));
    }

    void duplicateNamesAndMovedRows()
    {
        // Old files may name two timers alike; the editor cannot, so the store is written directly.
        PMModel a, b;
        for (PMModel *m : {&a, &b}) {
            SetupBuilder s(*m);
            s.timer(1.0);
            s.timer(2.0);
            s.timer(3.0);
            StoreCursor c(m->session());
            QVERIFY(c.item(ItemType::Timer, 2) && c.setText(ValueId::Name, QStringLiteral("Timer 1")));
        }
        SetupBuilder(b).set(Mode::Timers, 2, TimerCol::ResetValue, 4.0);  // the second "Timer 1"
        Comparison c =
            compareSetups(a.session(), b.session(), QStringLiteral("old.kelda"), QStringLiteral("new.kelda"));
        const QString note = QStringLiteral("Timers|note|Timer 1|2 timers are named \"Timer 1\" in %1 (rows 1, 3): the "
                                            "first is matched by name and is the one that references reach; the "
                                            "others are matched in row order");
        QCOMPARE(
            lines(c, true),
            QStringList({note.arg("old.kelda"), note.arg("new.kelda"),
                         "Timers|changed|Timer 1|changed timer \"Timer 1\": Reset Value/s: 3 \u2192 4", imageLine(c)}));
        QCOMPARE(QList<int>({c.differences[2].oldRow, c.differences[2].newRow}), QList<int>({2, 2}));
        SetupBuilder(b).set(Mode::Timers, 2, TimerCol::ResetValue, 3.0);
        c = compareSetups(a.session(), b.session());
        QVERIFY(c.same());  // notes are no differences
        QVERIFY(toText(c).contains(QStringLiteral("Timers\n  note: 2 timers are named")));

        // The same timers in another order: the images differ, and one of them moved.
        PMModel x, y;
        SetupBuilder bx(x), by(y);
        bx.timer(1.0);
        bx.timer(2.0);
        by.timer(2.0);
        by.timer(1.0);
        by.set(Mode::Timers, 0, TimerCol::Name, QStringLiteral("tmp"));
        by.set(Mode::Timers, 1, TimerCol::Name, QStringLiteral("Timer 1"));
        by.set(Mode::Timers, 0, TimerCol::Name, QStringLiteral("Timer 2"));
        c = compareSetups(x.session(), y.session());
        QCOMPARE(lines(c),
                 QStringList({"Timers|moved|Timer 1|moved timer \"Timer 1\" from row 1 to row 2", imageLine(c)}));
    }

    void uncompilableImageAndOldFixedTables()
    {
        // More timers than an image holds, and 40 LEDs as an old file may have.
        PMModel a, b;
        QVERIFY(test::addRawItems(b.session(), ItemType::Timer, 300));
        QVERIFY(test::addRawItems(b.session(), ItemType::Lx2Led, 8));
        StoreCursor c(b.session());
        QVERIFY(c.item(ItemType::Lx2Led, 39) && c.setText(ValueId::Name, QStringLiteral("Spare")));
        const Comparison cmp =
            compareSetups(a.session(), b.session(), QStringLiteral("a.kelda"), QStringLiteral("b.kelda"));
        QCOMPARE(cmp.image, ImageResult::NotCompared);
        QVERIFY2(cmp.imageMessage.startsWith(QStringLiteral("not compared: b.kelda cannot be compiled: "))
                     && cmp.imageMessage.contains(QStringLiteral("300")),
                 qPrintable(cmp.imageMessage));
        QStringList got = lines(cmp);
        QCOMPARE(got.size(), 308);
        QCOMPARE(got.filter(QStringLiteral("Timers|added|")).size(), 300);
        QCOMPARE(got.last(), QStringLiteral("LX2 LEDs|added|Spare|added LED \"Spare\" (row 40)"));
    }
};

QTEST_GUILESS_MAIN(TestCompare)
#include "tst_compare.moc"
