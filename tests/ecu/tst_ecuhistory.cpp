// The history of uploads, reads, restores and backups: kelda-cli against
// lx2-emulator writes its lines, a killed writer leaves whole lines, a torn
// line is skipped, and kelda-cli history filters and formats them.
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include "clirun.h"
#include "crc32.h"
#include "emulatorprocess.h"
#include "history.h"
#include "pmmodel.h"
#include "testfiles.h"

using namespace kelda::test;
namespace history = kelda::history;

namespace {

// The child of killedWhileAppending: appends numbered lines until killed.
constexpr char kAppendLoop[] = "--append-loop";

int appendLoop(const QString &path)
{
    for (int i = 0;; ++i) {
        history::Entry e = history::started(QLatin1String(history::kUpload), QStringLiteral("test"));
        e.ok = true;
        e.vehicle = QStringLiteral("loop-%1").arg(i);
        e.reason = QString(200, QLatin1Char('x'));  // long lines: more time inside write()
        QString why;
        if (!history::append(e, &why, path))
            return 1;
    }
}

uint32_t crcOf(const QByteArray &bytes)
{
    return checksum::crc32(bytes.constData(), size_t(bytes.size()));
}

QString sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

}  // namespace

class TestEcuHistory : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void roundTripAndLookup();
    void tornLineSkipped();
    void killedWhileAppending();
    void cliOperationsRecorded();
    void cliFailuresRecorded();
    void cliHistoryFiltersAndFormats();

private:
    QString makeSetup(const QString &fileName);
    QList<history::Entry> entries();

    QTemporaryDir dir_;
    QString path_;
};

void TestEcuHistory::initTestCase()
{
    QLocale::setDefault(QLocale::c());
    QVERIFY(dir_.isValid());
    isolateCorla(dir_.path());
    path_ = history::defaultPath();
    // Beside the settings, inside the test's own folder: never the user's.
    QVERIFY2(path_.startsWith(dir_.path() + QLatin1Char('/')), qPrintable(path_));
    QVERIFY(path_.endsWith(QLatin1String("/history.jsonl")));
}

void TestEcuHistory::init()
{
    setPorts({});
    QFile::remove(path_);
}

QString TestEcuHistory::makeSetup(const QString &fileName)
{
    const QString path = dir_.path() + QLatin1Char('/') + fileName;
    PMModel model;
    model.newSetup();
    return model.saveSetup(path) ? path : QString();
}

QList<history::Entry> TestEcuHistory::entries()
{
    const history::ReadResult read = history::read(path_);
    if (!read.notes.isEmpty() || !read.error.isEmpty())
        qWarning() << read.notes << read.error;
    return read.entries;
}

void TestEcuHistory::roundTripAndLookup()
{
    QVERIFY(history::read(path_).entries.isEmpty());  // no file: an empty history
    history::Entry a = history::started(QLatin1String(history::kUpload), QStringLiteral("kelda-cli"));
    a.ok = true;
    a.port = QStringLiteral("/dev/ttyUSB0");
    a.moduleWord = QStringLiteral("0x4C32");
    a.firmwareWord = QStringLiteral("0x3005");
    a.rune = QStringLiteral("LX2 30v00");
    a.crc = 0xdeadbeef;
    a.length = 4321;
    a.file = QStringLiteral("/srv/utility-truck.kelda");
    a.sha256 = sha256("setup");
    a.vehicle = QStringLiteral("utility-truck \"2\"");
    history::Entry failed = a;
    failed.ok = false;
    failed.reason = QStringLiteral("upload failed: the module did not answer");
    failed.time = a.time.addSecs(60);
    history::Entry read = a;
    read.operation = QLatin1String(history::kRead);
    read.time = a.time.addSecs(120);
    QString why;
    for (const history::Entry &e : {a, failed, read})
        QVERIFY2(history::append(e, &why, path_), qPrintable(why));

    const QList<history::Entry> got = entries();
    QCOMPARE(got.size(), 3);
    QCOMPARE(QJsonDocument(history::toJson(got[0])).toJson(), QJsonDocument(history::toJson(a)).toJson());
    QCOMPARE(got[1].reason, failed.reason);
    QVERIFY(!got[1].ok);
    QCOMPARE(got[0].time.timeSpec(), Qt::UTC);
    // One line each, each a JSON object on its own.
    const QList<QByteArray> lines = readFile(path_).split('\n');
    QCOMPARE(lines.size(), 4);
    QVERIFY(lines.last().isEmpty());
    QVERIFY(lines[0].startsWith('{') && lines[0].contains("\"time\":\"" + a.time.toString(Qt::ISODateWithMs).toUtf8()));
    QVERIFY(lines[0].contains("Z\""));

    // By CRC: every entry, and the last upload that wrote it (not the failure, not the read).
    QCOMPARE(history::withCrc(got, 0xdeadbeef).size(), 3);
    QVERIFY(history::withCrc(got, 0x1234).isEmpty());
    const auto last = history::lastWritten(got, 0xdeadbeef);
    QVERIFY(last.has_value());
    QCOMPARE(last->time, a.time);
    QVERIFY(!history::lastWritten(got, 0x1234));
    QCOMPARE(history::parseCrc(QStringLiteral("0xDEADBEEF")), std::optional<uint32_t>(0xdeadbeef));
    QCOMPARE(history::parseCrc(QStringLiteral("beef")), std::optional<uint32_t>(0xbeef));
    QVERIFY(!history::parseCrc(QStringLiteral("123456789")));
    QVERIFY(!history::parseCrc(QStringLiteral("xyz")));
}

void TestEcuHistory::tornLineSkipped()
{
    history::Entry e = history::started(QLatin1String(history::kRestore), QStringLiteral("kelda-cli"));
    e.ok = true;
    QString why;
    QVERIFY(history::append(e, &why, path_));
    // An older crash left half a line without its newline.
    QFile file(path_);
    QVERIFY(file.open(QIODevice::Append));
    file.write(R"({"time":"2026-12-08T10:00:00.000Z","operation":"upl)");
    file.close();
    e.vehicle = QStringLiteral("after");
    QVERIFY(history::append(e, &why, path_));

    const history::ReadResult read = history::read(path_);
    QCOMPARE(read.entries.size(), 2);
    QCOMPARE(read.entries.last().vehicle, QStringLiteral("after"));  // not glued to the torn line
    QCOMPARE(read.notes.size(), 1);
    QVERIFY2(read.notes.first().startsWith(QStringLiteral("line 2 of ")), qPrintable(read.notes.first()));

    // kelda-cli history lists the rest and notes the skipped line, never failing.
    const CliRun run = runCli({QStringLiteral("history")});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.err.contains("note: line 2 of") && run.err.contains("skipped"), run.err.constData());
    QCOMPARE(outputLines(run.out).size(), 3);  // heading and two rows
    const CliRun json = runCli({QStringLiteral("history"), QStringLiteral("--json")});
    QCOMPARE(json.exitCode, 0);
    const QJsonObject doc = QJsonDocument::fromJson(json.out).object();
    QCOMPARE(doc.value(QStringLiteral("entries")).toArray().size(), 2);
    QCOMPARE(doc.value(QStringLiteral("skipped")).toArray().size(), 1);
}

void TestEcuHistory::killedWhileAppending()
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {QLatin1String(kAppendLoop), path_});
    QVERIFY(child.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(readFile(path_).count('\n') >= 300, 60000);
    child.kill();  // SIGKILL, mid-append at any point
    QVERIFY(child.waitForFinished());
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);

    const QByteArray bytes = readFile(path_);
    QVERIFY(bytes.endsWith('\n'));  // one write() a line: never half of one
    const history::ReadResult read = history::read(path_);
    QVERIFY(read.notes.isEmpty());
    QVERIFY(read.entries.size() >= 300);
    for (int i = 0; i < read.entries.size(); ++i)
        QCOMPARE(read.entries[i].vehicle, QStringLiteral("loop-%1").arg(i));  // none lost, none doubled

    // Appending goes on after it.
    history::Entry e = history::started(QLatin1String(history::kRead), QStringLiteral("test"));
    QString why;
    QVERIFY(history::append(e, &why, path_));
    QCOMPARE(history::read(path_).entries.size(), read.entries.size() + 1);
}

void TestEcuHistory::cliOperationsRecorded()
{
    const QString setup = makeSetup(QStringLiteral("utility-truck.kelda"));
    QVERIFY(!setup.isEmpty());
    const QString cal = dir_.path() + QStringLiteral("/module.cal");
    const QByteArray previous = patternImage(300, 3);
    QVERIFY(writeFile(cal, previous));
    EmulatorProcess emulator;
    QVERIFY(emulator.start({QStringLiteral("--cal-file"), cal}));
    setPorts({emulator.path()});
    const QStringList port{QStringLiteral("--port"), emulator.path()};
    const QString backup = dir_.path() + QStringLiteral("/before.cal");
    const QString readBack = dir_.path() + QStringLiteral("/read.cal");

    const QStringList truck{QStringLiteral("--vehicle"), QStringLiteral("utility-truck")};
    QCOMPARE(runCli(QStringList{QStringLiteral("upload"), setup, QStringLiteral("--backup"), backup} + port + truck)
                 .exitCode,
             0);
    const QByteArray uploaded = readFile(cal);
    QCOMPARE(runCli(QStringList{QStringLiteral("read"), QStringLiteral("-o"), readBack} + port).exitCode, 0);
    QCOMPARE(runCli(QStringList{QStringLiteral("restore"), backup, QStringLiteral("--vehicle"), QStringLiteral("van")}
                    + port)
                 .exitCode,
             0);
    // verify keeps nothing and writes nothing: not part of the history.
    QCOMPARE(runCli(QStringList{QStringLiteral("verify"), setup} + port).exitCode, 1);

    const QList<history::Entry> got = entries();
    QCOMPARE(got.size(), 4);
    const QStringList operations{got[0].operation, got[1].operation, got[2].operation, got[3].operation};
    QCOMPARE(operations, QStringList({"backup", "upload", "read", "restore"}));
    const QList<QByteArray> calibrations{previous, uploaded, uploaded, previous};
    const QStringList files{backup, setup, readBack, backup};
    const QStringList vehicles{"utility-truck", "utility-truck", QString(), "van"};
    for (int i = 0; i < got.size(); ++i) {
        const history::Entry &e = got[i];
        QVERIFY2(e.ok, qPrintable(e.reason));
        QVERIFY(e.reason.isEmpty());
        QCOMPARE(e.via, QStringLiteral("kelda-cli"));
        QCOMPARE(e.port, emulator.path());
        QCOMPARE(e.moduleWord, QStringLiteral("0x4C32"));
        QCOMPARE(e.firmwareWord, QStringLiteral("0x3005"));
        QCOMPARE(e.rune, QStringLiteral("LX2 30v00"));
        QCOMPARE(e.crc, std::optional<uint32_t>(crcOf(calibrations[i])));
        QCOMPARE(e.length, std::optional<uint32_t>(uint32_t(calibrations[i].size())));
        QCOMPARE(e.file, files[i]);
        QCOMPARE(e.sha256, sha256(readFile(files[i])));
        QCOMPARE(e.vehicle, vehicles[i]);
        QVERIFY(qAbs(e.time.secsTo(QDateTime::currentDateTimeUtc())) < 600);
    }
    QVERIFY(uploaded != previous);
    // The lookup the editor uses: what last wrote the calibration now held.
    const auto last = history::lastWritten(got, crcOf(uploaded));
    QVERIFY(last.has_value());
    QCOMPARE(last->file, setup);
}

void TestEcuHistory::cliFailuresRecorded()
{
    const QString setup = makeSetup(QStringLiteral("fail.kelda"));
    const QString cal = dir_.path() + QStringLiteral("/fail.cal");
    QVERIFY(writeFile(cal, patternImage(300, 3)));
    {
        EmulatorProcess dies(
            {QStringLiteral("--exit-after"), QStringLiteral("100"), QStringLiteral("--cal-file"), cal});
        QVERIFY(!dies.path().isEmpty());
        setPorts({dies.path()});
        QCOMPARE(runCli({QStringLiteral("upload"), setup, QStringLiteral("--port"), dies.path(),
                         QStringLiteral("--vehicle"), QStringLiteral("bus")})
                     .exitCode,
                 1);
    }
    {
        EmulatorProcess lx1({QStringLiteral("--identity"), QStringLiteral("lx1")});
        setPorts({lx1.path()});
        QCOMPARE(runCli({QStringLiteral("upload"), setup, QStringLiteral("--port"), lx1.path()}).exitCode, 1);
    }
    QCOMPARE(runCli({QStringLiteral("read"), QStringLiteral("--port"), QStringLiteral("/dev/kelda-no-such-port"),
                     QStringLiteral("-o"), dir_.path() + QStringLiteral("/x.cal")})
                 .exitCode,
             1);

    const QList<history::Entry> got = entries();
    QCOMPARE(got.size(), 3);
    for (const history::Entry &e : got)
        QVERIFY(!e.ok);
    QCOMPARE(got[0].operation, QStringLiteral("upload"));
    QVERIFY2(got[0].reason.contains(QStringLiteral("the connection to the module was lost; the module keeps its "
                                                   "previous calibration")),
             qPrintable(got[0].reason));
    QCOMPARE(got[0].vehicle, QStringLiteral("bus"));
    QVERIFY(got[0].crc.has_value());  // what it was writing
    QCOMPARE(got[0].file, setup);
    QCOMPARE(got[1].moduleWord, QStringLiteral("0x4C31"));
    QVERIFY2(got[1].reason.startsWith(QStringLiteral("Incompatible ECU")), qPrintable(got[1].reason));
    QVERIFY(!got[1].crc.has_value());
    QCOMPARE(got[2].operation, QStringLiteral("read"));
    QVERIFY2(got[2].reason.contains(QStringLiteral("no port named")), qPrintable(got[2].reason));
    QVERIFY(got[2].moduleWord.isEmpty());
}

void TestEcuHistory::cliHistoryFiltersAndFormats()
{
    const CliRun empty = runCli({QStringLiteral("history")});
    QCOMPARE(empty.exitCode, 0);
    QVERIFY2(empty.out.startsWith("Nothing recorded yet"), empty.out.constData());

    const auto add = [&](const QString &vehicle, uint32_t crc, bool ok) {
        history::Entry e = history::started(QLatin1String(history::kUpload), QStringLiteral("kelda-cli"));
        e.vehicle = vehicle;
        e.crc = crc;
        e.length = 100;
        e.ok = ok;
        e.reason = ok ? QString() : QStringLiteral("upload failed: because");
        e.file = QStringLiteral("/x/") + vehicle + QStringLiteral(".kelda");
        QString why;
        return history::append(e, &why, path_);
    };
    QVERIFY(add(QStringLiteral("truck"), 0x0000abcd, true));
    QVERIFY(add(QStringLiteral("van"), 0x0000abcd, false));
    QVERIFY(add(QStringLiteral("truck"), 0x12345678, true));

    const CliRun all = runCli({QStringLiteral("history")});
    QCOMPARE(all.exitCode, 0);
    QStringList lines = outputLines(all.out);
    QCOMPARE(lines.size(), 5);  // heading, three rows, the failure's reason
    QVERIFY(lines[0].startsWith(QStringLiteral("TIME")) && lines[0].contains(QStringLiteral("CRC")));
    QVERIFY(lines[2].contains(QStringLiteral(" failed ")) && lines[2].contains(QStringLiteral("van.kelda")));
    QCOMPARE(lines[3].trimmed(), QStringLiteral("upload failed: because"));
    // The columns line up: each row's CRC where the heading's is.
    const qsizetype crcColumn = lines[0].indexOf(QStringLiteral("CRC"));
    QCOMPARE(lines[1].indexOf(QStringLiteral("0000abcd")), crcColumn);
    QCOMPARE(lines[4].indexOf(QStringLiteral("12345678")), crcColumn);

    const CliRun truck = runCli({QStringLiteral("history"), QStringLiteral("--vehicle"), QStringLiteral("TRUCK")});
    lines = outputLines(truck.out);
    QCOMPARE(lines.size(), 3);
    QVERIFY(!truck.out.contains("van"));

    const CliRun crc = runCli(
        {QStringLiteral("history"), QStringLiteral("--crc"), QStringLiteral("0xABCD"), QStringLiteral("--json")});
    QCOMPARE(crc.exitCode, 0);
    QJsonParseError error{};
    const QJsonObject doc = QJsonDocument::fromJson(crc.out, &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(doc.value(QStringLiteral("history")).toString(), path_);
    const QJsonArray list = doc.value(QStringLiteral("entries")).toArray();
    QCOMPARE(list.size(), 2);
    QCOMPARE(list[0].toObject().value(QStringLiteral("vehicle")).toString(), QStringLiteral("truck"));
    QCOMPARE(list[1].toObject().value(QStringLiteral("outcome")).toString(), QStringLiteral("failed"));
    QCOMPARE(list[1].toObject().value(QStringLiteral("crc")).toString(), QStringLiteral("0000abcd"));

    const CliRun both = runCli({QStringLiteral("history"), QStringLiteral("--crc"), QStringLiteral("abcd"),
                                QStringLiteral("--vehicle"), QStringLiteral("truck"), QStringLiteral("--json")});
    QCOMPARE(QJsonDocument::fromJson(both.out).object().value(QStringLiteral("entries")).toArray().size(), 1);
    const CliRun none = runCli({QStringLiteral("history"), QStringLiteral("--vehicle"), QStringLiteral("bus")});
    QCOMPARE(none.exitCode, 0);
    QVERIFY(none.out.startsWith("No entry matches"));

    QCOMPARE(runCli({QStringLiteral("history"), QStringLiteral("--crc"), QStringLiteral("xyz")}).exitCode, 2);
    QCOMPARE(runCli({QStringLiteral("history"), QStringLiteral("--vehicle"), QString()}).exitCode, 2);
}

int main(int argc, char *argv[])
{
    if (argc == 3 && qstrcmp(argv[1], kAppendLoop) == 0)
        return appendLoop(QString::fromLocal8Bit(argv[2]));
    QCoreApplication app(argc, argv);
    TestEcuHistory test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_ecuhistory.moc"
