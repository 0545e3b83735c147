// CAN frames through kelda-cli: logs written by python-can replayed with
// simulate --can-in, scenario lines that send frames, CAN output logs read
// back by python-can, the timing rules against a reference written here, and
// the bus bridge over VirtualCAN.
#include <QCanBus>
#include <QCanBusDevice>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>
#include <sys/stat.h>

#include <memory>

#include "canlog.h"
#include "clirun.h"
#include "pmmodel.h"
#include "setupbuilder.h"
#include "simscenario.h"
#include "testpaths.h"
#include "tst_sim.h"

using namespace kelda;
using namespace kelda::test;

namespace {

// RPM on 0x123 word 1 (big-endian), gear in byte 3, a CAN Key on byte 1;
// states drive two outputs that share the frame 0x300.
bool buildRpm(const QString &path)
{
    PMModel model;
    SetupBuilder b(model);
    const int high = b.canInput(QStringLiteral("0x123"), QStringLiteral("Word 1"), 3200, QStringLiteral(">"));
    const int low = b.canInput(QStringLiteral("0x123"), QStringLiteral("Word 1"), 3000, QStringLiteral("<"));
    const int gear = b.canInput(QStringLiteral("0x123"), QStringLiteral("Byte 3"), 5, QStringLiteral("="));
    const int horn = b.canInput(QStringLiteral("0x123"), QStringLiteral("Byte 1"), 0, QStringLiteral("CAN Key"));
    const int fanOut = b.canOutput(QStringLiteral("0x300"), QStringLiteral("Word 1"), 0x1234);
    const int reverseOut = b.canOutput(QStringLiteral("0x300"), QStringLiteral("Byte 3"), 0x55);
    bool ok = b.set(Mode::CanInputs, high, CanInputCol::Name, QStringLiteral("RPM high"))
        && b.set(Mode::CanInputs, low, CanInputCol::Name, QStringLiteral("RPM low"))
        && b.set(Mode::CanInputs, gear, CanInputCol::Name, QStringLiteral("Reverse gear"))
        && b.set(Mode::CanInputs, horn, CanInputCol::Name, QStringLiteral("Horn"))
        && b.set(Mode::CanOutputs, fanOut, CanOutputCol::Name, QStringLiteral("Fan request"))
        && b.set(Mode::CanOutputs, reverseOut, CanOutputCol::Name, QStringLiteral("Reverse lamp"));
    const int fan = b.state(), reverse = b.state(), honk = b.state();
    ok = ok && b.set(Mode::States, fan, StateCol::Name, QStringLiteral("Fan"))
        && b.set(Mode::States, reverse, StateCol::Name, QStringLiteral("Reverse"))
        && b.set(Mode::States, honk, StateCol::Name, QStringLiteral("Honk"));
    for (int e = 0; e < 4; ++e)
        b.event();
    using T = ItemType;
    enum { Set, Clear };
    ok = ok && b.input(0, 0, T::CanInput, high, "-") && b.entry(Mode::Events, 0, Set, T::State, fan)
        && b.input(1, 0, T::CanInput, low, "-") && b.entry(Mode::Events, 1, Clear, T::State, fan)
        && b.input(2, 0, T::CanInput, gear, "-") && b.entry(Mode::Events, 2, Set, T::State, reverse)
        && b.input(3, 0, T::CanInput, horn, "-") && b.entry(Mode::Events, 3, Set, T::State, honk)
        && b.entry(Mode::States, fan, 2, T::CanOutput, fanOut)
        && b.entry(Mode::States, reverse, 2, T::CanOutput, reverseOut);
    return ok && model.saveSetup(path);
}

bool pythonCan()
{
    return QProcess::execute(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), QStringLiteral("import can")})
        == 0;
}

// Runs a Python snippet with python-can; its standard output.
QByteArray python(const QString &code, const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral("/usr/bin/python3"), QStringList{QStringLiteral("-c"), code} + args);
    if (!p.waitForFinished(60000) || p.exitCode() != 0)
        return "python failed: " + p.readAllStandardError();
    return p.readAllStandardOutput();
}

// The frames of the drive log: "seconds id data ext", written by python-can.
const char *kWriteLog = R"(
import sys, can
w = can.CanutilsLogWriter(sys.argv[1], channel="can0")
t0 = 1436509052.0
for line in sys.argv[2].split(";"):
    t, i, d, x = line.split()
    w.on_message_received(can.Message(timestamp=t0 + float(t), arbitration_id=int(i, 16), is_extended_id=x == "1",
                                      data=bytes.fromhex(d), channel="can0"))
w.stop()
)";

const char *kReadLog = R"(
import sys, can
for m in can.CanutilsLogReader(sys.argv[1]):
    print("%.6f %s %x %d %s" % (m.timestamp, m.channel, m.arbitration_id, m.is_extended_id, m.data.hex()))
)";

// Frame A (3201, gear 0) at 0 ms, B (2816, gear 5) at 10.5 ms, an extended
// frame at 12 ms, B again at 25 ms, then A stamped 5 ms (out of order: read
// after a frame of tick 3, it goes with it), a frame nobody reads at 500 ms.
const QString kDrive = QStringLiteral("0.000 123 0c8100 0;0.0105 123 0b0005 0;0.012 123 0c8100 1;"
                                      "0.025 123 0b0005 0;0.005 123 0c8100 0;0.500 7ff 00 0");

int freePort()
{
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost, 0) ? server.serverPort() : 0;
}

}  // namespace

class TestSimCan : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void logDrivesTheRunAndOutputsBecomeFrames();
    void unreadableLinesAreReportedAndTheRunGoesOn();
    void scenarioSendsFramesAndReplaysLogs();
    void badFrameLinesStopBeforeAnyTick_data();
    void badFrameLinesStopBeforeAnyTick();
    void timingMatchesAReference();
    void framesAtTheEdges();
    void dbcSignalsSetPhysicalValues();
    void busBridgeOverVirtualCan();
    void aLostBusEndsTheRunWithStatus1();
    void socketCanBridge();

private:
    QTemporaryDir m_dir;
    QString m_setup;
};

void TestSimCan::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_setup = m_dir.filePath(QStringLiteral("rpm.kelda"));
    QVERIFY(buildRpm(m_setup));
}

void TestSimCan::logDrivesTheRunAndOutputsBecomeFrames()
{
    if (!pythonCan())
        QSKIP("python-can is not installed for /usr/bin/python3 (Debian package python3-can)");
    const QString log = m_dir.filePath(QStringLiteral("drive.log"));
    QVERIFY(python(QLatin1String(kWriteLog), {log, kDrive}).isEmpty());
    const QString out = m_dir.filePath(QStringLiteral("out.log"));
    const QString trace1 = m_dir.filePath(QStringLiteral("t1.csv")), trace2 = m_dir.filePath(QStringLiteral("t2.csv"));
    const CliRun r = runCli({QStringLiteral("simulate"), m_setup, QStringLiteral("--can-in"), log,
                             QStringLiteral("--can-out"), out, QStringLiteral("--trace"), trace1});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    // Tick 1 sees A (fan); tick 2 sees B (fan off, reverse); tick 3 sees B
    // and the late A (fan). The run lasts until the frame at 500 ms: 51 ticks.
    const QByteArray frames = python(QLatin1String(kReadLog), {out});
    QCOMPARE(frames,
             QByteArray("1436509052.010000 can0 300 0 1234000000000000\n"
                        "1436509052.020000 can0 300 0 0000550000000000\n"
                        "1436509052.030000 can0 300 0 1234550000000000\n"));
    const QString err = QString::fromUtf8(r.err);
    QVERIFY2(err.contains(QStringLiteral("frames do not decide CAN input \"Horn\"")), r.err.constData());
    QVERIFY2(err.contains(QStringLiteral("1 stamped earlier than a frame before them, applied at the next tick")),
             r.err.constData());
    QVERIFY2(err.contains(QStringLiteral("1 extended frames ignored")), r.err.constData());
    QCOMPARE(err.count(QStringLiteral("frames do not decide")), 1);

    // The output log never replaces an input.
    const CliRun clash = runCli(
        {QStringLiteral("simulate"), m_setup, QStringLiteral("--can-in"), log, QStringLiteral("--can-out"), log});
    QCOMPARE(clash.exitCode, 1);
    QVERIFY2(clash.err.contains("an input"), clash.err.constData());
    QVERIFY(QFileInfo(log).size() > 100);

    // The same log again: the same trace, byte for byte.
    const CliRun again = runCli(
        {QStringLiteral("simulate"), m_setup, QStringLiteral("--can-in"), log, QStringLiteral("--trace"), trace2});
    QCOMPARE(again.exitCode, 0);
    QFile a(trace1), b(trace2);
    QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
    const QByteArray first = a.readAll();
    QVERIFY(first.contains("RPM high"));
    QCOMPARE(first, b.readAll());
    b.close();
    // From standard input and from a pipe (a log unpacked on the fly): the same trace.
    QFile logFile(log);
    QVERIFY(logFile.open(QIODevice::ReadOnly));
    const CliRun piped = runCliWith({QStringLiteral("simulate"), m_setup, QStringLiteral("--can-in"),
                                     QStringLiteral("-"), QStringLiteral("--trace"), trace2},
                                    logFile.readAll());
    QVERIFY2(piped.exitCode == 0 && piped.err.contains("standard input: note:"), piped.err.constData());
    QVERIFY(b.open(QIODevice::ReadOnly));
    QCOMPARE(b.readAll(), first);
    b.close();
    QProcess shell;
    shell.start(QStringLiteral("bash"),
                {QStringLiteral("-c"),
                 QStringLiteral("\"$0\" simulate \"$1\" --can-in <(cat \"$2\") "
                                "--trace \"$3\""),
                 cliProgram(), m_setup, log, trace2});
    QVERIFY(shell.waitForFinished(60000));
    QVERIFY2(shell.exitCode() == 0, shell.readAllStandardError().constData());
    QVERIFY(b.open(QIODevice::ReadOnly));
    QCOMPARE(b.readAll(), first);
    const CliRun both = runCliWith({QStringLiteral("simulate"), m_setup, QStringLiteral("--can-in"),
                                    QStringLiteral("-"), QStringLiteral("--script"), QStringLiteral("-")},
                                   QByteArray());
    QCOMPARE(both.exitCode, 2);

    // Started a second early, the frames come 100 ticks later; a script sees
    // the outputs off until then, and the run lasts until the last frame.
    const QString script = m_dir.filePath(QStringLiteral("early.txt"));
    QFile s(script);
    QVERIFY(s.open(QIODevice::WriteOnly));
    s.write("wait 1s\nexpect canoutput \"Fan request\" off\ntick\nexpect canoutput \"Fan request\" on\nshow\n");
    s.close();
    const CliRun early =
        runCli({QStringLiteral("simulate"), m_setup, QStringLiteral("--can-in"), log, QStringLiteral("--can-start"),
                QStringLiteral("1436509051"), QStringLiteral("--script"), script, QStringLiteral("--can-out"), out});
    QVERIFY2(early.exitCode == 0, early.out.constData());
    QVERIFY(early.out.startsWith("tick 101\nstates 1 0 0\n"));
    QCOMPARE(python(QLatin1String(kReadLog), {out}), frames);
}

void TestSimCan::unreadableLinesAreReportedAndTheRunGoesOn()
{
    const QString log = m_dir.filePath(QStringLiteral("bad.log"));
    QFile f(log);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("(10.000000) can0 123#0C8100\n"
            "(10.001000) can0 123#0C8\n"
            "garbage\n"
            "(10.020000) can1 123#0B0005\n"
            "(10.025000) can1 00000123#01\n"
            "(10.026000) can1 123#R\n"
            "(10.027000) can0 00000124#R\n"
            "(10.030000) can0 7FF#00\n");
    f.close();
    const CliRun r = runCli({QStringLiteral("simulate"), m_setup, QStringLiteral("--can-in"), log});
    QCOMPARE(r.exitCode, 0);
    const QString err = QString::fromUtf8(r.err);
    QVERIFY2(err.contains(log + QStringLiteral(":2: ")) && err.contains(log + QStringLiteral(":3: ")),
             r.err.constData());
    QVERIFY2(err.contains(QStringLiteral("2 unreadable lines")), r.err.constData());
    // Each frame left out is counted once: an extended remote frame as extended.
    QVERIFY2(err.contains(QStringLiteral("2 extended frames ignored; 1 remote frames ignored")), r.err.constData());

    // --can-channel keeps one bus: can1's frame is left out, so reverse never comes.
    const QString script = m_dir.filePath(QStringLiteral("bus.txt"));
    QFile s(script);
    QVERIFY(s.open(QIODevice::WriteOnly));
    s.write("tick 5\nexpect state \"Reverse\" clear\nexpect state \"Fan\" set\n");
    s.close();
    const CliRun one =
        runCli({QStringLiteral("simulate"), m_setup, QStringLiteral("--can-in"), log, QStringLiteral("--can-channel"),
                QStringLiteral("can0"), QStringLiteral("--script"), script});
    QVERIFY2(one.exitCode == 0, one.out.constData());
    QVERIFY2(one.err.contains("; 1 extended frames ignored; 3 frames of other buses left out")
                 && !one.err.contains("remote"),
             one.err.constData());
    const CliRun both = runCli(
        {QStringLiteral("simulate"), m_setup, QStringLiteral("--can-in"), log, QStringLiteral("--script"), script});
    QCOMPARE(both.exitCode, 1);  // now reverse is set at tick 3
    // A log that names no bus (CSV) has none --can-channel picks: the note says why.
    const QString csv = m_dir.filePath(QStringLiteral("bus.csv"));
    QFile c(csv);
    QVERIFY(c.open(QIODevice::WriteOnly));
    c.write("timestamp,arbitration_id,extended,remote,error,dlc,data\n10.0,0x123,0,0,0,3,DIEA\n");
    c.close();
    const CliRun unnamed = runCli({QStringLiteral("simulate"), m_setup, QStringLiteral("--can-in"), csv,
                                   QStringLiteral("--can-channel"), QStringLiteral("can0")});
    QVERIFY2(unnamed.exitCode == 0 && unnamed.err.contains("1 frames left out because the log names no bus"),
             unnamed.err.constData());

    // A log that cannot be read at all ends the run before it starts: the
    // outputs of an earlier run stay as they were.
    const QString junk = m_dir.filePath(QStringLiteral("junk.dat")), out = m_dir.filePath(QStringLiteral("kept.log")),
                  trace = m_dir.filePath(QStringLiteral("kept.csv"));
    for (const QString &path : {junk, out, trace}) {
        QFile k(path);
        QVERIFY(k.open(QIODevice::WriteOnly) && k.write("earlier run\n") == 12);
    }
    const CliRun none = runCli({QStringLiteral("simulate"), m_setup, QStringLiteral("--can-in"), junk,
                                QStringLiteral("--can-out"), out, QStringLiteral("--trace"), trace});
    QCOMPARE(none.exitCode, 1);
    QVERIFY2(none.err.contains("cannot read") && none.err.contains("not a CAN log"), none.err.constData());
    for (const QString &path : {out, trace}) {
        QFile k(path);
        QVERIFY(k.open(QIODevice::ReadOnly));
        QCOMPARE(k.readAll(), QByteArray("earlier run\n"));
    }
    // A run that started and reached a limit writes what ran.
    const CliRun limited =
        runCli({QStringLiteral("simulate"), m_setup, QStringLiteral("--can-in"), log, QStringLiteral("--max-ticks"),
                QStringLiteral("1"), QStringLiteral("--can-out"), out, QStringLiteral("--trace"), trace});
    QCOMPARE(limited.exitCode, 1);
    QVERIFY2(limited.err.contains("stopped at tick 1"), limited.err.constData());
    QFile ran(trace), sent(out);
    QVERIFY(ran.open(QIODevice::ReadOnly) && sent.open(QIODevice::ReadOnly));
    QVERIFY2(ran.readAll().contains("1,0.01,caninput,RPM high,1,"), "the trace of the first tick");
    QCOMPARE(sent.readAll(), QByteArray("(10.010000) can0 300#1234000000000000\n"));
}

void TestSimCan::scenarioSendsFramesAndReplaysLogs()
{
    QTemporaryDir dir;
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("logs"))));
    QFile log(dir.filePath(QStringLiteral("logs/start.log")));
    QVERIFY(log.open(QIODevice::WriteOnly));
    log.write("(500.000000) can0 123#0C81\n(500.015000) can0 123#0B00\n");
    log.close();
    QFile scenario(dir.filePath(QStringLiteral("logs/rpm.scenario")));
    QVERIFY(scenario.open(QIODevice::WriteOnly));
    scenario.write(("setup " + m_setup
                    + "\n"
                      "tick 3\n"
                      "replay \"start.log\"          # its first frame at tick 3\n"
                      "tick\n"
                      "expect canoutput \"Fan request\" on\n"
                      "tick                            # 15 ms after tick 3: seen by tick 5\n"
                      "expect state \"Fan\" clear\n"
                      "can \"RPM high\" on             # overrides, until the next frame on 0x123\n"
                      "can \"RPM low\" off\n"
                      "tick\n"
                      "expect state \"Fan\" set\n"
                      "can \"RPM low\" = 100           # the last frame, 0B00, with word 1 = 100\n"
                      "tick\n"
                      "expect state \"Fan\" clear\n"
                      "can 0x123 = 0D 00 05\n"
                      "tick\n"
                      "expect state \"Fan\" set\n"
                      "expect canoutput \"Fan request\" on\n"
                      "expect canoutput \"Reverse lamp\" on\n"
                      "can \"Horn\" on                 # a CAN Key keeps its box\n"
                      "tick\n"
                      "expect state \"Honk\" set\n")
                       .toUtf8());
    scenario.close();
    const CliRun r = runCli({QStringLiteral("test"), dir.filePath(QStringLiteral("logs"))});
    QVERIFY2(r.exitCode == 0, (r.out + r.err).constData());
    QVERIFY2(r.out.contains("PASS ") && r.out.contains("(8 expectations"), r.out.constData());
}

void TestSimCan::badFrameLinesStopBeforeAnyTick_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("why");
    QTest::newRow("identifier too big") << QByteArray("can 0x800 = 11") << "not a standard CAN identifier";
    QTest::newRow("nine bytes") << QByteArray("can 0x123 = 1 2 3 4 5 6 7 8 9") << "at most 8 bytes";
    QTest::newRow("not a byte") << QByteArray("can 0x123 = 1G") << "'1G' is not a data byte";
    QTest::newRow("byte value too big") << QByteArray("can \"Reverse gear\" = 256") << "not a value of 8 bits";
    QTest::newRow("word value too big") << QByteArray("can \"RPM high\" = 0x10000") << "not a value of 16 bits";
    QTest::newRow("negative") << QByteArray("can \"RPM high\" = -1") << "not a value of 16 bits";
    QTest::newRow("identifier with two 0x") << QByteArray("can 0x0x7 = 11") << "not a standard CAN identifier";
    QTest::newRow("value with two 0x") << QByteArray("can \"RPM high\" = 0x0x10") << "not a value of 16 bits";
    QTest::newRow("replay nothing") << QByteArray("replay") << "missing argument";
    QTest::newRow("replay a missing file") << QByteArray("replay \"nope.log\"") << "cannot read";
    // A pipe would block and a device never end: both are refused unread.
    QVERIFY(QFile::link(QStringLiteral("/dev/zero"), m_dir.filePath(QStringLiteral("zero.log"))));
    QCOMPARE(::mkfifo(QFile::encodeName(m_dir.filePath(QStringLiteral("pipe.log"))).constData(), 0600), 0);
    QTest::newRow("replay a device") << QByteArray("replay \"zero.log\"") << "zero.log: not a regular file";
    QTest::newRow("replay a pipe") << QByteArray("replay \"pipe.log\"") << "pipe.log: not a regular file";
}

void TestSimCan::badFrameLinesStopBeforeAnyTick()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, why);
    const QString script = m_dir.filePath(QStringLiteral("bad.txt"));
    QFile s(script);
    QVERIFY(s.open(QIODevice::WriteOnly));
    s.write("tick\n" + line + "\nshow\n");
    s.close();
    const CliRun r = runCli({QStringLiteral("simulate"), m_setup, QStringLiteral("--script"), script});
    QCOMPARE(r.exitCode, 1);
    QVERIFY(r.out.isEmpty());
    QVERIFY2(r.err.contains((script + QStringLiteral(":2: ")).toUtf8()) && QString::fromUtf8(r.err).contains(why),
             r.err.constData());
}

// 0x123 as a DBC describes it: the big-endian word 1 is EngineSpeed in
// quarter rpm, byte 3 the gear; Horn shares its name with a CAN input.
const char kRpmDbc[] = "VERSION \"\"\n\n"
                       "BO_ 291 ENGINE: 8 ECU\n"
                       " SG_ EngineSpeed : 7|16@0+ (0.25,0) [0|16383.75] \"rpm\" LX2\n"
                       " SG_ Gear : 16|8@1+ (1,0) [0|255] \"\" LX2\n"
                       " SG_ Horn : 24|8@1+ (2,0) [0|510] \"x\" LX2\n";

void TestSimCan::dbcSignalsSetPhysicalValues()
{
    QTemporaryDir dir;
    const QString dbcPath = dir.filePath(QStringLiteral("rpm.dbc")),
                  script = dir.filePath(QStringLiteral("run.scenario"));
    const QString out = dir.filePath(QStringLiteral("out.log")), trace = dir.filePath(QStringLiteral("t.csv"));
    QFile f(dbcPath);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(kRpmDbc) > 0);
    f.close();
    QFile s(script);
    QVERIFY(s.open(QIODevice::WriteOnly));
    s.write("can \"EngineSpeed\" = 3300.1 rpm   # raw 13200: RPM high\n"
            "tick\n"
            "expect state \"Fan\" set\n"
            "can \"Gear\" = 5                   # no CAN input is named Gear; the speed bits stay\n"
            "tick\n"
            "expect state \"Reverse\" set\n"
            "expect state \"Fan\" set\n"
            "can \"ENGINE.EngineSpeed\" = 700   # raw 2800: RPM low\n"
            "tick\n"
            "expect state \"Fan\" clear\n"
            "can \"Horn\" = 4 x                 # with a unit: the signal, raw 2 in byte 4\n"
            "tick\n"
            "expect state \"Reverse\" set\n");
    s.close();
    const CliRun r =
        runCli({QStringLiteral("simulate"), m_setup, QStringLiteral("--script"), script, QStringLiteral("--dbc"),
                dbcPath, QStringLiteral("--can-out"), out, QStringLiteral("--trace"), trace});
    QVERIFY2(r.exitCode == 0, (r.out + r.err).constData());
    QFile log(out);
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray frames = log.readAll();
    QVERIFY2(frames.contains("300#1234000000000000\n") && frames.contains("300#1234550000000000\n")
                 && frames.contains("300#0000550000000000\n"),
             frames.constData());
    QFile t(trace);
    QVERIFY(t.open(QIODevice::ReadOnly));
    const QByteArray csv = t.readAll();
    // The inputs on 0x123 carry the names of the signals in their bytes.
    QVERIFY2(csv.contains(",RPM high [EngineSpeed],1,") && csv.contains(",RPM low [EngineSpeed],1,")
                 && csv.contains(",Reverse gear [Gear],1,"),
             csv.constData());

    // A bare number on a CAN input's name is the input's channel value (8
    // bits here); a unit makes it the DBC signal. Refusals stop the run.
    struct Bad {
        const char *line, *why;
    };
    const Bad bad[] = {{"can \"Horn\" = 300", "not a value of 8 bits"},
                       {"can \"EngineSpeed\" = 850 km/h", "EngineSpeed is in rpm, not 'km/h'"},
                       {"can \"EngineSpeed\" = 16384", "outside EngineSpeed"},
                       {"can \"Nothing\" = 1 rpm", "extra argument"},
                       {"can \"EngineSpeed\" =", "missing argument"},
                       {"can \"EngineSpeed\" = 850 rpm 2", "extra argument '2'"}};
    for (const Bad &b : bad) {
        QVERIFY(s.open(QIODevice::WriteOnly | QIODevice::Truncate));
        s.write(QByteArray("tick\n") + b.line + "\n");
        s.close();
        const CliRun no = runCli({QStringLiteral("simulate"), m_setup, QStringLiteral("--script"), script,
                                  QStringLiteral("--dbc"), dbcPath});
        QCOMPARE(no.exitCode, 1);
        QVERIFY2(no.err.contains((script + QStringLiteral(":2: ")).toUtf8()) && no.err.contains(b.why),
                 no.err.constData());
    }
    QVERIFY(s.open(QIODevice::WriteOnly | QIODevice::Truncate));
    s.write("can \"Horn\" = 300 x\ncan \"EngineSpeed\" = 850 rpm\ntick\nexpect state \"Fan\" set\n");
    s.close();
    const CliRun viaTest = runCli({QStringLiteral("test"), m_setup, script, QStringLiteral("--dbc"), dbcPath});
    QVERIFY2(viaTest.exitCode == 0 && viaTest.out.contains("PASS "), (viaTest.out + viaTest.err).constData());
    const CliRun noDbc = runCli({QStringLiteral("simulate"), m_setup, QStringLiteral("--script"), script,
                                 QStringLiteral("--dbc"), dir.filePath(QStringLiteral("missing.dbc"))});
    QVERIFY2(noDbc.exitCode == 1 && noDbc.err.contains("cannot read"), noDbc.err.constData());
}

// Random stamps, out of order now and then: the engine must see, at each
// tick k, the frames of a reference computed here from the rule "stamped
// before k x 10 ms, in file order; a frame earlier than one before it at the
// next tick".
void TestSimCan::timingMatchesAReference()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("random.log"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QRandomGenerator rng(29);
    struct Sent {
        qint64 us;
        uint16_t rpm;
    };
    std::vector<Sent> sent;
    qint64 us = 100000;
    for (int i = 0; i < 2000; ++i) {
        us += rng.bounded(12000);
        const bool late = rng.bounded(20) == 0;
        const qint64 stamp = late ? us - rng.bounded(30000) : us;
        const uint16_t rpm = uint16_t(rng.bounded(2) ? 3300 : 2900);
        sent.push_back({stamp, rpm});
        f.write(QStringLiteral("(%1.%2) can0 123#%3\n")
                    .arg(1000 + stamp / 1000000)
                    .arg(stamp % 1000000, 6, 10, QLatin1Char('0'))
                    .arg(rpm, 4, 16, QLatin1Char('0'))
                    .toUtf8());
    }
    f.close();

    SimScenario scenario;
    QString what, why;
    QVERIFY(scenario.open(m_setup, &what, &why));
    // Expected state of "Fan" after each tick, from the reference.
    std::vector<bool> expected;
    bool fan = false;
    qint64 latest = sent.front().us, firstUs = sent.front().us;
    size_t next = 0;
    for (qint64 k = 1; next < sent.size(); ++k) {
        while (next < sent.size()) {
            const bool late = sent[next].us < latest;
            if (!late && sent[next].us - firstUs >= k * 10000)
                break;
            latest = std::max(latest, sent[next].us);
            fan = sent[next].rpm > 3200;  // high sets it, low clears it
            ++next;
        }
        expected.push_back(fan);
    }
    std::vector<SimStep> steps;
    int bad = 0;
    QByteArray script;
    for (size_t k = 0; k < expected.size(); ++k)
        script += QByteArray("tick\nexpect state \"Fan\" ") + (expected[k] ? "set\n" : "clear\n");
    QVERIFY(parseSimScript(script, scenario.rows(), &steps, &bad, &why));
    SimCanOptions can;
    can.canIn = path;
    QStringList notes;
    can.note = [&notes](const QString &n) { notes << n; };
    const SimOutcome outcome = scenario.run(steps, nullptr, nullptr, {}, can);
    QCOMPARE(outcome.expectations, int(expected.size()));
    for (const SimFailure &failure : outcome.failures)
        QFAIL(qPrintable(QStringLiteral("tick %1: %2").arg(failure.tick).arg(failure.message)));
    QCOMPARE(outcome.ticks, qint64(expected.size()));
}

// A log whose clock starts below zero, and a frame of no data bytes: neither
// is special to the model.
void TestSimCan::framesAtTheEdges()
{
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("negative.log")), trace = dir.filePath(QStringLiteral("t.csv"));
    QFile f(log);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("(-0.020000) can0 123#0C8100\n(-0.005000) can0 123#0B0005\n");
    f.close();
    const CliRun r = runCli(
        {QStringLiteral("simulate"), m_setup, QStringLiteral("--can-in"), log, QStringLiteral("--trace"), trace});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QVERIFY2(!r.err.contains("stamped earlier"), r.err.constData());
    QFile t(trace);
    QVERIFY(t.open(QIODevice::ReadOnly));
    const QByteArray csv = t.readAll();
    t.close();
    QVERIFY2(csv.contains("1,0.01,caninput,RPM high,1,") && csv.contains("2,0.02,caninput,Reverse gear,1,"),
             csv.constData());

    // After a frame of no bytes, a value typed for word 1 makes a frame of
    // two bytes: byte 3 is not in it, so the gear keeps its result.
    const QString script = dir.filePath(QStringLiteral("dlc0.txt"));
    QFile s(script);
    QVERIFY(s.open(QIODevice::WriteOnly));
    s.write("can 0x123 = 0C 81 05\ntick\ncan 0x123 =\ntick\ncan \"RPM low\" = 100\ntick\n");
    s.close();
    const CliRun d = runCli(
        {QStringLiteral("simulate"), m_setup, QStringLiteral("--script"), script, QStringLiteral("--trace"), trace});
    QVERIFY2(d.exitCode == 0, d.err.constData());
    QVERIFY(t.open(QIODevice::ReadOnly));
    const QByteArray changes = t.readAll();
    QVERIFY2(changes.contains("1,0.01,caninput,Reverse gear,1,") && changes.contains("3,0.03,caninput,RPM low,1,")
                 && !changes.contains("caninput,Reverse gear,0,"),
             changes.constData());

    // A log of no frames (an ASC header alone) runs, and says so.
    const QString header = dir.filePath(QStringLiteral("header.asc"));
    QFile h(header);
    QVERIFY(h.open(QIODevice::WriteOnly));
    h.write("date Wed Dec 09 08:52:47.484 AM 2026\nbase hex  timestamps absolute\n");
    h.close();
    const CliRun empty = runCli({QStringLiteral("simulate"), m_setup, QStringLiteral("--can-in"), header});
    QVERIFY2(empty.exitCode == 0 && empty.err.contains("header.asc: note: the log holds no frames"),
             empty.err.constData());
}

void TestSimCan::busBridgeOverVirtualCan()
{
    // Options a bridge would not honour are refused, not ignored.
    for (const QStringList &option : {QStringList{QStringLiteral("--max-ticks"), QStringLiteral("5")},
                                      QStringList{QStringLiteral("--dbc"), m_setup}}) {
        const CliRun r = runCli(QStringList{QStringLiteral("simulate"), m_setup, QStringLiteral("--bus"),
                                            QStringLiteral("virtualcan:tcp://127.0.0.1:1/can0")}
                                + option);
        QVERIFY2(r.exitCode == 2 && r.err.contains(option.first().toUtf8() + " does not go with --bus"),
                 r.err.constData());
    }
    if (!QCanBus::instance()->plugins().contains(QStringLiteral("virtualcan")))
        QSKIP("Qt's virtualcan plugin is not installed (Debian package libqt6serialbus6-plugins)");
    const int port = freePort();
    QVERIFY(port > 0);
    const QString url = QStringLiteral("tcp://127.0.0.1:%1/can0").arg(port);
    // The first device on the port serves the bus; kelda-cli joins it.
    std::unique_ptr<QCanBusDevice> bus(QCanBus::instance()->createDevice(QStringLiteral("virtualcan"), url));
    QVERIFY(bus && bus->connectDevice());
    QTRY_COMPARE(bus->state(), QCanBusDevice::ConnectedState);
    QProcess cli;
    cli.start(cliProgram(),
              {QStringLiteral("simulate"), m_setup, QStringLiteral("--bus"), QStringLiteral("virtualcan:") + url,
               QStringLiteral("--for"), QStringLiteral("20")});
    QVERIFY(cli.waitForStarted());
    // Until kelda-cli has joined, frames go nowhere: send until the answer comes.
    QSignalSpy received(bus.get(), &QCanBusDevice::framesReceived);
    QCanBusFrame answer;
    bool answered = false;
    for (int i = 0; i < 100 && !answered; ++i) {
        bus->writeFrame(QCanBusFrame(0x123, QByteArray::fromHex("0C8100")));
        received.wait(100);
        while (bus->framesAvailable()) {
            const QCanBusFrame f = bus->readFrame();
            if (f.frameId() == 0x300)
                answer = f, answered = true;
        }
    }
    QVERIFY2(answered, cli.readAllStandardError().constData());
    QCOMPARE(answer.payload(), QByteArray::fromHex("1234000000000000"));
    // SIGINT ends the run with status 0.
    ::kill(pid_t(cli.processId()), SIGINT);
    QVERIFY(cli.waitForFinished(10000));
    QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
    QCOMPARE(cli.exitCode(), 0);
    QVERIFY(cli.readAllStandardError().contains("frames out"));
}

// The bus served by another program that dies: the bridge says so, status 1.
void TestSimCan::aLostBusEndsTheRunWithStatus1()
{
    if (!QCanBus::instance()->plugins().contains(QStringLiteral("virtualcan")))
        QSKIP("Qt's virtualcan plugin is not installed (Debian package libqt6serialbus6-plugins)");
    const int port = freePort();
    QVERIFY(port > 0);
    const QStringList args = {
        QStringLiteral("simulate"), m_setup,
        QStringLiteral("--bus"),    QStringLiteral("virtualcan:tcp://127.0.0.1:%1/can0").arg(port),
        QStringLiteral("--for"),    QStringLiteral("30")};
    QProcess server, client;
    server.start(cliProgram(), args);
    QVERIFY(server.waitForStarted());
    QTcpSocket probe;
    QTRY_VERIFY_WITH_TIMEOUT(
        (probe.abort(), probe.connectToHost(QHostAddress::LocalHost, quint16(port)), probe.waitForConnected(100)),
        10000);
    probe.abort();
    client.start(cliProgram(), args);
    QVERIFY(client.waitForStarted());
    QByteArray said;
    QTRY_VERIFY_WITH_TIMEOUT((said += client.readAllStandardError()).contains("frames do not decide"), 10000);
    QTest::qWait(200);  // joined: the note comes after the connection
    server.kill();
    QVERIFY(server.waitForFinished(10000));
    QVERIFY(client.waitForFinished(10000));
    said += client.readAllStandardError();
    QCOMPARE(client.exitStatus(), QProcess::NormalExit);
    QCOMPARE(client.exitCode(), 1);
    QVERIFY2(said.contains("the connection to the bus was lost"), said.constData());
}

void TestSimCan::socketCanBridge()
{
    QString why;
    const QList<QCanBusDeviceInfo> devices = QCanBus::instance()->availableDevices(QStringLiteral("socketcan"), &why);
    if (devices.isEmpty())
        QSKIP("this machine offers no SocketCAN interface (the kernel has no CAN): the bridge on socketcan:can0 "
              "is not tested here");
    const CliRun r =
        runCli({QStringLiteral("simulate"), m_setup, QStringLiteral("--bus"),
                QStringLiteral("socketcan:") + devices.first().name(), QStringLiteral("--for"), QStringLiteral("0.5")});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QVERIFY(r.err.contains("ticks"));
}

QObject *makeCanTests()
{
    return new TestSimCan;
}

#include "tst_simcan.moc"
