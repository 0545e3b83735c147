// The running module: kelda-cli monitor and force against lx2-emulator --run
// over pseudo-terminals. Replies at every period, named changes, one-tick
// pulses latched, forces lapsing once the host stops renewing them (killed,
// line closed, module restarted), refused while the engine runs, and a
// module without live data told so and still uploaded as before.
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QProcess>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "beaconssetup.h"
#include "clirun.h"
#include "corlalive.h"
#include "emulatorprocess.h"
#include "pmcolumns.h"
#include "pmmodel.h"
#include "setupbuilder.h"
#include "testfiles.h"
#include "testpaths.h"

using namespace kelda::test;
using namespace kelda;
namespace proto = corla::proto;

class TestEcuMonitor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void codecRefusesMalformed();
    void monitorRepliesWithNamedChanges();
    void namesAreShownAsTheyAre();
    void pulsesAreLatched();
    void flickerAndPulseTellTheValueNow();
    void fullPictureShowsTheValueNow();
    void forceLapsesWhenTheHostIsKilled();
    void forceReleasedWhenTheCommandEnds();
    void forceRefusedForAnotherSetup();
    void forceInterruptedWhileConnecting();
    void forceLapsesWhenTheLineCloses();
    void noForceSurvivesARestart();
    void engineRunningRefusesForces();
    void oldModuleToldAndUploadedAsBefore();

private:
    // The beacons setup uploaded once; the calibration the module stores.
    QString setup_, cal_;
    QTemporaryDir dir_;
    QString path(const char *name) const { return dir_.filePath(QLatin1String(name)); }
    QString script(const char *name, const QString &text) const;
    static QList<QJsonObject> jsonLines(const QByteArray &out);
    static QProcess *startForce(const QStringList &args);
};

namespace {

QStringList portArgs(const EmulatorProcess &e)
{
    return {QStringLiteral("--port"), e.path()};
}

// The emulator's --stats line for a force event, from its from-th line on,
// or an empty text.
QString statsLine(EmulatorProcess &e, const QString &start, qsizetype from = 0)
{
    const QStringList lines = e.printedLines();
    for (qsizetype i = from; i < lines.size(); ++i)
        if (lines[i].startsWith(QStringLiteral("stats: ") + start))
            return lines[i];
    return QString();
}

int lapseMs(const QString &line)
{
    static const QRegularExpression ms(QStringLiteral(", (\\d+) ms after its last renewal$"));
    const QRegularExpressionMatch m = ms.match(line);
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

// What the pseudo-terminal's master has to read within ms; empty for none
// (or once the other side closed).
QByteArray readMaster(int master, int ms)
{
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0 || !(p.revents & POLLIN))
        return QByteArray();
    char buffer[4096];
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    return n > 0 ? QByteArray(buffer, n) : QByteArray();
}

}  // namespace

QString TestEcuMonitor::script(const char *name, const QString &text) const
{
    const QString p = path(name);
    return writeFile(p, text.toUtf8()) ? p : QString();
}

QList<QJsonObject> TestEcuMonitor::jsonLines(const QByteArray &out)
{
    QList<QJsonObject> lines;
    for (const QString &line : outputLines(out)) {
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(line.toUtf8(), &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject())
            return {};
        lines << doc.object();
    }
    return lines;
}

QProcess *TestEcuMonitor::startForce(const QStringList &args)
{
    auto *p = new QProcess;
    p->setProgram(cliProgram());
    p->setArguments(QStringList{QStringLiteral("force")} + args);
    p->start();
    return p;
}

void TestEcuMonitor::initTestCase()
{
    QLocale::setDefault(QLocale::c());
    QVERIFY(dir_.isValid());
    isolateCorla(dir_.path());
    PMModel model;
    QVERIFY(kelda::test::buildBeacons(model, false));
    setup_ = path("beacons.kelda");
    QVERIFY(model.saveSetup(setup_));
    cal_ = path("beacons.cal");
    EmulatorProcess module({QStringLiteral("--cal-file"), cal_});
    QVERIFY(!module.path().isEmpty());
    setPorts({module.path()});
    const CliRun upload = runCli(QStringList{QStringLiteral("upload"), setup_} + portArgs(module));
    QVERIFY2(upload.exitCode == 0, upload.err.constData());
    QVERIFY(readFile(cal_).size() > 96);
}

void TestEcuMonitor::codecRefusesMalformed()
{
    // Records round-trip; a bad kind, reserved bits, an odd tail or a bad
    // item are refused, never read as something else.
    QByteArray reply(1, char(proto::Ok));
    proto::putMonitorHeader(reply, 6758, proto::LiveFullPicture);
    const proto::LiveChange pulse{proto::LiveKey, 254, true, true}, lamp{proto::LiveLx1, 63, false, false};
    proto::putLiveChange(reply, pulse);
    proto::putLiveChange(reply, lamp);
    const auto r = proto::readMonitor(reply);
    QVERIFY(r);
    QCOMPARE(r->tick, 6758u);
    QCOMPARE(r->changes, (QList<proto::LiveChange>{pulse, lamp}));
    QVERIFY(!proto::readMonitor(reply + char(0x10)));
    QByteArray led = reply.left(proto::kMonitorHeader);
    proto::putLiveChange(led, {proto::LiveLed, 32, true, false});
    QVERIFY(!proto::readMonitor(led));
    QByteArray reserved = reply;
    reserved[proto::kMonitorHeader] = char(uint8_t(reserved[proto::kMonitorHeader]) | 0x08);
    QVERIFY(!proto::readMonitor(reserved));

    // Bit 2 is the value now: on a latched record it tells a flicker (now ==
    // value) from a pulse or dip (now != value); on another it is the value.
    QByteArray nowBits = reply.left(proto::kMonitorHeader);
    const QList<proto::LiveChange> told{{proto::LiveSwitch, 0, true, true, true},  // off, on, off, on: on now
                                        {proto::LiveSwitch, 1, true, true, false},  // a pulse, off again
                                        {proto::LiveLed, 2, false, true, false},  // on, off, on, off: off now
                                        {proto::LiveLed, 3, false, true, true},  // a dip, on again
                                        {proto::LiveState, 4, true, false, true}};
    for (const proto::LiveChange &c : told)
        proto::putLiveChange(nowBits, c);
    QCOMPARE(nowBits.mid(proto::kMonitorHeader).toHex(' '), QByteArray("27 00 23 01 62 02 66 03 55 04"));
    const auto withNow = proto::readMonitor(nowBits);
    QVERIFY(withNow);
    QCOMPARE(withNow->changes, told);
    // Not latched, the value is what the item is now, whatever bit 2 says.
    const auto plain = proto::readMonitor(reply.left(proto::kMonitorHeader) + QByteArray::fromHex("51042404"));
    QVERIFY(plain && plain->changes[0].now && !plain->changes[1].now);
    // The module's dip of an item that is on (the end-to-end test below has the rest).
    QCOMPARE(proto::liveChange(proto::LiveLed, 3, true, true, 2), told[3]);
    QByteArray unknownKind = reply.left(proto::kMonitorHeader) + QByteArray::fromHex("a000");
    QVERIFY(!proto::readMonitor(unknownKind));

    // The examples of docs/ecu-protocol.md, byte for byte.
    QCOMPARE(proto::encode(proto::Monitor, 0x21, proto::monitorRequest(true)).toHex(' '),
             QByteArray("a5 5a 00 03 17 21 01 69 d5"));
    QByteArray typical(1, char(proto::Ok));
    proto::putMonitorHeader(typical, 6760, proto::LiveRunning);
    for (const proto::LiveChange &c :
         {proto::LiveChange{proto::LiveKey, 2, true, true}, proto::LiveChange{proto::LiveLed, 1, true, false},
          proto::LiveChange{proto::LiveLx1, 0, true, false}})
        proto::putLiveChange(typical, c);
    QCOMPARE(proto::encode(proto::Monitor | proto::kReplyBit, 0x22, typical).toHex(' '),
             QByteArray("a5 5a 00 0e 97 22 00 00 00 1a 68 10 13 02 65 01 75 00 70 96"));
    QCOMPARE(
        proto::encode(proto::Force, 0x23, proto::forceRequest({900, {{proto::LiveLed, 4, proto::ForceOn}}})).toHex(' '),
        QByteArray("a5 5a 00 06 18 23 03 84 61 04 65 62"));

    const QByteArray force = proto::forceRequest({900, {{proto::LiveLed, 4, proto::ForceOn}}});
    QCOMPARE(force.toHex(), QByteArray("03846104"));
    QVERIFY(proto::readForceRequest(force));
    QVERIFY(!proto::readForceRequest(proto::forceRequest({1001, {}})));  // a lease above 1 s
    QVERIFY(!proto::readForceRequest(proto::forceRequest({0, {}})));
    QVERIFY(!proto::readForceRequest(proto::forceRequest({900, {{proto::LiveState, 0, proto::ForceOn}}})));
    QVERIFY(!proto::readForceRequest(force + char(0x61)));
}

void TestEcuMonitor::monitorRepliesWithNamedChanges()
{
    const QString inputs = script("beacons.txt", QStringLiteral("switch 1 on\nwait 200ms\nhold 1\n"));
    EmulatorProcess module({QStringLiteral("--cal-file"), cal_, QStringLiteral("--run"), QStringLiteral("--inputs"),
                            inputs, QStringLiteral("--baud"), QStringLiteral("38400")});
    QVERIFY(!module.path().isEmpty());
    const CliRun run = runCli(QStringList{QStringLiteral("monitor"), QStringLiteral("--setup"), setup_,
                                          QStringLiteral("--for"), QStringLiteral("2"), QStringLiteral("--jsonl")}
                              + portArgs(module));
    QVERIFY2(run.exitCode == 0, run.err.constData());
    const QList<QJsonObject> lines = jsonLines(run.out);
    // A reply at every period, nothing changed or not: 20 in 2 s at 10 a second.
    QVERIFY2(lines.size() >= 15 && lines.size() <= 21, run.out.constData());
    qint64 lastTick = -1;
    bool beaconsOn = false, ignition = false, ledSeen = false, channelSeen = false;
    for (const QJsonObject &o : lines) {
        QCOMPARE(o.keys(), (QStringList{QStringLiteral("changes"), QStringLiteral("tick"), QStringLiteral("time")}));
        const qint64 tick = o.value(QStringLiteral("tick")).toInteger();
        QVERIFY(tick >= lastTick);
        QCOMPARE(o.value(QStringLiteral("time")).toDouble(), tick / 100.0);
        lastTick = tick;
        for (const QJsonValue &v : o.value(QStringLiteral("changes")).toArray()) {
            const QJsonObject c = v.toObject();
            const QString kind = c.value(QStringLiteral("kind")).toString();
            const QString name = c.value(QStringLiteral("name")).toString();
            const int value = c.value(QStringLiteral("value")).toInt();
            beaconsOn |= kind == QLatin1String("state") && name == QLatin1String("Beacons on") && value == 1
                && c.value(QStringLiteral("row")).toInt() == 1;
            ignition |= kind == QLatin1String("switch") && name == QLatin1String("Ignition") && value == 1;
            ledSeen |= kind == QLatin1String("led") && c.value(QStringLiteral("row")).toInt() == 1;
            channelSeen |= kind == QLatin1String("lx1") && name == QLatin1String("1.2");
        }
    }
    QVERIFY(beaconsOn && ignition && ledSeen && channelSeen);
    QVERIFY(lastTick >= 150);  // the module runs in real time

    // Without the setup there are no names; the text form says the same.
    const CliRun text = runCli(QStringList{QStringLiteral("monitor"), QStringLiteral("--for"), QStringLiteral("0.3")}
                               + portArgs(module));
    QCOMPARE(text.exitCode, 0);
    const QStringList textLines = outputLines(text.out);
    QVERIFY(!textLines.isEmpty());
    QVERIFY2(textLines.first().contains(QLatin1String(" full: ")), qPrintable(textLines.first()));
    QVERIFY2(textLines.first().contains(QLatin1String("state 1 on")), qPrintable(textLines.first()));
    const CliRun noNames = runCli(QStringList{QStringLiteral("monitor"), QStringLiteral("--for"), QStringLiteral("0.1"),
                                              QStringLiteral("--jsonl")}
                                  + portArgs(module));
    QVERIFY(noNames.out.contains("\"name\": null"));
    QCOMPARE(
        runCli(QStringList{QStringLiteral("monitor"), QStringLiteral("--rate"), QStringLiteral("0")} + portArgs(module))
            .exitCode,
        2);
}

void TestEcuMonitor::namesAreShownAsTheyAre()
{
    // A name holding "%1", quotes or a backslash is shown as it is: in JSON
    // still valid and with the row's values, in the force's first line whole.
    PMModel model;
    QVERIFY(kelda::test::buildBeacons(model, false));
    const QString odd = QStringLiteral("Ign %1 \"50%2\" \\ %9");
    QVERIFY(SetupBuilder(model).set(Mode::Switches, 0, SwitchCol::Name, odd));
    const QString setup = path("odd-names.kelda");
    QVERIFY(model.saveSetup(setup));
    const QString inputs = script("ignition.txt", QStringLiteral("switch 1 on\n"));
    EmulatorProcess module({QStringLiteral("--cal-file"), cal_, QStringLiteral("--run"), QStringLiteral("--inputs"),
                            inputs, QStringLiteral("--stats")});
    QVERIFY(!module.path().isEmpty());
    const CliRun run = runCli(QStringList{QStringLiteral("monitor"), QStringLiteral("--setup"), setup,
                                          QStringLiteral("--for"), QStringLiteral("0.5"), QStringLiteral("--jsonl")}
                              + portArgs(module));
    QVERIFY2(run.exitCode == 0, run.err.constData());
    const QList<QJsonObject> lines = jsonLines(run.out);
    QVERIFY2(!lines.isEmpty(), run.out.constData());
    bool seen = false;
    for (const QJsonObject &o : lines)
        for (const QJsonValue &v : o.value(QStringLiteral("changes")).toArray()) {
            const QJsonObject c = v.toObject();
            if (c.value(QStringLiteral("kind")).toString() != QLatin1String("switch"))
                continue;
            QCOMPARE(c.value(QStringLiteral("name")).toString(), odd);
            QCOMPARE(c.value(QStringLiteral("row")).toInt(), 1);
            QCOMPARE(c.value(QStringLiteral("value")).toInt(), 1);
            QCOMPARE(c.value(QStringLiteral("now")).toInt(), 1);
            seen = true;
        }
    QVERIFY2(seen, run.out.constData());

    const CliRun forced =
        runCli(QStringList{QStringLiteral("force"), QStringLiteral("--setup"), setup, QStringLiteral("switch"), odd,
                           QStringLiteral("off"), QStringLiteral("--for"), QStringLiteral("0.2")}
               + portArgs(module));
    QVERIFY2(forced.exitCode == 0, forced.err.constData());
    QVERIFY2(forced.out.startsWith("Forcing switch 1 \"" + odd.toUtf8() + "\" off; renewed every 0.3 s,"),
             forced.out.constData());
    QTRY_VERIFY_WITH_TIMEOUT(!statsLine(module, QStringLiteral("FORCE released switch 0")).isEmpty(), 3000);
}

void TestEcuMonitor::pulsesAreLatched()
{
    // One-tick presses of ten keys, one key every 130 ms: each key's pulses
    // are 1.3 s apart, so every pulse is its own reply's change. Not every
    // 100 ms: locked to the replies' pace, every press could meet a reply.
    constexpr int kPulses = 30;
    QString text = QStringLiteral("wait 500ms\n");
    for (int i = 0; i < kPulses; ++i)
        text += QStringLiteral("press %1 short\nwait 130ms\n").arg(2 + i % 10);
    const QString inputs = script("pulses.txt", text);
    EmulatorProcess module(
        {QStringLiteral("--cal-file"), cal_, QStringLiteral("--run"), QStringLiteral("--inputs"), inputs});
    QVERIFY(!module.path().isEmpty());
    const CliRun run = runCli(QStringList{QStringLiteral("monitor"), QStringLiteral("--for"), QStringLiteral("5.5"),
                                          QStringLiteral("--jsonl")}
                              + portArgs(module));
    QVERIFY2(run.exitCode == 0, run.err.constData());
    // A pulse between two replies is one latched change; one that is on
    // when a reply is made is reported on, then off: counted by its start.
    int pulses = 0, latched = 0, dips = 0;
    for (const QJsonObject &o : jsonLines(run.out)) {
        for (const QJsonValue &v : o.value(QStringLiteral("changes")).toArray()) {
            const QJsonObject c = v.toObject();
            if (c.value(QStringLiteral("kind")).toString() != QLatin1String("key"))
                continue;
            const bool on = c.value(QStringLiteral("value")).toInt() == 1;
            const bool wasLatched = c.value(QStringLiteral("latched")).toBool();
            pulses += on ? 1 : 0;
            latched += on && wasLatched ? 1 : 0;
            // A latched press is over by the reply; one not latched is still down.
            QCOMPARE(c.value(QStringLiteral("now")).toInt(), wasLatched ? 0 : int(on));
            dips += !on && wasLatched ? 1 : 0;
        }
    }
    QCOMPARE(dips, 0);  // a key that was off never reads as a dip
    QVERIFY(latched > kPulses / 2);  // most fall between two replies
    QCOMPARE(pulses, kPulses);
}

void TestEcuMonitor::flickerAndPulseTellTheValueNow()
{
    // Between two replies two seconds apart: switch 1 goes on, off and on
    // (on now), and later key 2 is pressed for one tick (off now).
    const QString inputs = script("flicker.txt",
                                  QStringLiteral("wait 1000ms\nswitch 1 on\nwait 10ms\nswitch 1 off\n"
                                                 "wait 10ms\nswitch 1 on\nwait 2000ms\npress 2 short\n"));
    EmulatorProcess module(
        {QStringLiteral("--cal-file"), cal_, QStringLiteral("--run"), QStringLiteral("--inputs"), inputs});
    QVERIFY(!module.path().isEmpty());
    const CliRun run = runCli(QStringList{QStringLiteral("monitor"), QStringLiteral("--rate"), QStringLiteral("0.5"),
                                          QStringLiteral("--for"), QStringLiteral("5")}
                              + portArgs(module));
    QVERIFY2(run.exitCode == 0, run.err.constData());
    QStringList switchWords, keyWords;
    static const QRegularExpression word(QStringLiteral("(switch 1|key 2) ([a-z() ]+?)(?=, |$)"));
    for (const QString &line : outputLines(run.out)) {
        for (const QRegularExpressionMatch &m : word.globalMatch(line))
            (m.captured(1).startsWith(u's') ? switchWords : keyWords) << m.captured(2);
    }
    // A reply that happened to fall inside the flicker or the press splits
    // it in two, still ending at the value now.
    const QString out = QString::fromUtf8(run.out);
    QVERIFY2(switchWords == QStringList{QStringLiteral("on (flickered)")}
                 || switchWords == (QStringList{QStringLiteral("on"), QStringLiteral("dip")}),
             qPrintable(out));
    QVERIFY2(keyWords == QStringList{QStringLiteral("pulse")}
                 || keyWords == (QStringList{QStringLiteral("on"), QStringLiteral("off")}),
             qPrintable(out));
}

void TestEcuMonitor::fullPictureShowsTheValueNow()
{
    // Key 3 pressed for one tick while nobody watches, between two sessions:
    // the second session's full picture says what is on now, not what came
    // and went before it started.
    const QString inputs = script("unwatched.txt", QStringLiteral("wait 1500ms\npress 3 short\n"));
    EmulatorProcess module(
        {QStringLiteral("--cal-file"), cal_, QStringLiteral("--run"), QStringLiteral("--inputs"), inputs});
    QVERIFY(!module.path().isEmpty());
    const QStringList session{QStringLiteral("monitor"), QStringLiteral("--for"), QStringLiteral("0.3")};
    QCOMPARE(runCli(session + portArgs(module)).exitCode, 0);
    QTest::qWait(2500);
    const CliRun run = runCli(session + portArgs(module));
    QCOMPARE(run.exitCode, 0);
    const QStringList lines = outputLines(run.out);
    QVERIFY(!lines.isEmpty());
    QVERIFY2(lines.first().contains(QLatin1String(" full: ")), qPrintable(lines.first()));
    QVERIFY2(!lines.first().contains(QLatin1String("pulse")) && !lines.first().contains(QLatin1String("flickered")),
             qPrintable(lines.first()));
    QVERIFY2(!lines.first().contains(QLatin1String("key 3 on")), qPrintable(lines.first()));
}

void TestEcuMonitor::forceLapsesWhenTheHostIsKilled()
{
    EmulatorProcess module({QStringLiteral("--cal-file"), cal_, QStringLiteral("--run"), QStringLiteral("--stats")});
    QVERIFY(!module.path().isEmpty());
    for (int round = 0; round < 3; ++round) {
        const qsizetype from = module.printedLines().size();
        std::unique_ptr<QProcess> force(startForce(
            QStringList{QStringLiteral("led"), QStringLiteral("5"), QStringLiteral("on")} + portArgs(module)));
        QTRY_VERIFY_WITH_TIMEOUT(!statsLine(module, QStringLiteral("FORCE set led 4 on"), from).isEmpty(), 10000);
        QTest::qWait(700);  // renewed twice
        QElapsedTimer killed;
        killed.start();
        force->kill();
        force->waitForFinished();
        QTRY_VERIFY_WITH_TIMEOUT(!statsLine(module, QStringLiteral("FORCE lapsed led 4"), from).isEmpty(), 3000);
        QVERIFY(killed.elapsed() <= 1500);
        // Measured by the module from the last renewal it received.
        const int ms = lapseMs(statsLine(module, QStringLiteral("FORCE lapsed led 4"), from));
        QVERIFY2(ms >= 900 && ms <= 1000, qPrintable(QString::number(ms)));
        QVERIFY(statsLine(module, QStringLiteral("FORCE released"), from).isEmpty());
    }
}

void TestEcuMonitor::forceReleasedWhenTheCommandEnds()
{
    EmulatorProcess module({QStringLiteral("--cal-file"), cal_, QStringLiteral("--run"), QStringLiteral("--stats")});
    QVERIFY(!module.path().isEmpty());
    // Interrupted: released at once, not left to lapse.
    std::unique_ptr<QProcess> force(startForce(
        QStringList{QStringLiteral("switch"), QStringLiteral("1"), QStringLiteral("off")} + portArgs(module)));
    QTRY_VERIFY_WITH_TIMEOUT(!statsLine(module, QStringLiteral("FORCE set switch 0 off")).isEmpty(), 10000);
    force->terminate();
    const CliRun ended = finishCli(*force, 10000);
    QCOMPARE(ended.exitCode, 0);
    QVERIFY2(ended.out.endsWith("Released switch 1.\n"), ended.out.constData());
    QTRY_VERIFY_WITH_TIMEOUT(!statsLine(module, QStringLiteral("FORCE released switch 0")).isEmpty(), 3000);
    QVERIFY(statsLine(module, QStringLiteral("FORCE lapsed")).isEmpty());

    // --for: held that long, then released; by name with the setup.
    QElapsedTimer held;
    held.start();
    const CliRun timed = runCli(QStringList{QStringLiteral("force"), QStringLiteral("--setup"), setup_,
                                            QStringLiteral("key"), QStringLiteral("Beacons"), QStringLiteral("on"),
                                            QStringLiteral("--for"), QStringLiteral("1.2")}
                                + portArgs(module));
    QVERIFY2(timed.exitCode == 0, timed.err.constData());
    QVERIFY(held.elapsed() >= 1200);
    QVERIFY(timed.out.startsWith("Forcing key 1 \"Beacons\" on;"));
    QTRY_VERIFY_WITH_TIMEOUT(!statsLine(module, QStringLiteral("FORCE released key 0")).isEmpty(), 3000);
    QVERIFY(statsLine(module, QStringLiteral("FORCE lapsed")).isEmpty());  // renewed in time throughout
}

void TestEcuMonitor::forceRefusedForAnotherSetup()
{
    // Rows and names of a setup the module does not run may be other loads
    // on it: nothing is forced, and the command says why.
    PMModel model;
    QVERIFY(kelda::test::buildBeacons(model, true));
    const QString other = path("changed.kelda");
    QVERIFY(model.saveSetup(other));
    EmulatorProcess module({QStringLiteral("--cal-file"), cal_, QStringLiteral("--run"), QStringLiteral("--stats")});
    QVERIFY(!module.path().isEmpty());
    EmulatorProcess empty({QStringLiteral("--run"), QStringLiteral("--stats")});
    QVERIFY(!empty.path().isEmpty());
    const struct {
        EmulatorProcess *module;
        QString item;
        const char *why;
    } cases[] = {
        {&module, QStringLiteral("Ignition"), "the module does not hold changed.kelda (it holds another image)"},
        {&module, QStringLiteral("1"), "the module does not hold changed.kelda (it holds another image)"},
        {&empty, QStringLiteral("Ignition"), "the module does not hold changed.kelda (it holds no calibration)"}};
    for (const auto &c : cases) {
        const CliRun run =
            runCli(QStringList{QStringLiteral("force"), QStringLiteral("--setup"), other, QStringLiteral("switch"),
                               c.item, QStringLiteral("on"), QStringLiteral("--for"), QStringLiteral("0.5")}
                   + portArgs(*c.module));
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.startsWith("kelda-cli: cannot force switch 1 \"Ignition\" on "), run.err.constData());
        QVERIFY2(run.err.contains(c.why), run.err.constData());
        QVERIFY2(!run.out.contains("Forcing"), run.out.constData());
    }
    // The setup it runs, given by name: forced as before.
    const CliRun held = runCli(QStringList{QStringLiteral("force"), QStringLiteral("--setup"), setup_,
                                           QStringLiteral("switch"), QStringLiteral("Ignition"), QStringLiteral("on"),
                                           QStringLiteral("--for"), QStringLiteral("0.2")}
                               + portArgs(module));
    QVERIFY2(held.exitCode == 0, held.err.constData());
    QTRY_VERIFY_WITH_TIMEOUT(!statsLine(module, QStringLiteral("FORCE released switch 0")).isEmpty(), 3000);
    QCOMPARE(statsLine(module, QStringLiteral("FORCE set")), QStringLiteral("stats: FORCE set switch 0 on"));
    QVERIFY(statsLine(empty, QStringLiteral("FORCE")).isEmpty());
}

void TestEcuMonitor::forceInterruptedWhileConnecting()
{
    // SIGTERM while the module is being connected: nothing is forced, not
    // even for a moment. The test stands between the command and the module
    // and holds the first request back until the signal is in.
    EmulatorProcess module({QStringLiteral("--cal-file"), cal_, QStringLiteral("--run"), QStringLiteral("--stats")});
    QVERIFY(!module.path().isEmpty());
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    QVERIFY(master >= 0);
    const auto closeMaster = qScopeGuard([master] { ::close(master); });
    QVERIFY(::grantpt(master) == 0 && ::unlockpt(master) == 0);
    const QString between = QString::fromLocal8Bit(::ptsname(master));
    QSerialPort line(module.path());
    QVERIFY(line.open(QIODevice::ReadWrite));
    std::unique_ptr<QProcess> force(startForce(
        {QStringLiteral("led"), QStringLiteral("3"), QStringLiteral("on"), QStringLiteral("--port"), between}));
    const QByteArray first = readMaster(master, 10000);
    QVERIFY(!first.isEmpty());
    force->terminate();
    QTest::qWait(200);
    line.write(first);
    QElapsedTimer clock;
    clock.start();
    bool finished = false;
    while (!finished && clock.elapsed() < 15000) {
        const QByteArray up = readMaster(master, 5);
        if (!up.isEmpty())
            line.write(up);
        line.waitForBytesWritten(5);
        if (line.waitForReadyRead(5)) {
            const QByteArray down = line.readAll();
            QCOMPARE(::write(master, down.constData(), size_t(down.size())), ssize_t(down.size()));
        }
        finished = force->waitForFinished(1);
    }
    QVERIFY(finished);
    QCOMPARE(force->exitStatus(), QProcess::NormalExit);
    const CliRun ended{force->exitCode(), force->readAllStandardOutput(), force->readAllStandardError()};
    QCOMPARE(ended.exitCode, 1);
    QVERIFY2(ended.err.contains("cannot force led 3 on " + between.toUtf8()
                                + ": interrupted before the force was sent; nothing was forced"),
             ended.err.constData());
    QVERIFY2(!ended.out.contains("Forcing"), ended.out.constData());
    QTest::qWait(300);
    QVERIFY2(statsLine(module, QStringLiteral("FORCE")).isEmpty(),
             qPrintable(module.printedLines().join(QLatin1Char('\n'))));
}

void TestEcuMonitor::forceLapsesWhenTheLineCloses()
{
    EmulatorProcess module({QStringLiteral("--run"), QStringLiteral("--stats")});
    QVERIFY(!module.path().isEmpty());
    for (int round = 0; round < 3; ++round) {
        QSerialPort line(module.path());
        QVERIFY(line.open(QIODevice::ReadWrite));
        const uint8_t seq = uint8_t(1 + round);
        line.write(proto::encode(proto::Force, seq,
                                 proto::forceRequest({500, {{proto::LiveLx1, uint8_t(8 + round), proto::ForceOn}}})));
        QVERIFY(line.waitForBytesWritten(1000));
        QByteArray reply;
        QElapsedTimer wait;
        wait.start();
        while (reply.size() < 11 && wait.elapsed() < 3000 && line.waitForReadyRead(200))
            reply += line.readAll();
        QCOMPARE(reply.size(), 11);  // ok, flags, one force active
        QCOMPARE(reply.mid(6, 3).toHex(), QByteArray("000001"));
        line.close();
        const QString lapsed = QStringLiteral("FORCE lapsed lx1 %1").arg(8 + round);
        QTRY_VERIFY_WITH_TIMEOUT(!statsLine(module, lapsed).isEmpty(), 3000);
        const int ms = lapseMs(statsLine(module, lapsed));
        // A 0.5 s lease, checked every tick.
        QVERIFY2(ms >= 500 && ms <= 600, qPrintable(QString::number(ms)));
    }
}

void TestEcuMonitor::noForceSurvivesARestart()
{
    const QString link = path("lx2-link");
    const QStringList args{QStringLiteral("--cal-file"), cal_, QStringLiteral("--run"), QStringLiteral("--link"), link};
    EmulatorProcess module(args);
    QVERIFY(!module.path().isEmpty());
    const QStringList port{QStringLiteral("--port"), link};
    for (int round = 0; round < 2; ++round) {
        std::unique_ptr<QProcess> force(
            startForce(QStringList{QStringLiteral("lx1"), QStringLiteral("2.3"), QStringLiteral("on")} + port));
        QVERIFY(force->waitForReadyRead(10000));
        QVERIFY(force->readAllStandardOutput().startsWith("Forcing lx1 2.3 on"));
        module.stop();  // power off
        QVERIFY(module.start(args));
        // The host hears the module go and says so.
        const CliRun ended = finishCli(*force, 15000);
        QCOMPARE(ended.exitCode, 1);
        QVERIFY2(ended.err.contains("cannot force lx1 2.3"), ended.err.constData());
        const CliRun after =
            runCli(QStringList{QStringLiteral("monitor"), QStringLiteral("--for"), QStringLiteral("0.2")} + port);
        QCOMPARE(after.exitCode, 0);
        const QString first = outputLines(after.out).value(0);
        QVERIFY2(!first.contains(QLatin1String("forced")) && !first.contains(QLatin1String("lx1 11")),
                 qPrintable(first));
    }
}

void TestEcuMonitor::engineRunningRefusesForces()
{
    EmulatorProcess module({QStringLiteral("--run"), QStringLiteral("--engine-running")});
    QVERIFY(!module.path().isEmpty());
    const CliRun run = runCli(QStringList{QStringLiteral("force"), QStringLiteral("switch"), QStringLiteral("1"),
                                          QStringLiteral("on"), QStringLiteral("--for"), QStringLiteral("1")}
                              + portArgs(module));
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains("the module refuses forces while the engine is running"), run.err.constData());
    // Names need the setup; a channel is M.C; the kinds that can be forced.
    QCOMPARE(
        runCli(QStringList{QStringLiteral("force"), QStringLiteral("state"), QStringLiteral("1"), QStringLiteral("on")}
               + portArgs(module))
            .exitCode,
        2);
    const CliRun channel =
        runCli(QStringList{QStringLiteral("force"), QStringLiteral("lx1"), QStringLiteral("9.1"), QStringLiteral("on")}
               + portArgs(module));
    QCOMPARE(channel.exitCode, 2);
    QVERIFY2(channel.err.contains("module and channel each 1 to 8"), channel.err.constData());
    const CliRun named = runCli(
        QStringList{QStringLiteral("force"), QStringLiteral("key"), QStringLiteral("Beacons"), QStringLiteral("on")}
        + portArgs(module));
    QCOMPARE(named.exitCode, 1);
    QVERIFY(named.err.contains("a name needs --setup"));
}

void TestEcuMonitor::oldModuleToldAndUploadedAsBefore()
{
    const QString oldCal = path("old.cal");
    EmulatorProcess module({QStringLiteral("--old"), QStringLiteral("--run"), QStringLiteral("--cal-file"), oldCal});
    QVERIFY(!module.path().isEmpty());
    for (const QStringList &words :
         {QStringList{QStringLiteral("monitor"), QStringLiteral("--for"), QStringLiteral("1")},
          QStringList{QStringLiteral("force"), QStringLiteral("key"), QStringLiteral("1"), QStringLiteral("on")}}) {
        const CliRun run = runCli(words + portArgs(module));
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains(": this module does not report live data\n"), run.err.constData());
    }
    // Told, and still uploaded as before: the same calibration, byte for byte.
    const CliRun upload = runCli(QStringList{QStringLiteral("upload"), setup_} + portArgs(module));
    QVERIFY2(upload.exitCode == 0, upload.err.constData());
    QCOMPARE(readFile(oldCal), readFile(cal_));
}

QTEST_GUILESS_MAIN(TestEcuMonitor)
#include "tst_ecumonitor.moc"
