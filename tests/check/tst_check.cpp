// Setup checks: every code is found on a small setup made to have it, and a
// clean setup gives none; kelda-cli check and uses say the same.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

#include "clirun.h"
#include "crossrefs.h"
#include "pmmodel.h"
#include "setupbuilder.h"
#include "setupcheck.h"
#include "storecursor.h"

using namespace kelda;
using namespace kelda::test;
using kelda::check::Finding;

namespace {

using Build = std::function<void(SetupBuilder &, PMModel &)>;

// A setup in which every part is used as meant: the base of every case.
void clean(SetupBuilder &b, PMModel &)
{
    b.timer(1.0);
    b.state();
    b.lx1Output();
    b.set(Mode::Lx1Outputs, 0, 2, QStringLiteral("1"));
    b.canInput(QStringLiteral("0x100"));
    b.canOutput(QStringLiteral("0x200"));
    const int on = b.event();
    b.input(on, 0, QStringLiteral("KP: Keypad 1"), QStringLiteral("Short Press"));
    b.entry(Mode::Events, on, 0, QStringLiteral("State 1"));
    b.entry(Mode::Events, on, 2, QStringLiteral("Timer 1"));
    const int off = b.event();
    b.input(off, 0, QStringLiteral("TI: Timer 1"), QStringLiteral("Stopped"));
    b.entry(Mode::Events, off, 1, QStringLiteral("State 1"));
    b.entry(Mode::States, 0, 1, QStringLiteral("LX1 Output 1"));
    b.entry(Mode::States, 0, 2, QStringLiteral("CAN Output 1"));
}

// Store writes the editor refuses, as old or hand-made files hold them.
void rawName(PMModel &m, ItemType type, int row, const char *name)
{
    StoreCursor c(m.session());
    QVERIFY(c.item(type, row));
    QVERIFY(c.setText(ValueId::Name, QString::fromLatin1(name)));
}

QList<Finding> run(const Build &build)
{
    PMModel model;
    SetupBuilder b(model);
    clean(b, model);
    if (build)
        build(b, model);
    return check::checkSetup(model.session());
}

QStringList codes(const QList<Finding> &findings)
{
    QStringList out;
    for (const Finding &f : findings)
        out << f.code;
    return out;
}

}  // namespace

class TestCheck : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    // kelda-cli's exit code, and its standard output in out.
    static int cli(const QStringList &args, QByteArray *out = nullptr)
    {
        const CliRun r = runCli(args);
        if (out)
            *out = r.out;
        return r.exitCode;
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void cleanSetupsHaveNoFindings()
    {
        PMModel fresh;
        QVERIFY(check::checkSetup(fresh.session()).isEmpty());
        QCOMPARE(codes(run({})), QStringList());
    }

    void eachCodeIsFound_data()
    {
        QTest::addColumn<Build>("build");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("table");
        QTest::addColumn<int>("row");
        QTest::addColumn<bool>("error");
        QTest::newRow("input-unset: input 1") << Build([](SetupBuilder &b, PMModel &) {
            const int e = b.event();
            b.entry(Mode::Events, e, 1, QStringLiteral("State 1"));
        }) << "input-unset"
                                              << "Events" << 3 << true;
        QTest::newRow("input-unset: joined by AND")
            << Build([](SetupBuilder &b, PMModel &) { b.join(0, 0, QStringLiteral("AND")); }) << "input-unset"
            << "Events" << 1 << true;
        QTest::newRow("input-unused") << Build([](SetupBuilder &b, PMModel &) {
            b.join(0, 0, QStringLiteral("OR"));
            b.input(0, 1, QStringLiteral("SW: Switch 2"));
            b.join(0, 0, QStringLiteral("NONE"));
        }) << "input-unused"
                                      << "Events" << 1 << false;
        QTest::newRow("entry-unset: event")
            << Build([](SetupBuilder &b, PMModel &) { b.entry(Mode::Events, 1, 3); }) << "entry-unset"
            << "Events" << 2 << true;
        QTest::newRow("entry-unset: state")
            << Build([](SetupBuilder &b, PMModel &) { b.entry(Mode::States, 0, 1); }) << "entry-unset"
            << "States" << 1 << true;
        QTest::newRow("duplicate-name") << Build([](SetupBuilder &b, PMModel &m) {
            b.timer(2.0);
            rawName(m, ItemType::Timer, 1, "Timer 1");
        }) << "duplicate-name"
                                        << "Timers" << 2 << true;
        QTest::newRow("can-channel") << Build([](SetupBuilder &b, PMModel &) {
            for (int i = 1; i <= 16; ++i)
                b.canInput(QStringLiteral("0x%1").arg(0x100 + i, 0, 16), QStringLiteral("Byte 2"));
        }) << "can-channel"
                                     << "CAN Inputs" << 17 << true;
        QTest::newRow("too-many") << Build([](SetupBuilder &b, PMModel &m) {
            for (int i = 0; i < 256; ++i)
                b.entry(Mode::States, 0, 0, QStringLiteral("LX2 LED 1"));
            Q_UNUSED(m);
        }) << "too-many"
                                  << "States" << 1 << true;
        // 255 states of 255 LX1 output entries: every list within its limit, the image over 64 KiB.
        QTest::newRow("too-many: image size") << Build([](SetupBuilder &b, PMModel &m) {
            m.setMode(int(Mode::States));
            while (m.rowCount() < kMaxTableItems)
                b.state();
            for (int s = 0; s < kMaxTableItems; ++s)
                for (int k = s == 0 ? 1 : 0; k < kMaxTableItems; ++k)  // state 1 has one already
                    m.addListEntry(s, int(StateList::Lx1Outputs));
        }) << "too-many"
                                              << "Setup" << 0 << true;
        QTest::newRow("event-no-action") << Build([](SetupBuilder &b, PMModel &) {
            const int e = b.event();
            b.input(e, 0, QStringLiteral("SW: Switch 1"));
        }) << "event-no-action"
                                         << "Events" << 3 << false;
        QTest::newRow("state-never-set") << Build([](SetupBuilder &b, PMModel &) { b.state(); }) << "state-never-set"
                                         << "States" << 2 << false;
        QTest::newRow("state-never-cleared") << Build([](SetupBuilder &b, PMModel &) {
            b.state();
            b.entry(Mode::Events, 0, 0, QStringLiteral("State 2"));
        }) << "state-never-cleared"
                                             << "States" << 2 << false;
        QTest::newRow("timer-never-started")
            << Build([](SetupBuilder &b, PMModel &) { b.timer(); }) << "timer-never-started"
            << "Timers" << 2 << false;
        QTest::newRow("timer-zero") << Build([](SetupBuilder &b, PMModel &) { b.set(Mode::Timers, 0, 1, 0.0); })
                                    << "timer-zero"
                                    << "Timers" << 1 << false;
        QTest::newRow("lx1-no-channel") << Build([](SetupBuilder &b, PMModel &) {
            b.set(Mode::Lx1Outputs, 0, 2, QStringLiteral("0"));
        }) << "lx1-no-channel"
                                        << "LX1 Outputs" << 1 << false;
        QTest::newRow("channel-shared") << Build([](SetupBuilder &b, PMModel &) {
            b.lx1Output();
            b.set(Mode::Lx1Outputs, 1, 2, QStringLiteral("11"));
        }) << "channel-shared"
                                        << "LX1 Outputs" << 2 << false;
        QTest::newRow("can-id-clash") << Build([](SetupBuilder &b, PMModel &) {
            b.set(Mode::CanOutputs, 0, 1, QStringLiteral("0x100"));
        }) << "can-id-clash"
                                      << "CAN Outputs" << 1 << false;
        QTest::newRow("byte-order-mixed") << Build([](SetupBuilder &b, PMModel &m) {
            b.canInput(QStringLiteral("0x100"));
            StoreCursor c(m.session());  // an older file: the second input of 0x100 disagrees
            QVERIFY(c.item(ItemType::CanInput, 1) && c.setInt(ValueId::LittleEndian, 1));
        }) << "byte-order-mixed"
                                          << "CAN Inputs" << 2 << true;
        QTest::newRow("data-range: input") << Build([](SetupBuilder &b, PMModel &) {
            b.set(Mode::CanInputs, 0, 4, 300);  // a word holds it; switching to a byte is accepted
            b.set(Mode::CanInputs, 0, 2, QStringLiteral("Byte 3"));
        }) << "data-range"
                                           << "CAN Inputs" << 1 << true;
        QTest::newRow("data-range: output") << Build([](SetupBuilder &b, PMModel &) {
            b.canOutput(QStringLiteral("0x300"), QStringLiteral("Word 2"), 256);
            b.set(Mode::CanOutputs, 1, 2, QStringLiteral("Byte 1"));
        }) << "data-range"
                                            << "CAN Outputs" << 2 << true;
        QTest::newRow("press-times: minimum not below long") << Build([](SetupBuilder &, PMModel &m) {
            m.setOption(int(OptionIndex::MinPressTime), 1.0);
            m.setOption(int(OptionIndex::DoublePressTime), 2.0);
        }) << "press-times"
                                                             << "Options" << 1 << false;
        QTest::newRow("press-times: double not above minimum")
            << Build([](SetupBuilder &, PMModel &m) { m.setOption(int(OptionIndex::DoublePressTime), 0.01); })
            << "press-times"
            << "Options" << 2 << false;
        // The store follows only a record that holds a name: an unnamed key
        // (an older file) does not make a record without one resolve.
        QTest::newRow("input-unset: a record without a name") << Build([](SetupBuilder &, PMModel &m) {
            StoreCursor c(m.session());
            QVERIFY(c.setup() && c.append(ItemType::KeypadKey));
            QVERIFY(c.item(ItemType::Event, 0) && c.open(ItemType::RefEntry, 0));
            QVERIFY(c.remove(ItemType::Reference, 0) && c.append(ItemType::Reference));
            QVERIFY(c.open(ItemType::Reference, 0) && c.setInt(ValueId::TargetType, int(ItemType::KeypadKey)));
        }) << "input-unset"
                                                              << "Events" << 1 << true;
        QTest::newRow("empty-name") << Build([](SetupBuilder &, PMModel &m) { rawName(m, ItemType::Switch, 4, ""); })
                                    << "empty-name"
                                    << "Switches" << 5 << false;
    }

    void eachCodeIsFound()
    {
        QFETCH(Build, build);
        QFETCH(QString, code);
        QFETCH(QString, table);
        QFETCH(int, row);
        QFETCH(bool, error);
        const QList<Finding> findings = run(build);
        QList<Finding> hits;
        for (const Finding &f : findings)
            if (f.code == code)
                hits << f;
        QVERIFY2(!hits.isEmpty(), qPrintable(codes(findings).join(QLatin1Char(' '))));
        QCOMPARE(hits.first().table, table);
        QCOMPARE(hits.first().row, row);
        QCOMPARE(hits.first().isError(), error);
        QVERIFY(hits.first().message.endsWith(QLatin1Char('.')));
        QVERIFY(hits.first().mode >= 0 || hits.first().row == 0);  // row 0: the setup as a whole
    }

    // The window counts events in priority order; kelda-cli keeps stored rows.
    void rowsAsTheWindowShowsThem()
    {
        PMModel m;
        SetupBuilder b(m);
        clean(b, m);
        b.event();
        rawName(m, ItemType::Event, 2, "Event 1");  // a duplicate of the first
        m.setMode(int(Mode::Events));
        QVERIFY(m.setEventPriority(2, 1));  // stored row 3 is shown first
        const QList<Finding> findings = check::checkSetup(m.session());
        const auto dup = std::find_if(findings.begin(), findings.end(),
                                      [](const Finding &f) { return f.code == QLatin1String("duplicate-name"); });
        QVERIFY(dup != findings.end());
        QCOMPARE(dup->row, 3);
        QCOMPARE(dup->shownRow, 1);
        QVERIFY2(dup->message.startsWith(QStringLiteral("Row 2 has the same name")), qPrintable(dup->message));
        const QList<Use> uses = findUses(m.session(), ItemType::Timer, 0);
        QCOMPARE(useText(m.session(), uses.at(1)), QStringLiteral("Events 2 \"Event 2\": input 1"));
        QCOMPARE(useText(m.session(), uses.at(1), RowNumber::Shown), QStringLiteral("Events 3 \"Event 2\": input 1"));

        // An error of the new checks stops compile like any other.
        b.canOutput(QStringLiteral("0x300"), QStringLiteral("Word 1"), 300);
        QVERIFY(b.set(Mode::CanOutputs, 1, 2, QStringLiteral("Byte 1")));
        const QString file = m_dir.filePath(QStringLiteral("bytes.kelda"));
        QVERIFY(m.saveSetup(file));
        QCOMPARE(cli({QStringLiteral("compile"), file, QStringLiteral("-o"), m_dir.filePath(QStringLiteral("b.bin"))}),
                 1);
        QVERIFY(!QFileInfo::exists(m_dir.filePath(QStringLiteral("b.bin"))));
    }

    // A removed item's uses go with it; the list of uses says where they are.
    void usesAndTheirTexts()
    {
        PMModel m;
        SetupBuilder b(m);
        clean(b, m);
        const QList<Use> uses = findUses(m.session(), ItemType::Timer, 0);
        QCOMPARE(uses.size(), 2);
        QCOMPARE(useText(m.session(), uses.at(0)), QStringLiteral("Events 1 \"Event 1\": Timers to Start"));
        QCOMPARE(useText(m.session(), uses.at(1)), QStringLiteral("Events 2 \"Event 2\": input 1"));
        QCOMPARE(useLocation(uses.at(1)).column, 2);
        m.setMode(int(Mode::Pwm));
        QVERIFY(m.setData(m.index(1, 1), QStringLiteral("CAN Input 1")));
        const QList<Use> can = findUses(m.session(), ItemType::CanInput, 0);
        QCOMPARE(can.size(), 1);
        QCOMPARE(useText(m.session(), can.first()), QStringLiteral("Options LX1-2: PWM input"));
    }

    void commandLine()
    {
        PMModel good;
        {
            SetupBuilder b(good);
            clean(b, good);
        }
        const QString goodFile = m_dir.filePath(QStringLiteral("good.kelda"));
        QVERIFY(good.saveSetup(goodFile));
        QByteArray out;
        QCOMPARE(cli({QStringLiteral("check"), goodFile}, &out), 0);
        QVERIFY(out.isEmpty());

        // Warnings alone pass; an error fails, in both forms.
        SetupBuilder b(good);
        b.state();
        QVERIFY(good.saveSetup(goodFile));
        QCOMPARE(cli({QStringLiteral("check"), goodFile}, &out), 0);
        QVERIFY(out.startsWith("warning state-never-set States 2 \"State 2\": "));
        b.event();
        QVERIFY(good.saveSetup(goodFile));
        QCOMPARE(cli({QStringLiteral("check"), goodFile, QStringLiteral("--json")}, &out), 1);
        const QJsonArray list = QJsonDocument::fromJson(out).array();
        QVERIFY(!list.isEmpty());
        QJsonObject unset;
        for (const QJsonValue &v : list)
            if (v.toObject().value(QStringLiteral("code")) == QStringLiteral("input-unset"))
                unset = v.toObject();
        QCOMPARE(unset.value(QStringLiteral("severity")).toString(), QStringLiteral("error"));
        QCOMPARE(unset.value(QStringLiteral("table")).toString(), QStringLiteral("Events"));
        QCOMPARE(unset.value(QStringLiteral("row")).toInt(), 3);
        QCOMPARE(unset.value(QStringLiteral("name")).toString(), QStringLiteral("Event 3"));
        QVERIFY(!unset.value(QStringLiteral("message")).toString().isEmpty());

        // The commands that use the image refuse it; compile --force still writes.
        const QString image = m_dir.filePath(QStringLiteral("image.bin"));
        QCOMPARE(cli({QStringLiteral("compile"), goodFile, QStringLiteral("-o"), image}), 1);
        QVERIFY(!QFileInfo::exists(image));
        QCOMPARE(cli({QStringLiteral("export"), goodFile, m_dir.filePath(QStringLiteral("x.cal"))}), 1);
        QVERIFY(!QFileInfo::exists(m_dir.filePath(QStringLiteral("x.cal"))));
        QCOMPARE(cli({QStringLiteral("compile"), goodFile, QStringLiteral("-o"), image, QStringLiteral("--force")}), 0);
        QVERIFY(QFileInfo(image).size() > 0);

        QCOMPARE(cli({QStringLiteral("uses"), goodFile, QStringLiteral("timers"), QStringLiteral("Timer 1")}, &out), 0);
        QCOMPARE(out, QByteArray("Events 1 \"Event 1\": Timers to Start\nEvents 2 \"Event 2\": input 1\n"));
        QCOMPARE(cli({QStringLiteral("uses"), goodFile, QStringLiteral("Events"), QStringLiteral("Event 1")}), 2);
        QCOMPARE(cli({QStringLiteral("uses"), goodFile, QStringLiteral("Timers"), QStringLiteral("Nope")}), 1);
    }
};

QTEST_GUILESS_MAIN(TestCheck)
#include "tst_check.moc"
