// kelda-cli simulate, run as the real binary on setups saved by the model.
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

#include <sys/stat.h>

#include "clirun.h"
#include "pmmodel.h"
#include "setupbuilder.h"
#include "testfiles.h"
#include "testpaths.h"
#include "tst_sim.h"

using namespace kelda;
using namespace kelda::test;

namespace {

struct Run {
    int exitCode = -1;
    QStringList out;
    QString err;
};

// kelda-cli's output as lines and text.
Run run(const QStringList &args)
{
    const CliRun r = runCli(args);
    return {r.exitCode, outputLines(r.out), QString::fromUtf8(r.err)};
}

// kelda-cli run in a folder, as the examples of the docs are typed.
Run runIn(const QString &folder, const QStringList &args)
{
    QProcess p;
    p.setWorkingDirectory(folder);
    p.start(cliProgram(), args);
    if (!p.waitForFinished(60000))
        return {};
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, outputLines(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

// The setup of the worked example in docs/testing-setups.md, with the
// courtesy timer at the given time.
bool buildBeacons(const QString &path, double courtesySeconds)
{
    PMModel model;
    SetupBuilder b(model);
    bool ok = b.set(Mode::Keypad, 0, KeypadCol::Name, QStringLiteral("Beacon"))
        && b.set(Mode::Switches, 0, SwitchCol::Name, QStringLiteral("Door"));
    const int timer = b.timer(courtesySeconds);
    ok = ok && b.set(Mode::Timers, timer, TimerCol::Name, QStringLiteral("Courtesy"));
    const char *states[] = {"Beacons", "Courtesy light", "Door open"};
    for (const char *name : states)
        ok = ok && b.set(Mode::States, b.state(), StateCol::Name, QString::fromLatin1(name));
    const char *outputs[] = {"Beacon lamp", "Courtesy lamp"};
    for (int i = 0; i < 2; ++i) {
        const int row = b.lx1Output();
        ok = ok && b.set(Mode::Lx1Outputs, row, Lx1OutputCol::Name, QString::fromLatin1(outputs[i]));
        b.lx1Mask(row, 0, uint8_t(1 << i));
    }
    const char *events[] = {"Beacons on", "Beacons off", "Door opens", "Door closes", "Courtesy off"};
    for (const char *name : events)
        ok = ok && b.set(Mode::Events, b.event(), EventCol::Name, QString::fromLatin1(name));
    enum { Set, Clear, Start, Stop };
    using T = ItemType;
    ok = ok && b.input(0, 0, T::KeypadKey, 0, "Short Press", "AND") && b.input(0, 1, T::State, 0, "Cleared")
        && b.entry(Mode::Events, 0, Set, T::State, 0) && b.input(1, 0, T::KeypadKey, 0, "Short Press", "AND")
        && b.input(1, 1, T::State, 0, "Set") && b.entry(Mode::Events, 1, Clear, T::State, 0)
        && b.input(2, 0, T::Switch, 0, "High") && b.entry(Mode::Events, 2, Set, T::State, 1)
        && b.entry(Mode::Events, 2, Set, T::State, 2) && b.entry(Mode::Events, 2, Stop, T::Timer, 0)
        && b.input(3, 0, T::Switch, 0, "Low", "AND") && b.input(3, 1, T::State, 2, "Set")
        && b.entry(Mode::Events, 3, Clear, T::State, 2) && b.entry(Mode::Events, 3, Start, T::Timer, 0)
        && b.input(4, 0, T::Timer, 0, "Stopped", "AND") && b.input(4, 1, T::Switch, 0, "Low")
        && b.entry(Mode::Events, 4, Clear, T::State, 1) && b.entry(Mode::States, 0, 0, T::Lx2Led, 20)
        && b.entry(Mode::States, 0, 1, T::Lx1Output, 0) && b.entry(Mode::States, 1, 1, T::Lx1Output, 1);
    return ok && model.saveSetup(path);
}

// JUnit times differ from run to run.
QString withoutTimes(QString text)
{
    static const QRegularExpression time(QStringLiteral(" time=\"[0-9.]+\""));
    return text.replace(time, QStringLiteral(" time=\"T\""));
}

QString leds(int on = -1)
{
    QString s = QStringLiteral("leds");
    for (int r = 0; r < 32; ++r)
        s += r == on ? QStringLiteral(" 1") : QStringLiteral(" 0");
    return s;
}

}  // namespace

class TestSimCli : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void scriptRunsEndToEnd();
    void emptyTablesPrintTheirWordAlone();
    void badLinesStopBeforeAnyTick_data();
    void badLinesStopBeforeAnyTick();
    void aSetupThatDoesNotCompileIsNotRun();
    void usage();
    void namesShorthandAndExpectations();
    void testCommandAndItsReport();
    void examplesOfTheDocs();
    void testReadsEveryInputBeforeItWrites();
    void outputsNeverReplaceADatabaseOrAReplayedLog();
    void aSetupWithErrorsIsSimulatedWithANote();
    void scenariosAreReadLikeAnyInput();
    void limitsEndARun();
    void tracesWithCausesAndHostileNames();

private:
    // What simulate and test say of m_setup, which has one error.
    QString errorNote() const
    {
        return QStringLiteral("kelda-cli: %1: the setup has 1 error; simulating it anyway\n").arg(m_setup);
    }

    QTemporaryDir m_dir;
    QString m_setup;
};

void TestSimCli::initTestCase()
{
    QLocale::setDefault(QLocale::c());
    QVERIFY(QFile::exists(cliProgram()));
    // key 1 "Pressed" sets state 1 and starts timer 1 (0.5 s); state 1 drives
    // LED 20 and LX1 output 1 (channel 3 of LX1-2). Key 2 "Short Press" or
    // switch 1 "High" clears state 1; CAN input 1 sets state 2.
    PMModel model;
    SetupBuilder b(model);
    const int timer = b.timer(0.5);
    b.add(Mode::Timers);
    // Two timers of one name, as an older file may hold them (the editor
    // refuses it): a script must give them by number.
    for (int t = 0; t < 2; ++t) {
        StoreCursor c(model.session());
        QVERIFY(c.item(ItemType::Timer, t) && c.setText(ValueId::Name, QStringLiteral("Twice")));
    }
    const int s1 = b.add(Mode::States);
    const int s2 = b.add(Mode::States);
    const int out = b.add(Mode::Lx1Outputs);
    b.add(Mode::Lx1Outputs);
    b.lx1Mask(out, 1, 0x04);
    b.add(Mode::CanInputs);
    const int e1 = b.add(Mode::Events);
    QVERIFY(b.input(e1, 0, ItemType::KeypadKey, 0, "Pressed"));
    QVERIFY(b.entry(Mode::Events, e1, 0, ItemType::State, s1));
    QVERIFY(b.entry(Mode::Events, e1, 2, ItemType::Timer, timer));
    const int e2 = b.add(Mode::Events);
    QVERIFY(b.input(e2, 0, ItemType::KeypadKey, 1, "Short Press", "OR"));
    QVERIFY(b.input(e2, 1, ItemType::Switch, 0, "High"));
    QVERIFY(b.entry(Mode::Events, e2, 1, ItemType::State, s1));
    const int e3 = b.add(Mode::Events);
    QVERIFY(b.input(e3, 0, ItemType::CanInput, 0, "-"));
    QVERIFY(b.entry(Mode::Events, e3, 0, ItemType::State, s2));
    QVERIFY(b.entry(Mode::States, s1, 0, ItemType::Lx2Led, 20));
    QVERIFY(b.entry(Mode::States, s1, 1, ItemType::Lx1Output, out));
    m_setup = m_dir.filePath("setup.kelda");
    QVERIFY2(model.saveSetup(m_setup), qPrintable(model.lastError()));
}

void TestSimCli::scriptRunsEndToEnd()
{
    const QString script = m_dir.filePath("run.txt");
    QVERIFY(writeFile(script,
                      "# hold key 1 for one tick\n"
                      "show\n"
                      "key 1 P on   # held\n"
                      "\n"
                      "tick\n"
                      "show\n"
                      "key 1 P off\n"
                      "tick 2\n"
                      "show\n"
                      "key 2 SP on\n"
                      "can 1 on\n"
                      "tick\n"
                      "show\n"
                      "tick 46\n"
                      "show\n"
                      "switch 1 on\n"
                      "tick\n"
                      "show\n"));
    const Run r = run({QStringLiteral("simulate"), m_setup, QStringLiteral("--script"), script});
    // The two timers named alike are an error of the checks: said, and run.
    QCOMPARE(r.err, errorNote());
    QCOMPARE(r.exitCode, 0);
    const QString idle = QStringLiteral("lx1 00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000");
    const QString lit = QStringLiteral("lx1 00000000 00100000 00000000 00000000 00000000 00000000 00000000 00000000");
    const QStringList expected = {
        "tick 0",
        "states 0 0",
        "timers 0 0",
        "outputs 0 0",
        leds(),
        idle,
        "tick 1",
        "states 1 0",
        "timers 0.5 0",
        "outputs 1 0",
        leds(20),
        lit,
        "tick 3",
        "states 1 0",
        "timers 0.48 0",
        "outputs 1 0",
        leds(20),
        lit,
        // the short press clears state 1 once; CAN input 1 sets state 2
        "tick 4",
        "states 0 1",
        "timers 0.47 0",
        "outputs 0 0",
        leds(),
        idle,
        "tick 50",
        "states 0 1",
        "timers 0.01 0",
        "outputs 0 0",
        leds(),
        idle,
        "tick 51",
        "states 0 1",
        "timers 0 0",
        "outputs 0 0",
        leds(),
        idle,
    };
    QCOMPARE(r.out.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i)
        QCOMPARE(r.out[i], expected[i]);
}

void TestSimCli::emptyTablesPrintTheirWordAlone()
{
    PMModel model;
    const QString setup = m_dir.filePath("new.kelda");
    QVERIFY(model.saveSetup(setup));
    const QString script = m_dir.filePath("show.txt");
    QVERIFY(writeFile(script, "tick 3\nshow\n"));
    const Run r = run({QStringLiteral("simulate"), setup, QStringLiteral("--script"), script});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out.size(), 6);
    QCOMPARE(r.out[0], QStringLiteral("tick 3"));
    QCOMPARE(r.out[1], QStringLiteral("states"));
    QCOMPARE(r.out[2], QStringLiteral("timers"));
    QCOMPARE(r.out[3], QStringLiteral("outputs"));
    QCOMPARE(r.out[4], leds());
}

void TestSimCli::badLinesStopBeforeAnyTick_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("why");
    QTest::newRow("unknown word") << QByteArray("jump 1") << "unknown word 'jump'";
    QTest::newRow("unknown name") << QByteArray("switch \"Dor\" on") << "no row of the switch table is named \"Dor\"";
    QTest::newRow("shared name") << QByteArray("expect timer \"Twice\" running")
                                 << "\"Twice\" names more than one row of the timer table (rows 1 and 2)";
    QTest::newRow("open quote") << QByteArray("hold \"Keypad 1") << "a name in double quotes has no closing quote";
    QTest::newRow("bad press") << QByteArray("press 1 triple") << "'triple' is not a press";
    QTest::newRow("wait unit") << QByteArray("wait 2.5") << "'2.5' is not a time to wait";
    QTest::newRow("wait zero") << QByteArray("wait 0ms") << "'0ms' is not a time to wait";
    QTest::newRow("expect what") << QByteArray("expect lamp 1 on") << "'lamp' cannot be expected";
    QTest::newRow("expect word") << QByteArray("expect state 1 on") << "'on' is neither 'set' nor 'clear'";
    QTest::newRow("expect channel") << QByteArray("expect lx1 9.1 on") << "'9.1' is not an LX1 channel";
    QTest::newRow("late setup") << QByteArray("setup other.kelda") << "'setup' names the setup before the first";
    QTest::newRow("key row too large") << QByteArray("key 26 P on") << "row 26 is outside the keypad table";
    QTest::newRow("key row zero") << QByteArray("key 0 P on") << "row 0 is outside the keypad table";
    QTest::newRow("not a row") << QByteArray("switch one on") << "'one' is not a row number";
    QTest::newRow("bad box") << QByteArray("key 1 XP on") << "'XP' is not a keypad box";
    QTest::newRow("bad on/off") << QByteArray("switch 1 maybe") << "'maybe' is neither 'on' nor 'off'";
    QTest::newRow("missing argument") << QByteArray("key 1 P") << "missing argument";
    QTest::newRow("extra argument") << QByteArray("switch 1 on now") << "extra argument 'now'";
    QTest::newRow("can row outside") << QByteArray("can 2 on") << "row 2 is outside the CAN input table";
    QTest::newRow("tick zero") << QByteArray("tick 0") << "'0' is not a number of ticks";
    QTest::newRow("tick extra") << QByteArray("tick 1 2") << "extra argument '2'";
    QTest::newRow("show extra") << QByteArray("show all") << "extra argument 'all'";
}

void TestSimCli::badLinesStopBeforeAnyTick()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, why);
    const QString script = m_dir.filePath("bad.txt");
    QVERIFY(writeFile(script, "tick\nshow\n# comment\n" + line + "\nshow\n"));
    const Run r = run({QStringLiteral("simulate"), m_setup, QStringLiteral("--script"), script});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.out.isEmpty(), "nothing runs before the script is checked");
    const QString prefix = QStringLiteral("kelda-cli: %1:4: ").arg(script);
    QVERIFY2(r.err.startsWith(prefix + why), qPrintable(r.err));
    QCOMPARE(r.err.count(QLatin1Char('\n')), 1);
}

void TestSimCli::aSetupThatDoesNotCompileIsNotRun()
{
    PMModel model;
    QVERIFY(addRawItems(model.session(), ItemType::Timer, kMaxTableItems + 1));
    const QString setup = m_dir.filePath("toomany.kelda");
    QVERIFY(model.saveSetup(setup));
    const QString script = m_dir.filePath("show1.txt");
    QVERIFY(writeFile(script, "show\n"));
    const Run r = run({QStringLiteral("simulate"), setup, QStringLiteral("--script"), script});
    QCOMPARE(r.exitCode, 1);
    QVERIFY(r.out.isEmpty());
    QVERIFY2(r.err.startsWith(QStringLiteral("kelda-cli: cannot simulate %1: too many timers").arg(setup)),
             qPrintable(r.err));

    const Run missing =
        run({QStringLiteral("simulate"), m_dir.filePath("nope.kelda"), QStringLiteral("--script"), script});
    QCOMPARE(missing.exitCode, 1);
    QVERIFY2(missing.err.startsWith(
                 QStringLiteral("kelda-cli: cannot open %1: no such file").arg(m_dir.filePath("nope.kelda"))),
             qPrintable(missing.err));

    const Run noScript =
        run({QStringLiteral("simulate"), m_setup, QStringLiteral("--script"), m_dir.filePath("nope.txt")});
    QCOMPARE(noScript.exitCode, 1);
    QVERIFY2(noScript.err.startsWith(QStringLiteral("kelda-cli: cannot read %1: ").arg(m_dir.filePath("nope.txt"))),
             qPrintable(noScript.err));
}

void TestSimCli::usage()
{
    const Run r = run({QStringLiteral("simulate"), m_setup});
    QCOMPARE(r.exitCode, 2);
    QVERIFY(r.err.contains(QStringLiteral("kelda-cli simulate SETUP.kelda [--script FILE] [--can-in LOG")));
    QVERIFY(r.err.contains(QStringLiteral("give --script FILE, --can-in LOG or --bus BACKEND:INTERFACE")));
    QCOMPARE(run({QStringLiteral("simulate"), QStringLiteral("--script")}).exitCode, 2);
}

void TestSimCli::namesShorthandAndExpectations()
{
    const QString script = m_dir.filePath("named.txt");
    QVERIFY(writeFile(script,
                      "setup elsewhere.kelda   # simulate runs the setup it is given\n"
                      "hold \"Keypad 1\"\n"
                      "wait 15ms                # two ticks\n"
                      "expect state \"State 1\" set\n"
                      "expect timer 1 running\n"
                      "expect output 1 on\n"
                      "expect led \"LX2 LED 21\" on\n"
                      "expect lx1 2.3 on\n"
                      "release \"Keypad 1\"\n"
                      "press \"Keypad 2\" short\n"
                      "tick\n"
                      "expect state 1 set       # cleared by the press\n"
                      "expect lx1 2.3 on\n"
                      "expect state 2 clear\n"
                      "show\n"));
    const QString trace = m_dir.filePath("named.vcd"), plot = m_dir.filePath("named.png");
    const Run r = run({QStringLiteral("simulate"), m_setup, QStringLiteral("--script"), script,
                       QStringLiteral("--trace"), trace, QStringLiteral("--plot"), plot});
    QCOMPARE(r.exitCode, 1);
    const QString idle = QStringLiteral("lx1 00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000");
    QCOMPARE(r.out,
             QStringList({"tick 3", "states 0 0", "timers 0.49 0", "outputs 0 0", leds(), idle,
                          script + ":12: tick 3: expected state \"State 1\" set, but it is clear",
                          script + ":13: tick 3: expected lx1 2.3 on, but it is off"}));
    QCOMPARE(r.err, errorNote() + QStringLiteral("kelda-cli: %1: 2 of 8 expectations failed\n").arg(script));
    // The trace and the plot are written even so: they show why.
    QVERIFY(readFile(trace).startsWith("$version"));
    const QImage png(plot);
    QVERIFY(!png.isNull() && png.width() > 900);

    const Run bad = run({QStringLiteral("simulate"), m_setup, QStringLiteral("--script"), script,
                         QStringLiteral("--trace"), m_dir.filePath("named.txt.json")});
    QCOMPARE(bad.exitCode, 2);
}

void TestSimCli::testCommandAndItsReport()
{
    // One scenario passes, one fails, one cannot run; the folder runs them in
    // name order with the setup given first.
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("a-pass.scenario"), "hold 1\ntick\nexpect state 1 set\n"));
    QVERIFY(writeFile(dir.filePath("b-fail.scenario"), "tick\nexpect state 1 set\nexpect state 2 clear\n"));
    QVERIFY(writeFile(dir.filePath("c-bad.scenario"), "tick\nexpect state 9 set\n"));
    QVERIFY(writeFile(dir.filePath("notes.txt"), "not a scenario\n"));
    const QString report = dir.filePath("report.xml");
    const Run r = run({QStringLiteral("test"), m_setup, dir.path(), QStringLiteral("--junit"), report});
    QCOMPARE(r.exitCode, 1);
    const QString a = dir.filePath("a-pass.scenario"), b = dir.filePath("b-fail.scenario"),
                  c = dir.filePath("c-bad.scenario");
    const QString badLine = c + QStringLiteral(":2: row 9 is outside the state table (rows 1 to 2)");
    QCOMPARE(r.out,
             QStringList({"PASS " + a + " (1 expectations, 0.01 s)",
                          b + ":2: tick 1: expected state \"State 1\" set, but it is clear",
                          "FAIL " + b + " (1 of 2 expectations failed)", "ERROR " + badLine, "1 passed, 2 failed"}));

    // The report as a CI server reads it.
    QFile file(report);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&file);
    QStringList cases, outcomes;
    while (xml.readNextStartElement()) {
        const QXmlStreamAttributes at = xml.attributes();
        if (xml.name() == QLatin1String("testsuites") || xml.name() == QLatin1String("testsuite")) {
            QCOMPARE(at.value("tests"), QLatin1String("3"));
            QCOMPARE(at.value("failures"), QLatin1String("1"));
            QCOMPARE(at.value("errors"), QLatin1String("1"));
            continue;  // into it
        }
        QCOMPARE(xml.name(), QLatin1String("testcase"));
        QCOMPARE(at.value("classname"), QLatin1String("setup"));
        cases << at.value("name").toString();
        QString outcome = QStringLiteral("pass");
        while (xml.readNextStartElement()) {
            outcome = xml.name().toString() + QLatin1Char(' ') + xml.attributes().value("message").toString();
            outcome += QLatin1Char('|') + xml.readElementText();
        }
        outcomes << outcome;
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    QCOMPARE(cases, QStringList({a, b, c}));
    QCOMPARE(
        outcomes,
        QStringList({"pass", "failure 1 of 2 expectations failed|" + r.out[1], "error " + badLine + "|" + badLine}));

    // Without a setup on the command line each scenario names its own.
    const Run none = run({QStringLiteral("test"), a});
    QCOMPARE(none.exitCode, 1);
    QVERIFY2(none.out.value(0).startsWith("ERROR " + a + ": names no setup"), qPrintable(none.out.value(0)));
    QCOMPARE(run({QStringLiteral("test"), m_setup}).exitCode, 2);
    QCOMPARE(run({QStringLiteral("test"), m_setup, a, QStringLiteral("--junit"), a}).exitCode, 1);
    QCOMPARE(readFile(a), QByteArray("hold 1\ntick\nexpect state 1 set\n"));
}

void TestSimCli::examplesOfTheDocs()
{
    // Every example of docs/testing-setups.md, from the page itself: the
    // files it shows are written, the commands it shows run, and what they
    // print and write is what it shows.
    QTemporaryDir dir;
    QVERIFY(buildBeacons(dir.filePath("beacons.kelda"), 30));
    QVERIFY(buildBeacons(dir.filePath("beacons-20s.kelda"), 20));
    const QStringList page =
        QString::fromUtf8(readFile(QStringLiteral(KELDA_DOCS "/testing-setups.md"))).split(QLatin1Char('\n'));
    QVERIFY(page.size() > 100);
    static const QRegularExpression marker(QStringLiteral("^<!-- (file|run|output) ?(\\S*) -->$"));
    int runs = 0, outputs = 0;
    for (int i = 0; i < page.size(); ++i) {
        const QRegularExpressionMatch m = marker.match(page[i]);
        if (!m.hasMatch())
            continue;
        QVERIFY2(page.value(i + 1) == QLatin1String("```"), qPrintable(page[i]));
        QStringList block;
        for (i += 2; i < page.size() && page[i] != QLatin1String("```"); ++i)
            block << page[i];
        const QString kind = m.captured(1), name = m.captured(2);
        if (kind == QLatin1String("file")) {
            QVERIFY(writeFile(dir.filePath(name), block.join(QLatin1Char('\n')).toUtf8() + '\n'));
        } else if (kind == QLatin1String("run")) {
            QVERIFY(block.value(0).startsWith(QLatin1String("$ kelda-cli ")));
            const QStringList args = block.takeFirst().mid(12).split(QLatin1Char(' '), Qt::SkipEmptyParts);
            const Run r = runIn(dir.path(), args);
            QVERIFY2(r.exitCode == 0 || r.exitCode == 1, qPrintable(r.err));
            QCOMPARE(r.out.join(QLatin1Char('\n')), block.join(QLatin1Char('\n')));
            ++runs;
        } else {
            QCOMPARE(withoutTimes(QString::fromUtf8(readFile(dir.filePath(name)))).split(QLatin1Char('\n')),
                     withoutTimes(block.join(QLatin1Char('\n')) + QLatin1Char('\n')).split(QLatin1Char('\n')));
            ++outputs;
        }
    }
    QCOMPARE(runs, 3);
    QCOMPARE(outputs, 2);
}

void TestSimCli::testReadsEveryInputBeforeItWrites()
{
    // The report may not replace a setup that a scenario names, even one
    // named only by the second scenario: all are gathered before the first runs.
    QTemporaryDir dir;
    QVERIFY(QFile::copy(m_setup, dir.filePath("s.kelda")) && QFile::copy(m_setup, dir.filePath("t.kelda")));
    QVERIFY(writeFile(dir.filePath("a.scenario"), "setup s.kelda\ntick\n"));
    QVERIFY(writeFile(dir.filePath("b.scenario"), "setup t.kelda\ntick\n"));
    const QByteArray setup = readFile(dir.filePath("t.kelda"));
    for (const char *report : {"s.kelda", "t.kelda", "b.scenario"}) {
        const Run r = runIn(dir.path(),
                            {QStringLiteral("test"), QStringLiteral("a.scenario"), QStringLiteral("b.scenario"),
                             QStringLiteral("--junit"), QLatin1String(report)});
        QVERIFY2(
            r.exitCode == 1 && r.out.isEmpty()
                && r.err.startsWith(QStringLiteral("kelda-cli: cannot write %1: it is ").arg(QLatin1String(report)))
                && r.err.endsWith(QLatin1String(", an input\n")),
            qPrintable(r.err));
    }
    QCOMPARE(readFile(dir.filePath("t.kelda")), setup);
    QCOMPARE(readFile(dir.filePath("b.scenario")), QByteArray("setup t.kelda\ntick\n"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 4);
}

void TestSimCli::outputsNeverReplaceADatabaseOrAReplayedLog()
{
    // --dbc and the logs a script replays are inputs too: no trace, plot,
    // --can-out or JUnit report may be written over them, even through a link.
    QTemporaryDir dir;
    const QByteArray log = "(0.000000) can0 100#0500000000000000\n";
    const QByteArray dbc = "VERSION \"\"\n\nBU_: LX2\n";
    const QByteArray script = "replay \"in.log\"\ntick 3\n";
    QVERIFY(QFile::copy(m_setup, dir.filePath("s.kelda")));
    QVERIFY(writeFile(dir.filePath("in.log"), log) && writeFile(dir.filePath("bus.dbc"), dbc)
            && writeFile(dir.filePath("run.txt"), script));
    QVERIFY(QFile::link(QStringLiteral("bus.dbc"), dir.filePath("bus.csv")));
    const struct {
        QStringList args;
        QString err;
    } cases[] = {
        {{"simulate", "s.kelda", "--script", "run.txt", "--can-out", "in.log"},
         "cannot write in.log: it is ./in.log, a log the script replays"},
        {{"simulate", "s.kelda", "--script", "run.txt", "--dbc", "bus.dbc", "--trace", "bus.csv"},
         "cannot write bus.csv: it is bus.dbc, an input"},
        {{"test", "s.kelda", "run.txt", "--junit", "in.log"},
         "cannot write in.log: it is ./in.log, a log run.txt replays"},
        {{"test", "s.kelda", "run.txt", "--dbc", "bus.dbc", "--junit", "bus.dbc"},
         "cannot write bus.dbc: it is bus.dbc, the CAN database being read"},
        {{"test", "s.kelda", "run.txt", "--dbc", "bus.dbc", "--junit", "bus.csv"},
         "cannot write bus.csv: it is bus.dbc, the CAN database being read"},
    };
    for (const auto &c : cases) {
        const Run r = runIn(dir.path(), c.args);
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(r.err, QStringLiteral("kelda-cli: %1\n").arg(c.err));
        QVERIFY(r.out.isEmpty());
        QCOMPARE(readFile(dir.filePath("in.log")), log);
        QCOMPARE(readFile(dir.filePath("bus.dbc")), dbc);
    }
    // Another output is written as before.
    const Run ok = runIn(dir.path(), {"test", "s.kelda", "run.txt", "--dbc", "bus.dbc", "--junit", "report.xml"});
    QCOMPARE(ok.exitCode, 0);
    QVERIFY(QFile::exists(dir.filePath("report.xml")));
}

void TestSimCli::aSetupWithErrorsIsSimulatedWithANote()
{
    // Where the window asks "Simulate anyway?", the command line says so once.
    QTemporaryDir dir;
    PMModel model;
    SetupBuilder b(model);
    const int ev = b.event();
    QVERIFY(b.input(ev, 0, ItemType::KeypadKey, 0, "Pressed"));
    QVERIFY(b.entry(Mode::Events, ev, 0));  // an entry without a target: an error
    const QString setup = dir.filePath("broken.kelda");
    QVERIFY(model.saveSetup(setup));
    QVERIFY(writeFile(dir.filePath("a.scenario"), "setup broken.kelda\ntick\n"));
    QVERIFY(writeFile(dir.filePath("b.scenario"), "setup broken.kelda\ntick 2\n"));
    const QString note = QStringLiteral("kelda-cli: broken.kelda: the setup has 1 error; simulating it anyway\n");
    Run r = runIn(dir.path(),
                  {QStringLiteral("simulate"), QStringLiteral("broken.kelda"), QStringLiteral("--script"),
                   QStringLiteral("a.scenario")});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.err, note);
    r = runIn(dir.path(), {QStringLiteral("test"), QStringLiteral("a.scenario"), QStringLiteral("b.scenario")});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.err, note);
    QCOMPARE(r.out.size(), 3);
    // A clean setup says nothing.
    QVERIFY(buildBeacons(dir.filePath("clean.kelda"), 30));
    r = run({QStringLiteral("test"), dir.filePath("clean.kelda"), dir.filePath("a.scenario")});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.err, QString());
}

void TestSimCli::scenariosAreReadLikeAnyInput()
{
    // A device, a pipe without a writer, a link that loops and a folder of
    // that name are each reported at once, never read, waited on or skipped.
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("a-ok.scenario"), "tick\n"));
    QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath("b-pipe.scenario")).constData(), 0600), 0);
    QVERIFY(QFile::link(QStringLiteral("/dev/zero"), dir.filePath("c-zero.scenario")));
    QVERIFY(QFile::link(dir.filePath("d-loop.scenario"), dir.filePath("d-loop.scenario")));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("e-sub.scenario")));
    const Run r = run({QStringLiteral("test"), m_setup, dir.path()});
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(r.out.size(), 6);
    QVERIFY(r.out[0].startsWith(QStringLiteral("PASS ")));
    const char *why[] = {"not a regular file", "not a regular file", "Too many levels of symbolic links",
                         "it is a folder"};
    for (int i = 0; i < 4; ++i)
        QVERIFY2(r.out[i + 1].startsWith(QStringLiteral("ERROR ")) && r.out[i + 1].endsWith(QLatin1String(why[i])),
                 qPrintable(r.out[i + 1]));
    QCOMPARE(r.out[5], QStringLiteral("1 passed, 4 failed"));

    const Run zero = run({QStringLiteral("test"), m_setup, QStringLiteral("/dev/zero")});
    QCOMPARE(zero.out, QStringList({"ERROR /dev/zero: cannot read it: not a regular file", "0 passed, 1 failed"}));
}

void TestSimCli::limitsEndARun()
{
    // Key 1 sets state 1, key 2 clears it: each pair of ticks is two changes.
    QTemporaryDir dir;
    QByteArray toggles;
    for (int i = 0; i < 50; ++i)
        toggles += "hold 1\ntick\nrelease 1\npress 2 short\ntick\n";
    QVERIFY(writeFile(dir.filePath("toggle.txt"), toggles));
    QVERIFY(writeFile(dir.filePath("long.txt"), "tick\nwait 21474836.47s\nshow\n"));
    const QString trace = dir.filePath("t.csv");
    Run r = run({QStringLiteral("simulate"), m_setup, QStringLiteral("--script"), dir.filePath("long.txt"),
                 QStringLiteral("--max-ticks"), QStringLiteral("500"), QStringLiteral("--trace"), trace});
    QCOMPARE(r.exitCode, 1);
    QVERIFY(r.out.isEmpty());  // "show" was never reached
    QCOMPARE(r.err,
             errorNote()
                 + QStringLiteral("kelda-cli: %1:2: stopped at tick 500: the run reached its limit of 500 ticks "
                                  "(--max-ticks N raises it)\n")
                       .arg(dir.filePath("long.txt")));
    QVERIFY(readFile(trace).startsWith("tick,seconds,kind,name,value,cause\n"));

    r = run({QStringLiteral("simulate"), m_setup, QStringLiteral("--script"), dir.filePath("toggle.txt"),
             QStringLiteral("--max-changes"), QStringLiteral("40"), QStringLiteral("--trace"), trace});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains(QLatin1String("the run reached its limit of 40 changes in the trace (--max-changes N")),
             qPrintable(r.err));
    const int rows = int(readFile(trace).count('\n')) - 1;
    QVERIFY2(rows > 40 && rows < 60, qPrintable(QString::number(rows)));  // up to the tick that passed it
    // The whole toggling run fits the defaults.
    QCOMPARE(run({QStringLiteral("simulate"), m_setup, QStringLiteral("--script"), dir.filePath("toggle.txt"),
                  QStringLiteral("--trace"), trace})
                 .exitCode,
             0);

    QVERIFY(writeFile(dir.filePath("a.scenario"), "wait 1s\nexpect state 1 clear\n"));
    r = run({QStringLiteral("test"), m_setup, dir.filePath("a.scenario"), QStringLiteral("--max-ticks"),
             QStringLiteral("50")});
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(r.out.value(0),
             QStringLiteral("ERROR %1:1: stopped at tick 50: the run reached its limit of 50 ticks "
                            "(--max-ticks N raises it)")
                 .arg(dir.filePath("a.scenario")));
    for (const char *bad : {"0", "-5", "1e6", "many"})
        QCOMPARE(run({QStringLiteral("test"), m_setup, dir.filePath("a.scenario"), QStringLiteral("--max-ticks"),
                      QLatin1String(bad)})
                     .exitCode,
                 2);
}

// Names no waveform tool, XML reader or format string may trip over; the
// trace holds the inputs that caused each change and the CAN outputs.
void TestSimCli::tracesWithCausesAndHostileNames()
{
    QTemporaryDir dir;
    PMModel model;
    SetupBuilder b(model);
    const int sw2 = 1, horn = b.canOutput(QStringLiteral("0x100"));
    b.canInput(QStringLiteral("0x200"));
    const int s1 = b.state(), s2 = b.state(), e1 = b.event(), e2 = b.event(), e3 = b.event();
    const std::pair<ItemType, int> rows[] = {
        {ItemType::KeypadKey, 0}, {ItemType::Switch, 0}, {ItemType::Switch, sw2},     {ItemType::CanInput, 0},
        {ItemType::State, s1},    {ItemType::State, s2}, {ItemType::CanOutput, horn}, {ItemType::Event, e1}};
    const char *names[] = {"Horn %1 %2", "a.b", "a_b", "x[3]", "$end", "tab\there\x01", "Horn %1 %2", "Horn %1 %2"};
    for (size_t i = 0; i < std::size(rows); ++i) {
        StoreCursor c(model.session());
        QVERIFY(c.item(rows[i].first, rows[i].second) && c.setText(ValueId::Name, QString::fromUtf8(names[i])));
    }
    QVERIFY(b.input(e1, 0, ItemType::KeypadKey, 0, "Short Press") && b.entry(Mode::Events, e1, 0, ItemType::State, s1));
    QVERIFY(b.input(e2, 0, ItemType::Switch, 0, "High") && b.entry(Mode::Events, e2, 1, ItemType::State, s1));
    QVERIFY(b.input(e3, 0, ItemType::CanInput, 0, "-") && b.entry(Mode::Events, e3, 0, ItemType::State, s2));
    QVERIFY(b.entry(Mode::States, s1, 2, ItemType::CanOutput, horn));
    const QString setup = dir.filePath("horn.kelda");
    QVERIFY(model.saveSetup(setup));
    // A scenario whose file name is a format string, and a failing expectation.
    const QString scenario = dir.filePath("horn %1.scenario");
    QVERIFY(writeFile(scenario,
                      "press \"Horn %1 %2\" short\ntick\nexpect canoutput \"Horn %1 %2\" on\n"
                      "switch \"a.b\" on\ncan 1 on\ntick 3\nexpect canoutput 1 on\n"));
    Run r =
        runIn(dir.path(), {QStringLiteral("test"), QStringLiteral("horn.kelda"), QStringLiteral("horn %1.scenario")});
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(r.out.value(0),
             QStringLiteral("horn %1.scenario:7: tick 4: expected canoutput \"Horn %1 %2\" on, but it is off"));

    const QString csv = dir.filePath("horn.csv"), vcd = dir.filePath("horn.vcd"), svg = dir.filePath("horn.svg");
    for (const QString &out : {csv, vcd, svg})
        QCOMPARE(run({QStringLiteral("simulate"), setup, QStringLiteral("--script"), scenario,
                      out == svg ? QStringLiteral("--plot") : QStringLiteral("--trace"), out})
                     .exitCode,
                 1);
    // Causes before effects in each tick; a press is seen by one tick.
    QCOMPARE(
        QString::fromUtf8(readFile(csv)).split(QLatin1Char('\n')),
        QStringList({"tick,seconds,kind,name,value,cause", "1,0.01,key,Horn %1 %2 SP,1,",
                     "1,0.01,state,$end,1,Horn %1 %2", "1,0.01,canoutput,Horn %1 %2,1,", "2,0.02,key,Horn %1 %2 SP,0,",
                     "2,0.02,switch,a.b,1,", "2,0.02,caninput,x[3],1,", "2,0.02,state,$end,0,Event 2",
                     "2,0.02,state,tab\there\x01,1,Event 3", "2,0.02,canoutput,Horn %1 %2,0,", ""}));

    // The VCD, read strictly: one word per reference, each of [A-Za-z0-9_] and
    // different, every change to a declared code, time never going back.
    const QStringList lines = QString::fromUtf8(readFile(vcd)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    static const QRegularExpression var(QStringLiteral("^\\$var wire 1 (\\S+) ([A-Za-z0-9_]+) \\$end$"));
    QMap<QString, QString> byCode;
    QSet<QString> refs;
    qint64 time = -1;
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("$var"))) {
            const QRegularExpressionMatch m = var.match(line);
            QVERIFY2(m.hasMatch(), qPrintable(line));
            QVERIFY2(!refs.contains(m.captured(2)), qPrintable(line));
            refs.insert(m.captured(2));
            byCode.insert(m.captured(1), m.captured(2));
        } else if (line.startsWith(QLatin1Char('#'))) {
            QVERIFY(line.mid(1).toLongLong() > time);
            time = line.mid(1).toLongLong();
        } else if (line.startsWith(QLatin1Char('0')) || line.startsWith(QLatin1Char('1'))) {
            QVERIFY2(byCode.contains(line.mid(1)), qPrintable(line));
        } else {
            QVERIFY2((line.startsWith(QLatin1Char('$')) && line.endsWith(QLatin1String("$end")))
                         || line == QLatin1String("$dumpvars"),
                     qPrintable(line));
        }
    }
    for (const char *ref : {"Horn__1__2_SP", "a_b", "a_b_2", "x_3_", "_end", "tab_here_", "Horn__1__2"})
        QVERIFY2(refs.contains(QLatin1String(ref)), ref);

    // A standard reader sees every signal under its reference name.
    if (QStandardPaths::findExecutable(QStringLiteral("sigrok-cli")).isEmpty()) {
        qInfo("sigrok-cli is not installed: the VCD was checked by the strict reader only");
    } else {
        QProcess sigrok;
        sigrok.start(QStringLiteral("sigrok-cli"),
                     {QStringLiteral("-I"), QStringLiteral("vcd"), QStringLiteral("-i"), vcd, QStringLiteral("-O"),
                      QStringLiteral("bits")});
        QVERIFY(sigrok.waitForFinished(60000) && sigrok.exitCode() == 0);
        // One line of samples per channel: NAME:0011...
        static const QRegularExpression channel(QStringLiteral("^(\\w+):[01 ]+$"));
        QSet<QString> seen;
        for (const QString &line : QString::fromUtf8(sigrok.readAllStandardOutput()).split(QLatin1Char('\n')))
            if (const QRegularExpressionMatch m = channel.match(line); m.hasMatch())
                seen.insert(m.captured(1));
        QCOMPARE(seen, refs);
    }

    // The plot is well-formed XML whatever the names hold.
    QXmlStreamReader xml(readFile(svg));
    QString text;
    while (!xml.atEnd())
        if (xml.readNext() == QXmlStreamReader::Characters)
            text += xml.text();
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    QVERIFY(text.contains(QLatin1String("tab\\there\\x01")) && text.contains(QLatin1String("Horn %1 %2 SP")));
}

QObject *makeCliTests()
{
    return new TestSimCli;
}

#include "tst_simcli.moc"
