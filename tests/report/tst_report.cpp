// The installation documents of a small known setup: the report's sections
// read back from its HTML, the PDF laid out from it, the CAN database text and
// what a standard DBC reader makes of it, the command line and the menu entry.
#include <QApplication>
#include <QCryptographicHash>
#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QtTest>

#include "candb.h"
#include "clirun.h"
#include "kelda.h"
#include "largesetup.h"
#include "pmmodel.h"
#include "scriptedprompter.h"
#include "setupbuilder.h"
#include "setupcheck.h"
#include "emulatorprocess.h"
#include "setupreport.h"
#include "testenv.h"
#include "testfiles.h"

using namespace kelda;
using namespace kelda::report;
using kelda::test::readFile;
using kelda::test::runCli;
using kelda::test::SetupBuilder;

namespace {

// Keys, a switch, both kinds of CAN items, one output on two modules, a PWM
// drive and two events whose sentences the report must get right.
void buildKnownSetup(PMModel &m)
{
    SetupBuilder b(m);
    b.set(Mode::Keypad, 0, 1, QStringLiteral("Beacon key"));
    b.set(Mode::Switches, 1, 1, QStringLiteral("Park brake"));
    b.set(Mode::Lx2Leds, 0, 1, QStringLiteral("Work LED"));
    b.timer(0.5);
    b.set(Mode::Timers, 0, 0, QStringLiteral("Flash"));
    b.state();
    b.set(Mode::States, 0, 0, QStringLiteral("Work lights"));
    b.state();
    b.set(Mode::States, 1, 0, QStringLiteral("Beacons"));
    b.lx1Output();
    b.set(Mode::Lx1Outputs, 0, 0, QStringLiteral("Work lamp"));
    b.set(Mode::Lx1Outputs, 0, 1, 10.0);
    b.set(Mode::Lx1Outputs, 0, 2, QStringLiteral("101"));  // LX1-1 channels 1 and 3
    b.set(Mode::Lx1Outputs, 0, 3, QStringLiteral("10000000"));  // LX1-2 channel 8
    b.canInput(QStringLiteral("0x100"), QStringLiteral("Word 1"), 5);
    b.set(Mode::CanInputs, 0, 0, QStringLiteral("Engine running"));
    b.set(Mode::CanInputs, 0, 5, QStringLiteral("Little Endian"));
    b.canInput(QStringLiteral("0x100"), QStringLiteral("Byte 3"), 2, QStringLiteral(">"));
    b.set(Mode::CanInputs, 1, 0, QStringLiteral("Gear \"D\""));
    b.canOutput(QStringLiteral("0x2A0"), QStringLiteral("Word 2"), 1);
    b.set(Mode::CanOutputs, 0, 0, QStringLiteral("Beacon lamp msg"));
    b.set(Mode::Pwm, 1, 1, QStringLiteral("Engine running"));

    b.entry(Mode::States, 0, int(StateList::Lx2Leds), QStringLiteral("Work LED"));
    b.entry(Mode::States, 0, int(StateList::Lx1Outputs), QStringLiteral("Work lamp"));
    b.entry(Mode::States, 1, int(StateList::CanOutputs), QStringLiteral("Beacon lamp msg"));

    const int beacons = b.event();
    b.set(Mode::Events, beacons, 1, QStringLiteral("Beacons on"));
    b.input(beacons, 0, QStringLiteral("KP: Beacon key"), QStringLiteral("Short Press"), QStringLiteral("AND"));
    b.input(beacons, 1, QStringLiteral("ST: Work lights"), QStringLiteral("Cleared"));
    b.entry(Mode::Events, beacons, int(EventList::StatesToSet), QStringLiteral("Beacons"));
    b.entry(Mode::Events, beacons, int(EventList::TimersToStart), QStringLiteral("Flash"));

    const int lights = b.event();
    b.set(Mode::Events, lights, 1, QStringLiteral("Lights"));
    b.input(lights, 0, QStringLiteral("SW: Park brake"), QStringLiteral("High"), QStringLiteral("OR"));
    b.input(lights, 1, QStringLiteral("CI: Engine running"), QString(), QStringLiteral("AND"));
    b.input(lights, 2, QStringLiteral("TI: Flash"), QStringLiteral("Stopped"));
    b.entry(Mode::Events, lights, int(EventList::StatesToSet), QStringLiteral("Work lights"));
    b.entry(Mode::Events, lights, int(EventList::StatesToClear), QStringLiteral("Beacons"));
    // Shown first: priority 1.
    b.set(Mode::Events, lights, 0, 1);
}

QString unescape(QString s)
{
    return s.replace(QLatin1String("&lt;"), QLatin1String("<"))
        .replace(QLatin1String("&gt;"), QLatin1String(">"))
        .replace(QLatin1String("&quot;"), QLatin1String("\""))
        .replace(QLatin1String("&amp;"), QLatin1String("&"));
}

// The HTML from the section's heading up to the next section's.
QString section(const QString &html, const char *id)
{
    const int start = int(html.indexOf(QStringLiteral("id=\"%1\"").arg(QLatin1String(id))));
    if (start < 0)
        return QString();
    const int end = int(html.indexOf(QLatin1String("<h2"), start));
    return html.mid(start, end < 0 ? -1 : end - start);
}

// Body rows of the tables of a section, cells unescaped.
QList<QStringList> rows(const QString &html, const char *id)
{
    static const QRegularExpression tr(QStringLiteral("<tr>(.*?)</tr>"),
                                       QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression td(QStringLiteral("<td[^>]*>(.*?)</td>"));
    QList<QStringList> out;
    for (const auto &r : tr.globalMatch(section(html, id))) {
        QStringList cells;
        for (const auto &c : td.globalMatch(r.captured(1)))
            cells << unescape(c.captured(1));
        if (!cells.isEmpty())
            out << cells;
    }
    return out;
}

// The rows of a section's lists (three cells), without the key grid.
QList<QStringList> listRows(const QString &html, const char *id)
{
    QList<QStringList> out = rows(html, id);
    out.removeIf([](const QStringList &r) { return r.size() != 3; });
    return out;
}

QStringList sentences(const QString &html)
{
    static const QRegularExpression p(QStringLiteral("<p class=\"sentence\">(.*?)</p>"));
    QStringList out;
    for (const auto &m : p.globalMatch(html))
        out << unescape(m.captured(1));
    return out;
}

// CRC-32 (IEEE, reflected) bit by bit: a second opinion on the image's.
uint32_t crc32(const QByteArray &bytes)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (const char byte : bytes) {
        crc ^= uint8_t(byte);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

int runProgram(const QString &program, const QStringList &args, QByteArray *out = nullptr)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit)
        return -1;
    if (out)
        *out = p.readAllStandardOutput();
    return p.exitCode();
}

const char kExpectedDbc[] = R"(VERSION ""


NS_ :
	NS_DESC_
	CM_
	BA_DEF_
	BA_
	VAL_
	BA_DEF_DEF_
	BO_TX_BU_

BS_:

BU_: LX2 VEHICLE

BO_ 256 LX2_RX_100: 8 VEHICLE
 SG_ Engine_running : 0|16@1+ (1,0) [0|65535] "" LX2
 SG_ Gear_D : 16|8@1+ (1,0) [0|255] "" LX2

BO_ 672 LX2_TX_2A0: 8 LX2
 SG_ Beacon_lamp_msg : 23|16@0+ (1,0) [0|65535] "" VEHICLE

CM_ "CAN messages of the setup known.kelda: what the module LX2 reads and sends.";
CM_ BU_ LX2 "The LX2 module of the setup.";
CM_ BU_ VEHICLE "Whatever sends the messages the module reads.";
CM_ SG_ 256 Engine_running "CAN input Engine running, Word 1: compare = 5 (0x0005); read by Lights (1): -; PWM of LX1-2 (0 to 255 = 0 to 100 %).";
CM_ SG_ 256 Gear_D "CAN input Gear 'D', Byte 3: compare > 2 (0x0002).";
CM_ BO_ 256 "Read by the module; Little Endian.";
CM_ SG_ 672 Beacon_lamp_msg "CAN output Beacon lamp msg, Word 2: sends 1 (0x0001) while Beacons is set.";
CM_ BO_ 672 "Sent by the module; Big Endian.";
BA_DEF_  "BusType" STRING ;
BA_DEF_  "Baudrate" INT 0 1000000;
BA_DEF_DEF_  "BusType" "CAN";
BA_DEF_DEF_  "Baudrate" 500000;
BA_ "BusType" "CAN";
BA_ "Baudrate" 1000000;
)";

}  // namespace

class TestReport : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_setup;

private slots:
    void initTestCase()
    {
        QLocale::setDefault(QLocale::c());
        QVERIFY(m_dir.isValid());
        PMModel m;
        buildKnownSetup(m);
        m_setup = m_dir.filePath(QStringLiteral("known.kelda"));
        QVERIFY(m.saveSetup(m_setup));
    }

    // The largest setup the image holds: its CAN database and the report after
    // the cover, byte for byte as they were written when the report still read
    // the store through the table model (their SHA-256).
    void largeSetupUnchanged()
    {
        PMModel m;
        QVERIFY(kelda::bench::buildLargeSetup(m));
        const QString path = m_dir.filePath(QStringLiteral("large.kelda"));
        QVERIFY(m.saveSetup(path));
        const SetupFacts facts = collectFacts(m.session(), path);
        const QString html = reportHtml(facts, QDateTime(QDate(2024, 5, 17), QTime(8, 30), QTimeZone(2 * 3600)));
        const qsizetype body = html.indexOf(QLatin1String("<h2 id=\"channels\""));
        QVERIFY(body > 0);
        const auto sha = [](const QByteArray &bytes) {
            return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
        };
        const QByteArray dbc = "a08c040584e461ac01e1620a94e8c0b8170f99878b765809f7307400e71db209";
        QCOMPARE(sha(canDatabase(facts).toLatin1()), dbc);
        // kelda-cli dbc, which opens the file without a table model, writes the same bytes.
        const kelda::test::CliRun cli =
            runCli({QStringLiteral("dbc"), path, QStringLiteral("-o"), QStringLiteral("-")});
        QCOMPARE(cli.exitCode, 0);
        QCOMPARE(sha(cli.out), dbc);
        QCOMPARE(sha(html.mid(body).toUtf8()),
                 QByteArray("b80c4d086686dc80990bd05ff994c9ff8590e2d5a9462303f94ad57fef97fa29"));
    }

    // Older files may hold equal names: a reference reaches the first item of
    // its name, so only that one is shown with the events and states that use it.
    void duplicateNamesFollowTheStore()
    {
        PMModel m;
        SetupBuilder b(m);
        const int t0 = b.timer(), t1 = b.timer(), ev = b.event();
        QVERIFY(b.input(ev, 0, ItemType::KeypadKey, 0, "Short Press"));
        QVERIFY(b.entry(Mode::Events, ev, int(EventList::TimersToStart), ItemType::Timer, t0));
        StoreCursor c(m.session());
        QVERIFY(c.item(ItemType::Timer, t1) && c.setText(ValueId::Name, QStringLiteral("Timer 1")));
        QVERIFY(c.item(ItemType::KeypadKey, 1) && c.setText(ValueId::Name, QStringLiteral("Keypad 1")));
        const QString html =
            reportHtml(collectFacts(m.session(), QString()), QDateTime(QDate(2024, 5, 17), QTime(8, 30)));
        const QString event = m.itemName(ItemType::Event, ev) + QStringLiteral(" (1)");
        const QList<QStringList> keys = listRows(html, "keypad");
        QCOMPARE(keys.mid(0, 2),
                 (QList<QStringList>{{"1", "Keypad 1", event + QStringLiteral(": Short Press")},
                                     {"2", "Keypad 1", "— (name used above)"}}));
        QList<QStringList> timers = rows(html, "logic");
        timers.removeIf([](const QStringList &r) { return r.size() != 4; });
        QCOMPARE(timers, (QList<QStringList>{{"Timer 1", "0.500 s", event, "—"}, {"Timer 1", "0.500 s", "—", "—"}}));
    }

    void reportSections()
    {
        PMModel m;
        QVERIFY(m.openSetup(m_setup));
        const SetupFacts facts = collectFacts(m.session(), m.fileName());
        const QDateTime date(QDate(2024, 5, 17), QTime(8, 30), QTimeZone(2 * 3600));
        const QString html = reportHtml(facts, date, {QStringLiteral("Tractor <7>"), QStringLiteral("B"), QString()});
        for (const char *id : kSectionIds)
            QVERIFY2(!section(html, id).isEmpty(), id);
        QVERIFY(!html.contains(QLatin1String("<a name")));  // id attributes only
        QVERIFY(!html.contains(QLatin1String("page-break")));  // sections flow

        // Cover: the image as the compiler writes it, the table sizes, the check.
        const QString image = m_dir.filePath(QStringLiteral("image.bin"));
        QVERIFY(m.writeRawImage(image));
        const QByteArray bytes = readFile(image);
        const QList<QStringList> cover = rows(html, "cover");
        // The revision block: only what was given, the rest left to fill in.
        QCOMPARE(cover.mid(0, 5),
                 (QList<QStringList>{{"Setup file", "known.kelda"},
                                     {"Date", "2024-05-17 08:30 UTC+02:00"},
                                     {"Vehicle", "Tractor <7>"},
                                     {"Revision", "B"},
                                     {"Author", ""}}));
        QVERIFY(
            cover.contains(QStringList{QStringLiteral("Image size"), QStringLiteral("%1 bytes").arg(bytes.size())}));
        QVERIFY(cover.contains(QStringList{QStringLiteral("Image CRC-32"),
                                           QStringLiteral("%1").arg(crc32(bytes), 8, 16, QLatin1Char('0'))}));
        QVERIFY(cover.contains(QStringList{QStringLiteral("CAN Inputs"), QStringLiteral("2")}));
        QVERIFY(cover.contains(QStringList{QStringLiteral("Keypad"), QStringLiteral("25")}));
        const QList<check::Finding> findings = check::checkSetup(m.session());
        QVERIFY(!findings.isEmpty());  // Work lights is never cleared
        for (const check::Finding &f : findings)
            QVERIFY2(
                std::any_of(cover.begin(), cover.end(), [&](const QStringList &r) { return r.contains(f.message); }),
                qPrintable(f.message));

        // Connector, pin, wire and fuse: empty, for the installer.
        QCOMPARE(rows(html, "channels"),
                 (QList<QStringList>{
                     {"LX1-1", "1", "Work lamp", "10.0 A", "Work lights", "NONE", "", "", "", ""},
                     {"LX1-1", "3", "Work lamp", "10.0 A", "Work lights", "NONE", "", "", "", ""},
                     {"LX1-2", "8", "Work lamp", "10.0 A", "Work lights", "Engine running", "", "", "", ""},
                     {"LX1-2", "Engine running"},
                 }));
        QVERIFY(section(html, "channels").contains(QLatin1String("<th width=\"10%\">Connector</th>")));

        // The key grid: 5 rows of 5 labelled keys, key 1 at the top left.
        static const QRegularExpression key(
            QStringLiteral("<td class=\"key\"[^>]*><span class=\"keyno\">(\\d+)</span><br><b>(.*?)</b>"));
        QStringList grid;
        for (const auto &m : key.globalMatch(section(html, "keypad")))
            grid << m.captured(1) + QLatin1Char(' ') + unescape(m.captured(2));
        QCOMPARE(grid.size(), kKeypadKeyCount);
        QCOMPARE(grid.first(), QStringLiteral("1 Beacon key"));
        QCOMPARE(grid.at(6), QStringLiteral("7 Keypad 7"));
        QCOMPARE(grid.last(), QStringLiteral("25 Keypad 25"));
        QCOMPARE(section(html, "keypad").count(QLatin1String("<tr>")), 5 + 1 + kKeypadKeyCount);
        const QList<QStringList> keys = listRows(html, "keypad");
        QCOMPARE(keys.size(), kKeypadKeyCount);
        QCOMPARE(keys.first(), (QStringList{"1", "Beacon key", "Beacons on (2): Short Press"}));
        QCOMPARE(keys.at(1), (QStringList{"2", "Keypad 2", "—"}));
        const QList<QStringList> switches = rows(html, "switches");
        QCOMPARE(switches.size(), kSwitchCount);
        QCOMPARE(switches.at(1), (QStringList{"2", "Park brake", "Lights (1): High"}));

        const QList<QStringList> can = rows(html, "can");
        QVERIFY(can.contains(QStringList{"Bus speed", "1 Mhz (1000000 bit/s)"}));
        QVERIFY(can.contains(QStringList{"Rebroadcast start message", "0x600 (1536)"}));
        QVERIFY(can.contains(QStringList{"0x100", "256", "Little Endian", "Engine running", "Word 1", "=", "5 (0x0005)",
                                         "Lights (1): -, PWM of LX1-2"}));
        QVERIFY(
            can.contains(QStringList{"0x100", "256", "Little Endian", "Gear \"D\"", "Byte 3", ">", "2 (0x0002)", "—"}));
        QVERIFY(can.contains(
            QStringList{"0x2A0", "672", "Big Endian", "Beacon lamp msg", "Word 2", "1 (0x0001)", "Beacons"}));

        // Priority order, joins left to right, every action list.
        QCOMPARE(
            sentences(html),
            (QStringList{
                "1. Lights — when (switch Park brake is high or CAN input Engine running (0x100 Word 1 = 5) matches) "
                "and timer Flash is stopped: set Work lights, clear Beacons.",
                "2. Beacons on — when Beacon key is short-pressed and state Work lights is clear: set Beacons, start "
                "Flash.",
            }));
        const QList<QStringList> logic = rows(html, "logic");
        QVERIFY(logic.contains(QStringList{"Work lights", "Work LED", "Work lamp", "—", "Lights (1)", "—"}));
        QVERIFY(logic.contains(QStringList{"Beacons", "—", "—", "Beacon lamp msg", "Beacons on (2)", "Lights (1)"}));
        QVERIFY(logic.contains(QStringList{"Flash", "0.500 s", "Beacons on (2)", "—"}));

        const QList<QStringList> leds = rows(html, "leds");
        QCOMPARE(leds.size(), kLx2LedCount);
        QCOMPARE(leds.first(), (QStringList{"1", "Work LED", "Work lights"}));
        const QList<QStringList> options = rows(html, "options");
        QCOMPARE(options.size(), kOptionCount);
        QCOMPARE(options.first(), (QStringList{"Minimum Press Time", "0.01", "s"}));
        QCOMPARE(options.at(6), (QStringList{"CAN Speed", "1000000 (1 Mhz)", "bit/s"}));
        QCOMPARE(options.mid(4),
                 (QList<QStringList>{{"Retry Time", "0.50", "s"},
                                     {"Max Number of Retries", "5", "retries"},
                                     {"CAN Speed", "1000000 (1 Mhz)", "bit/s"},
                                     {"Rebroadcast Start Message", "0x600 (1536)", "CAN identifier"}}));
    }

    void pdfIsPagedReport()
    {
        PMModel m;
        QVERIFY(m.openSetup(m_setup));
        const QString pdf = m_dir.filePath(QStringLiteral("known.pdf"));
        QString error;
        QVERIFY2(writeReport(m.session(), m.fileName(), pdf, &error), qPrintable(error));
        const QByteArray bytes = readFile(pdf);
        QVERIFY(bytes.startsWith("%PDF-"));
        QVERIFY(bytes.trimmed().endsWith("%%EOF"));
        // The sections flow: this small setup took 7 pages when each began one.
        static const QRegularExpression page(QStringLiteral("/Type\\s*/Page[^s]"));
        const qsizetype pages = QString::fromLatin1(bytes).count(page);
        QVERIFY2(pages >= 3 && pages <= 4, qPrintable(QString::number(pages)));

        const QString pdftotext = QStandardPaths::findExecutable(QStringLiteral("pdftotext"));
        if (pdftotext.isEmpty())
            QSKIP("pdftotext (poppler-utils) is not installed: the PDF's text is not read back");
        QByteArray text;
        QCOMPARE(runProgram(pdftotext, {pdf, QStringLiteral("-")}, &text), 0);
        for (const char *words : {"Setup report", "Channel schedule", "Keypad legend", "CAN matrix", "Beacons on",
                                  "Park brake", "Rebroadcast Start Message"})
            QVERIFY2(text.contains(words), words);
    }

    // The cover's calibration CRC-32 is what the module holds after an upload
    // and what verify compares; without a RUNE file the cover says so.
    void calibrationCrc()
    {
        PMModel m;
        QVERIFY(m.openSetup(m_setup));
        const QByteArray runePath = qgetenv("CORLA_RUNE_PATH");
        const QString empty = m_dir.filePath(QStringLiteral("no-runes"));
        QVERIFY(QDir().mkpath(empty));
        qputenv("CORLA_RUNE_PATH", QFile::encodeName(empty));
        const QList<QStringList> without =
            rows(reportHtml(collectFacts(m.session(), m.fileName()), QDateTime::currentDateTime()), "cover");
        QVERIFY(std::any_of(without.begin(), without.end(), [&](const QStringList &r) {
            return r.value(0) == QLatin1String("Calibration CRC-32")
                && r.value(1).startsWith(QLatin1String("not known: no RUNE file")) && r.value(1).contains(empty);
        }));

        kelda::test::isolateCorla(m_dir.filePath(QStringLiteral("corla")));
        const QString cal = m_dir.filePath(QStringLiteral("module.cal"));
        kelda::test::EmulatorProcess emulator;
        QVERIFY(emulator.start({QStringLiteral("--cal-file"), cal}));
        kelda::test::setPorts({emulator.path()});
        QCOMPARE(runCli({QStringLiteral("upload"), m_setup, QStringLiteral("--port"), emulator.path()}).exitCode, 0);
        QCOMPARE(runCli({QStringLiteral("verify"), m_setup, QStringLiteral("--port"), emulator.path()}).exitCode, 0);
        const QByteArray stored = readFile(cal);
        QVERIFY(!stored.isEmpty());
        const QList<QStringList> with =
            rows(reportHtml(collectFacts(m.session(), m.fileName()), QDateTime::currentDateTime()), "cover");
        QVERIFY(with.contains(QStringList{QStringLiteral("Calibration CRC-32"),
                                          QStringLiteral("%1").arg(crc32(stored), 8, 16, QLatin1Char('0'))}));
        QVERIFY(std::any_of(with.begin(), with.end(), [&](const QStringList &r) {
            return r.value(0) == QLatin1String("Calibration")
                && r.value(1).startsWith(
                    QStringLiteral("%1 bytes as uploaded to an LX2 30v00 module").arg(stored.size()));
        }));
        qputenv("CORLA_RUNE_PATH", runePath);
    }

    void canDatabaseText()
    {
        PMModel m;
        QVERIFY(m.openSetup(m_setup));
        QCOMPARE(canDatabase(collectFacts(m.session(), m.fileName())), QString::fromLatin1(kExpectedDbc));
    }

    // An identifier above 0x7FF (a file or a loaded tree may hold one) has no
    // standard message: no database is written rather than one that readers
    // take as an extended identifier or refuse line by line.
    void canDatabaseRefusesWideIdentifiers()
    {
        PMModel m;
        SetupBuilder b(m);
        b.canInput(QStringLiteral("0x100"));
        const int out = b.canOutput(QStringLiteral("0x200"));
        StoreCursor c(m.session());
        QVERIFY(c.item(ItemType::CanOutput, out) && c.setInt(ValueId::CanId, 0x900));
        const QString setup = m_dir.filePath(QStringLiteral("wide.kelda"));
        QVERIFY(m.saveSetup(setup));
        const QString why = canDatabaseProblem(collectFacts(m.session(), setup));
        QCOMPARE(why,
                 QStringLiteral("CAN output \"CAN Output 1\" uses identifier 0x900, above 0x7FF: a DBC message "
                                "of a standard frame holds 11-bit identifiers only"));
        const QString dbc = m_dir.filePath(QStringLiteral("wide.dbc"));
        QVERIFY(kelda::test::writeFile(dbc, "previous"));
        for (const QString &to : {dbc, QStringLiteral("-")}) {
            const auto r = runCli({QStringLiteral("dbc"), setup, QStringLiteral("-o"), to});
            QCOMPARE(r.exitCode, 1);
            QVERIFY(r.out.isEmpty());
            QVERIFY2(QString::fromUtf8(r.err).trimmed().endsWith(why), r.err.constData());
        }
        QCOMPARE(readFile(dbc), QByteArray("previous"));
        QVERIFY(c.item(ItemType::CanOutput, out) && c.setInt(ValueId::CanId, 0x7FF));
        QVERIFY(canDatabaseProblem(collectFacts(m.session(), setup)).isEmpty());
    }

    // What a standard DBC reader takes from the file.
    void canDatabaseReadBack()
    {
        const QString python = QStringLiteral("/usr/bin/python3");
        if (runProgram(python, {QStringLiteral("-c"), QStringLiteral("import canmatrix.formats")}) != 0)
            QSKIP("python3-canmatrix is not installed");
        const QString dbc = m_dir.filePath(QStringLiteral("known.dbc"));
        QCOMPARE(runCli({QStringLiteral("dbc"), m_setup, QStringLiteral("-o"), dbc}).exitCode, 0);
        const QString script = QStringLiteral(R"(
import sys, canmatrix.formats
db = canmatrix.formats.loadp_flat(sys.argv[1])
print(db.attribute("Baudrate"))
for f in sorted(db.frames, key=lambda f: f.arbitration_id.id):
    print(f.arbitration_id.id, f.name, f.size, ",".join(f.transmitters))
    for s in f.signals:
        print(" ", s.name, s.get_startbit(bit_numbering=1, start_little=True), s.size,
              "little" if s.is_little_endian else "big", "signed" if s.is_signed else "unsigned", ",".join(s.receivers))
    for name, value in f.decode(bytes(range(1, 9))).items():
        print(" ", name, "=", value.raw_value)
)");
        QByteArray out;
        QCOMPARE(runProgram(python, {QStringLiteral("-c"), script, dbc}, &out), 0);
        // Start bits as the reader counts them (least significant bit, counted from
        // bit 0 of byte 0), and what it decodes from a frame of bytes 01 to 08.
        QCOMPARE(QString::fromUtf8(out).trimmed(),
                 QStringLiteral("1000000\n"
                                "256 LX2_RX_100 8 VEHICLE\n"
                                "  Engine_running 0 16 little unsigned LX2\n"
                                "  Gear_D 16 8 little unsigned LX2\n"
                                "  Engine_running = 513\n"  // bytes 01 02, little-endian
                                "  Gear_D = 3\n"
                                "672 LX2_TX_2A0 8 LX2\n"
                                "  Beacon_lamp_msg 24 16 big unsigned VEHICLE\n"
                                "  Beacon_lamp_msg = 772"));  // bytes 03 04, big-endian
    }

    void canDatabaseLayout_data()
    {
        QTest::addColumn<int>("select");
        QTest::addColumn<bool>("little");
        QTest::addColumn<int>("start");
        QTest::addColumn<int>("length");
        QTest::newRow("word 1 big") << 3 << false << 7 << 16;
        QTest::newRow("word 4 big") << 192 << false << 55 << 16;
        QTest::newRow("word 2 little") << 12 << true << 16 << 16;
        QTest::newRow("byte 8 big") << 128 << false << 63 << 8;
        QTest::newRow("byte 5 little") << 16 << true << 32 << 8;
        QTest::newRow("unknown code") << 5 << false << 0 << 0;
    }
    void canDatabaseLayout()
    {
        QFETCH(int, select);
        QFETCH(bool, little);
        QFETCH(int, start);
        QFETCH(int, length);
        const SignalLayout s = signalLayout(select, little);
        QCOMPARE(s.valid, length > 0);
        QCOMPARE(s.startBit, start);
        QCOMPARE(s.length, length);
    }

    void dbcNamesAreSafe()
    {
        QCOMPARE(dbcName(QStringLiteral("Engine running")), QStringLiteral("Engine_running"));
        QCOMPARE(dbcName(QStringLiteral("  Gear \"D\" / 2 ")), QStringLiteral("Gear_D_2"));
        QCOMPARE(dbcName(QStringLiteral("2nd gear")), QStringLiteral("S_2nd_gear"));
        QCOMPARE(dbcName(QString::fromLatin1("\xd6l-Temp. \xe9t\xe9")), QStringLiteral("Ol_Temp_ete"));
        QCOMPARE(dbcName(QStringLiteral("__")), QStringLiteral("Signal"));
        QCOMPARE(dbcName(QStringLiteral("A very long name of a CAN input that goes on")).size(), kDbcNameMax);

        // Two names that become one are told apart within a message.
        PMModel m;
        SetupBuilder b(m);
        b.canInput(QStringLiteral("0x123"));
        b.set(Mode::CanInputs, 0, 0, QStringLiteral("Oil-pressure"));
        b.canInput(QStringLiteral("0x123"), QStringLiteral("Byte 8"));
        b.set(Mode::CanInputs, 1, 0, QStringLiteral("Oil pressure"));
        const QString dbc = canDatabase(collectFacts(m.session(), m.fileName()));
        QVERIFY(dbc.contains(QLatin1String(" SG_ Oil_pressure : 7|16@0+")));
        QVERIFY(dbc.contains(QLatin1String(" SG_ Oil_pressure_2 : 63|8@0+")));
    }

    // A name that looks like a format string stays as typed; control
    // characters in names leave the HTML and the DBC comments valid.
    void hostileNames()
    {
        PMModel m;
        SetupBuilder b(m);
        const int can = b.canInput(QStringLiteral("0x100"), QStringLiteral("Word 1"), 7);
        const int state = b.state(), event = b.event();
        QVERIFY(b.input(event, 0, ItemType::CanInput, can, "-")
                && b.entry(Mode::Events, event, 0, ItemType::State, state));
        const QString name = QStringLiteral("Horn %1 %2\x01\r");
        QVERIFY(b.set(Mode::CanInputs, can, CanInputCol::Name, name));  // and where the event names it
        StoreCursor c(m.session());
        QVERIFY(c.item(ItemType::Event, event) && c.setText(ValueId::Name, name));
        const SetupFacts facts = collectFacts(m.session(), m.fileName());
        const QString html = reportHtml(facts, QDateTime(QDate(2024, 5, 17), QTime(8, 30)));
        for (const QChar c : html)
            QVERIFY2(c.unicode() >= 0x20 || c == QLatin1Char('\n'), qPrintable(QString::number(c.unicode())));
        // In the CAN matrix (read by the event), and in the event's sentence.
        QVERIFY(html.count(QLatin1String("Horn %1 %2\\x01\\r (1)")) >= 1);
        QVERIFY(html.contains(QLatin1String("CAN input Horn %1 %2\\x01\\r (0x100")));
        QVERIFY(!html.contains(QLatin1String("Horn 7")) && !html.contains(QLatin1String("Horn 1 ")));

        const QString dbc = canDatabase(facts);
        for (const QString &line : dbc.split(QLatin1Char('\n')))
            if (line.startsWith(QLatin1String("CM_")))
                for (const QChar c : line)
                    QVERIFY2(c.unicode() >= 0x20, qPrintable(line));
        const QString python = QStringLiteral("/usr/bin/python3");
        if (runProgram(python, {QStringLiteral("-c"), QStringLiteral("import canmatrix.formats")}) != 0)
            QSKIP("python3-canmatrix is not installed");
        const QString file = m_dir.filePath(QStringLiteral("hostile.dbc"));
        QVERIFY(kelda::test::writeFile(file, dbc.toLatin1()));
        QByteArray out;
        QCOMPARE(runProgram(python,
                            {QStringLiteral("-c"),
                             QStringLiteral("import sys, canmatrix.formats\n"
                                            "db = canmatrix.formats.loadp_flat(sys.argv[1])\n"
                                            "for f in db.frames:\n"
                                            "    for s in f.signals: print(s.name, '|', s.comment)\n"),
                             file},
                            &out),
                 0);
        QCOMPARE(QString::fromUtf8(out).trimmed(),
                 QStringLiteral("Horn_1_2 | CAN input Horn %1 %2  , Word 1: compare = 7 (0x0007); read by Horn %1 %2   "
                                "(1): -."));
    }

    void commandLine()
    {
        const QString html = m_dir.filePath(QStringLiteral("cli.html"));
        const QString pdf = m_dir.filePath(QStringLiteral("cli.pdf"));
        QCOMPARE(runCli({QStringLiteral("report"), m_setup, QStringLiteral("-o"), html, QStringLiteral("--vehicle"),
                         QStringLiteral("Tractor 7"), QStringLiteral("--author"), QStringLiteral("J. Doe")})
                     .exitCode,
                 0);
        const QList<QStringList> cover = rows(QString::fromUtf8(readFile(html)), "cover");
        QCOMPARE(cover.value(2), (QStringList{"Vehicle", "Tractor 7"}));
        QCOMPARE(cover.value(3), (QStringList{"Revision", ""}));  // not given: never guessed
        QCOMPARE(cover.value(4), (QStringList{"Author", "J. Doe"}));
        static const QRegularExpression zoned(
            QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d UTC[+-]\\d\\d:\\d\\d"));
        QVERIFY2(zoned.match(cover.value(1).value(1)).hasMatch(), qPrintable(cover.value(1).value(1)));
        QCOMPARE(rows(QString::fromUtf8(readFile(html)), "channels").size(), 4);
        QCOMPARE(runCli({QStringLiteral("report"), m_setup, QStringLiteral("-o"), pdf}).exitCode, 0);
        QVERIFY(readFile(pdf).startsWith("%PDF-"));
        QCOMPARE(
            runCli({QStringLiteral("report"), m_setup, QStringLiteral("-o"), m_dir.filePath(QStringLiteral("x.txt"))})
                .exitCode,
            2);
        // The setup itself is never overwritten.
        const QByteArray before = readFile(m_setup);
        const QString alias = m_dir.filePath(QStringLiteral("alias.html"));
        QVERIFY(QFile::link(m_setup, alias));
        QCOMPARE(runCli({QStringLiteral("report"), m_setup, QStringLiteral("-o"), alias}).exitCode, 1);
        QCOMPARE(readFile(m_setup), before);
    }

    void menuEntryWritesReport()
    {
        KELDA window;
        kelda::test::ScriptedPrompter *p =
            kelda::test::installPrompter(window, kelda::test::ScriptedPrompter::answer(QMessageBox::Cancel));
        auto *action = window.findChild<QAction *>(QStringLiteral("action_Report"));
        QVERIFY(action);
        QCOMPARE(action->text(), QStringLiteral("Setup &Report..."));
        auto *tools = window.findChild<QMenu *>(QStringLiteral("menu_Tools"));
        QVERIFY(tools && tools->actions().contains(action));

        const QString html = m_dir.filePath(QStringLiteral("window.html"));
        p->saveAnswers << html;
        action->trigger();
        QVERIFY2(p->told.isEmpty(), qPrintable(p->told.value(0).text));
        QCOMPARE(listRows(QString::fromUtf8(readFile(html)), "keypad").size(), kKeypadKeyCount);

        // The details dialog fills the revision block and is remembered per setup.
        QVERIFY(window.model()->openSetup(m_setup));
        auto edit = [](QDialog *d, const char *name) { return d->findChild<QLineEdit *>(QLatin1String(name)); };
        p->onExec = [&](QDialog *d) {
            if (d->objectName() != QLatin1String("ReportDetails"))
                return int(QDialog::Rejected);
            edit(d, "vehicleEdit")->setText(QStringLiteral("Loader 3"));
            edit(d, "revisionEdit")->setText(QStringLiteral("C"));
            edit(d, "authorEdit")->setText(QStringLiteral("A. Fitter"));
            return int(QDialog::Accepted);
        };
        p->saveAnswers << html;
        action->trigger();
        QCOMPARE(rows(QString::fromUtf8(readFile(html)), "cover").mid(2, 3),
                 (QList<QStringList>{{"Vehicle", "Loader 3"}, {"Revision", "C"}, {"Author", "A. Fitter"}}));
        QStringList shown;
        p->onExec = [&](QDialog *d) {
            shown = {edit(d, "vehicleEdit")->text(), edit(d, "revisionEdit")->text(), edit(d, "authorEdit")->text()};
            return int(QDialog::Rejected);  // Cancel: no file is asked for
        };
        const qsizetype asked = p->saveCalls.size();
        action->trigger();
        QCOMPARE(shown, (QStringList{"Loader 3", "C", "A. Fitter"}));
        QCOMPARE(p->saveCalls.size(), asked);
        p->onExec = nullptr;

        const QString noExtension = m_dir.filePath(QStringLiteral("window-report"));
        p->saveAnswers << noExtension;
        action->trigger();
        QVERIFY(readFile(noExtension + QStringLiteral(".pdf")).startsWith("%PDF-"));

        p->saveAnswers << m_dir.filePath(QStringLiteral("report.doc"));
        action->trigger();
        QCOMPARE(p->told.size(), 1);
        QVERIFY(p->told.first().text.contains(QLatin1String(".pdf, .html or .htm")));
    }
};

KELDA_TEST_MAIN_IN_TEMPORARY_CONFIG(TestReport)

#include "tst_report.moc"
