// kelda-cli compile / export / dump / load, run as the real executable.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "clirun.h"
#include "pmmodel.h"
#include "setupbuilder.h"
#include "testfiles.h"
#include "testpaths.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <utime.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

using namespace kelda;
using namespace kelda::test;

namespace {

// A failure is one line "kelda-cli: <what>: <why>" on standard error.
bool isFailureLine(const QByteArray &err)
{
    return err.startsWith("kelda-cli: ") && err.count('\n') == 1 && err.endsWith('\n') && err.count(": ") >= 2;
}

// How a run of kelda-cli is set up beyond its words.
struct Setting {
    explicit Setting(QString f = {}, qint64 limit = -1, QString out = {}, QString tmp = {}, bool closed = false)
        : folder(std::move(f)),
          fileSizeLimit(limit),
          standardOutput(std::move(out)),
          tmpdir(std::move(tmp)),
          closeStandardOutput(closed)
    { }
    QString folder;  // working folder; empty: the test's
    qint64 fileSizeLimit;  // RLIMIT_FSIZE, with SIGXFSZ left at its default
    QString standardOutput;  // a file standard output goes to; empty: read back
    QString tmpdir;  // TMPDIR; empty: inherited
    bool closeStandardOutput;  // started with descriptor 1 closed
};

// kelda-cli as a user starts it: the signal a file size limit raises is not
// ignored for it, so only kelda-cli's own handling keeps it alive.
CliRun runAs(const Setting &s, const QStringList &args)
{
    QProcess p;
    if (!s.folder.isEmpty())
        p.setWorkingDirectory(s.folder);
    if (!s.standardOutput.isEmpty())
        p.setStandardOutputFile(s.standardOutput);
    if (!s.tmpdir.isEmpty()) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TMPDIR"), s.tmpdir);
        p.setProcessEnvironment(env);
    }
    const qint64 limit = s.fileSizeLimit;
    const bool closed = s.closeStandardOutput;
    p.setChildProcessModifier([limit, closed] {
        if (closed)
            ::close(STDOUT_FILENO);
        std::signal(SIGXFSZ, SIG_DFL);
        if (limit >= 0) {
            const rlimit l{rlim_t(limit), rlim_t(limit)};
            ::setrlimit(RLIMIT_FSIZE, &l);
        }
    });
    p.start(cliProgram(), args);
    return finishCli(p);
}

// The process id of a process that has ended.
qint64 endedProcess()
{
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    return pid;
}

}  // namespace

class TestCli : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }

    // A setup with references of every kind, a mask block and a Latin-1 name.
    // withErrors: one action entry without a target, which the setup check calls an error.
    QString richSetup(const QString &name, bool withErrors = false)
    {
        PMModel model;
        SetupBuilder b(model);
        b.timer(1.0);
        b.canInput(QStringLiteral("0x123"), QStringLiteral("Byte 2"), 9);
        b.state();
        b.lx1Output();
        b.set(Mode::Lx1Outputs, 0, 4, QStringLiteral("10100101"));
        b.canOutput(QStringLiteral("0x321"));
        const int ev = b.event();
        b.input(ev, 0, QStringLiteral("CI: CAN Input 1"), QString(), QStringLiteral("OR"));
        b.input(ev, 1, QStringLiteral("TI: Timer 1"), QStringLiteral("Stopped"));
        b.entry(Mode::Events, ev, 0, QStringLiteral("State 1"));
        b.entry(Mode::Events, ev, 2, withErrors ? QString() : QStringLiteral("Timer 1"));
        b.entry(Mode::States, 0, 0, QStringLiteral("LX2 LED 5"));
        b.entry(Mode::States, 0, 2, QStringLiteral("CAN Output 1"));
        b.set(Mode::Pwm, 2, 1, QStringLiteral("CAN Input 1"));
        b.set(Mode::Keypad, 0, 1, QStringLiteral("Z\u00fcndung \u00b0"));
        const QString file = path(name);
        if (!model.saveSetup(file))
            return QString();
        return file;
    }

private slots:
    void initTestCase()
    {
        QLocale::setDefault(QLocale::c());
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(m_dir.isValid());
        QVERIFY(QFileInfo(cliProgram()).isExecutable());
    }

    void usage()
    {
        CliRun r = runCli({QStringLiteral("--help")});
        QCOMPARE(r.exitCode, 0);
        for (const char *cmd : {"compile", "export", "dump", "load"})
            QVERIFY2(r.out.contains(QByteArray("kelda-cli ") + cmd), r.out.constData());

        r = runCli({QStringLiteral("compile"), QStringLiteral("--help")});
        QCOMPARE(r.exitCode, 0);
        QVERIFY(r.out.contains("kelda-cli compile SETUP.kelda -o IMAGE.bin"));

        const QList<QStringList> wrong = {
            {},
            {QStringLiteral("frobnicate")},
            {QStringLiteral("compile"), QStringLiteral("a.kelda")},
            {QStringLiteral("compile"), QStringLiteral("-o")},
            {QStringLiteral("compile"), QStringLiteral("a.kelda"), QStringLiteral("b.kelda"), QStringLiteral("-o"),
             QStringLiteral("x")},
            {QStringLiteral("export"), QStringLiteral("a.kelda")},
            {QStringLiteral("dump")},
            {QStringLiteral("dump"), QStringLiteral("--bogus"), QStringLiteral("a.kelda")},
            {QStringLiteral("load"), QStringLiteral("t.json")},
            // Both whole pages at once, or a page asked for one command only.
            {QStringLiteral("help"), QStringLiteral("--man"), QStringLiteral("--bash-completion")},
            {QStringLiteral("help"), QStringLiteral("compile"), QStringLiteral("--man")},
            {QStringLiteral("help"), QStringLiteral("compile"), QStringLiteral("--bash-completion")},
        };
        for (const QStringList &args : wrong) {
            r = runCli(args);
            QVERIFY2(r.exitCode == 2, qPrintable(args.join(' ')));
            QVERIFY2(r.err.contains("usage:"), qPrintable(args.join(' ')));
            QVERIFY(r.out.isEmpty());
        }
    }

    void compileIsTheEditorsImage()
    {
        const QString setup = richSetup(QStringLiteral("rich.kelda"), true);
        QVERIFY(!setup.isEmpty());
        const QString out = path(QStringLiteral("rich.bin"));
        // Errors stop a compile unless --force; then they are printed and the image written.
        CliRun r = runCli({QStringLiteral("compile"), setup, QStringLiteral("-o"), out});
        QCOMPARE(r.exitCode, 1);
        QVERIFY(!QFileInfo::exists(out));
        r = runCli({QStringLiteral("compile"), setup, QStringLiteral("-o"), out, QStringLiteral("--force")});
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.err.startsWith("error entry-unset Events 1 ") && r.err.contains("--force"), r.err.constData());

        PMModel model;
        QVERIFY(model.openSetup(setup));
        QVERIFY(model.writeRawImage(path(QStringLiteral("editor.bin"))));
        const QByteArray image = readFile(out);
        QCOMPARE(image, readFile(path(QStringLiteral("editor.bin"))));
        QVERIFY(image.size() > 54);
    }

    void compileFailures()
    {
        CliRun r = runCli({QStringLiteral("compile"), path(QStringLiteral("missing.kelda")), QStringLiteral("-o"),
                           path(QStringLiteral("x.bin"))});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(isFailureLine(r.err), r.err.constData());
        QVERIFY(r.err.contains("missing.kelda"));

        const QString junk = path(QStringLiteral("junk.kelda"));
        QVERIFY(writeFile(junk, "this is not a setup file"));
        r = runCli({QStringLiteral("compile"), junk, QStringLiteral("-o"), path(QStringLiteral("x.bin"))});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(isFailureLine(r.err), r.err.constData());

        // A setup that cannot be represented: the reason, and no image.
        PMModel model;
        QVERIFY(addRawItems(model.session(), ItemType::State, 300));
        QVERIFY(model.saveSetup(path(QStringLiteral("huge.kelda"))));
        const QString out = path(QStringLiteral("huge.bin"));
        r = runCli({QStringLiteral("compile"), path(QStringLiteral("huge.kelda")), QStringLiteral("-o"), out,
                    QStringLiteral("--force")});
        QCOMPARE(r.exitCode, 1);
        r.err = r.err.mid(r.err.lastIndexOf("kelda-cli: "));  // after the findings --force let through
        QVERIFY2(isFailureLine(r.err) && r.err.contains("states") && r.err.contains("300") && r.err.contains("255"),
                 r.err.constData());
        QVERIFY(!QFile::exists(out));
    }

    void exportCommand()
    {
        const QString setup = richSetup(QStringLiteral("pump.kelda"));
        QDir(m_dir.path()).mkdir(QStringLiteral("cal"));
        const QString cal = path(QStringLiteral("cal/pump.cal"));
        QVERIFY(writeFile(cal, QByteArray(1000, '\x5a')));

        const CliRun r = runCli({QStringLiteral("export"), setup, cal});
        QCOMPARE(r.exitCode, 0);
        const QByteArray image = readFile(path(QStringLiteral("cal/LX2Raw.bin")));
        QVERIFY(image.size() > 54);
        const QByteArray bytes = readFile(cal);
        QCOMPARE(bytes.size(), 1000);
        QCOMPARE(bytes.left(88), QByteArray(88, '\x5a'));
        QCOMPARE(bytes.mid(88, 8), QByteArray("pump.kel"));
        QCOMPARE(bytes.mid(96, image.size()), image);
        QCOMPARE(bytes.mid(96 + image.size()), QByteArray(1000 - 96 - image.size(), '\x5a'));

        // Refused (the setup check finds 300 states): exit 1 and the calibration file untouched.
        const CliRun bad = runCli({QStringLiteral("export"), path(QStringLiteral("huge.kelda")), cal});
        QCOMPARE(bad.exitCode, 1);
        QVERIFY2(bad.err.startsWith("error too-many States ")
                     && isFailureLine(bad.err.mid(bad.err.lastIndexOf("kelda-cli: "))),
                 bad.err.constData());
        QCOMPARE(readFile(cal), bytes);
    }

    void dumpLoadRoundTrip()
    {
        const QString setup = richSetup(QStringLiteral("round.kelda"));
        CliRun r = runCli({QStringLiteral("dump"), setup});
        QCOMPARE(r.exitCode, 0);
        QJsonParseError pe;
        const QJsonDocument doc = QJsonDocument::fromJson(r.out, &pe);
        QCOMPARE(pe.error, QJsonParseError::NoError);
        QCOMPARE(doc.object().value(QLatin1String("format")).toString(), QStringLiteral("kelda-setup-tree"));
        QCOMPARE(doc.object().value(QLatin1String("version")).toInt(), 1);
        const QJsonArray items = doc.object().value(QLatin1String("items")).toArray();
        QCOMPARE(items.size(), 1);
        QCOMPARE(items.at(0).toObject().value(QLatin1String("type")).toInt(), 27);

        const QByteArray text = r.out;
        QVERIFY(text.contains("\"Z\xc3\xbc"
                              "ndung \xc2\xb0\""));  // Latin-1 name as its characters
        QVERIFY(text.contains("\"type\": 112"));  // reference records are items
        QVERIFY(text.contains("\"1063\": ["));

        // The PWM module's reference record: type 112 with target type and name.
        const QJsonArray setupChildren = items.at(0).toObject().value(QLatin1String("children")).toArray();
        int modules = 0;
        bool foundPwm = false;
        for (const QJsonValue &v : setupChildren) {
            const QJsonObject o = v.toObject();
            if (o.value(QLatin1String("type")).toInt() != 230)
                continue;
            if (modules++ == 2) {
                const QJsonObject ref = o.value(QLatin1String("children")).toArray().at(0).toObject();
                QCOMPARE(ref.value(QLatin1String("type")).toInt(), 112);
                const QJsonObject vals = ref.value(QLatin1String("values")).toObject();
                QCOMPARE(vals.value(QLatin1String("1024")).toInt(), 100);
                QCOMPARE(vals.value(QLatin1String("1002")).toString(), QStringLiteral("CAN Input 1"));
                foundPwm = true;
            }
        }
        QCOMPARE(modules, 8);
        QVERIFY(foundPwm);

        const QString json = path(QStringLiteral("round.json"));
        QVERIFY(writeFile(json, text));
        const QString loaded = path(QStringLiteral("loaded.kelda"));
        r = runCli({QStringLiteral("load"), json, QStringLiteral("-o"), loaded});
        QCOMPARE(r.exitCode, 0);
        r = runCli({QStringLiteral("dump"), loaded});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, text);

        // The loaded file is the same setup: references resolve, same image.
        PMModel a, b;
        QVERIFY(a.openSetup(setup));
        QVERIFY(b.openSetup(loaded));
        QVERIFY(a.writeRawImage(path(QStringLiteral("a.bin"))));
        QVERIFY(b.writeRawImage(path(QStringLiteral("b.bin"))));
        QCOMPARE(readFile(path(QStringLiteral("b.bin"))), readFile(path(QStringLiteral("a.bin"))));
        b.setMode(int(Mode::Pwm));
        QCOMPARE(b.data(b.index(2, 1)).toString(), QStringLiteral("CAN Input 1"));
    }

    void dumpFailures()
    {
        const CliRun r = runCli({QStringLiteral("dump"), path(QStringLiteral("nothing.kelda"))});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(isFailureLine(r.err), r.err.constData());
        QVERIFY(r.out.isEmpty());
    }

    void loadRejections_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QByteArray>("where");
        const QByteArray head = "{\"format\":\"kelda-setup-tree\",\"version\":1,\"items\":[{\"type\":27,\"children\":[";
        const QByteArray tail = "]}]}";
        auto item = [&](const QByteArray &values) {
            return head + "{\"type\":219},{\"type\":219,\"values\":{" + values + "}}" + tail;
        };
        QTest::newRow("malformed") << QByteArray("{\"format\": \"kelda-setup-tree\",\n \"items\": [")
                                   << QByteArray("line 2");
        QTest::newRow("not an object") << QByteArray("[1, 2]") << QByteArray("$");
        QTest::newRow("format") << QByteArray("{\"format\":\"other\",\"version\":1,\"items\":[]}")
                                << QByteArray("$.format");
        QTest::newRow("no format") << QByteArray("{\"version\":1,\"items\":[]}") << QByteArray("$.format");
        QTest::newRow("version") << QByteArray("{\"format\":\"kelda-setup-tree\",\"version\":2,\"items\":[]}")
                                 << QByteArray("$.version");
        QTest::newRow("items kind") << QByteArray("{\"format\":\"kelda-setup-tree\",\"version\":1,\"items\":{}}")
                                    << QByteArray("$.items");
        QTest::newRow("type kind") << head + "{\"type\":\"timer\"}" + tail << QByteArray("$.items[0].children[0].type");
        QTest::newRow("type range") << head + "{\"type\":70000}" + tail << QByteArray("$.items[0].children[0].type");
        QTest::newRow("unknown member") << head + "{\"type\":219,\"colour\":1}" + tail
                                        << QByteArray("$.items[0].children[0].colour");
        QTest::newRow("unknown value id") << item("\"1234\":1") << QByteArray("$.items[0].children[1].values.1234");
        QTest::newRow("value id not a number")
            << item("\"name\":1") << QByteArray("$.items[0].children[1].values.name");
        // Only the form dump writes names an id, so no two keys can be the same id.
        QTest::newRow("value id with a leading zero") << item("\"01067\":1") << QByteArray("values.01067");
        QTest::newRow("value id with a sign") << item("\"+1067\":1") << QByteArray("values.+1067");
        QTest::newRow("value id with a space") << item("\" 1067\":1") << QByteArray("values. 1067");
        QTest::newRow("value id with a trailing space") << item("\"1067 \":1") << QByteArray("values.1067 ");
        QTest::newRow("u16 kind") << item("\"1067\":\"100\"") << QByteArray("values.1067");
        QTest::newRow("u16 range") << item("\"1067\":65536") << QByteArray("values.1067");
        QTest::newRow("u16 negative") << item("\"1089\":-1") << QByteArray("values.1089");
        QTest::newRow("u16 fraction") << item("\"1089\":1.5") << QByteArray("values.1089");
        QTest::newRow("u8 range") << item("\"1090\":256") << QByteArray("values.1090");
        QTest::newRow("text kind") << item("\"1002\":5") << QByteArray("values.1002");
        QTest::newRow("not Latin-1") << item("\"1002\":\"Timer \\u20ac\"") << QByteArray("values.1002");
        QTest::newRow("zero in text") << item("\"1002\":\"a\\u0000b\"") << QByteArray("values.1002");
        QTest::newRow("mask length") << item("\"1063\":[1,2,3,4,5,6,7]") << QByteArray("values.1063");
        QTest::newRow("mask kind") << item("\"1063\":5") << QByteArray("values.1063");
        QTest::newRow("mask byte") << item("\"1063\":[0,0,0,300,0,0,0,0]") << QByteArray("values.1063[3]");
        // A member given twice would keep only the last: refused, wherever it is.
        QTest::newRow("value given twice") << item("\"1002\":\"a\",\"1067\":1,\"1002\":\"b\"")
                                           << QByteArray("$.items[0].children[1].values.1002: given twice");
        QTest::newRow("value given twice, once escaped")
            << item("\"1067\":1,\"10\\u00367\":2") << QByteArray("$.items[0].children[1].values.1067: given twice");
        QTest::newRow("type given twice")
            << head + "{\"type\":219,\"type\":220}" + tail << QByteArray("$.items[0].children[0].type: given twice");
        QTest::newRow("version given twice")
            << QByteArray("{\"format\":\"kelda-setup-tree\",\"version\":1,\"items\":[],\"version\":1}")
            << QByteArray("$.version: given twice");
        QTest::newRow("children kind") << head + "{\"type\":219,\"children\":3}" + tail
                                       << QByteArray("$.items[0].children[0].children");
    }

    void loadRejections()
    {
        QFETCH(QByteArray, json);
        QFETCH(QByteArray, where);
        const QString in = path(QStringLiteral("bad.json"));
        QVERIFY(writeFile(in, json));
        const QString out = path(QStringLiteral("bad.kelda"));
        QFile::remove(out);
        const CliRun r = runCli({QStringLiteral("load"), in, QStringLiteral("-o"), out});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(isFailureLine(r.err), r.err.constData());
        QVERIFY2(r.err.contains(where), r.err.constData());
        QVERIFY(!QFile::exists(out));
    }

    // Standard input read from the very file the output names (`load - -o
    // t.json < t.json`) is an input like any other: refused, the file kept.
    void standardInputFromTheOutputIsRefused()
    {
        const QByteArray tree = "{\"format\":\"kelda-setup-tree\",\"version\":1,\"items\":[{\"type\":27}]}";
        const QByteArray script = "tick\n";
        QVERIFY(writeFile(path(QStringLiteral("in.json")), tree) && writeFile(path(QStringLiteral("in.csv")), script));
        const QString setup = richSetup(QStringLiteral("stdin.kelda"));
        QVERIFY(!setup.isEmpty());
        const auto runFrom = [](const QString &input, const QStringList &args) {
            QProcess p;
            p.setStandardInputFile(input);
            p.start(cliProgram(), args);
            return finishCli(p);
        };
        const struct {
            QString input;
            QStringList args;
            QString err;
        } cases[] = {
            {path(QStringLiteral("in.json")),
             {"load", "-", "-o", path(QStringLiteral("in.json"))},
             QStringLiteral("kelda-cli: cannot write %1: it is standard input, the tree being loaded\n")
                 .arg(path(QStringLiteral("in.json")))},
            {path(QStringLiteral("in.csv")),
             {"simulate", setup, "--script", "-", "--trace", path(QStringLiteral("in.csv"))},
             QStringLiteral("kelda-cli: cannot write %1: it is standard input, an input\n")
                 .arg(path(QStringLiteral("in.csv")))},
        };
        for (const auto &c : cases) {
            const CliRun r = runFrom(c.input, c.args);
            QCOMPARE(r.exitCode, 1);
            QCOMPARE(QString::fromUtf8(r.err), c.err);
        }
        QCOMPARE(readFile(path(QStringLiteral("in.json"))), tree);
        QCOMPARE(readFile(path(QStringLiteral("in.csv"))), script);
        // From another file it loads as before.
        const CliRun ok =
            runFrom(path(QStringLiteral("in.json")), {"load", "-", "-o", path(QStringLiteral("from.kelda"))});
        QCOMPARE(ok.exitCode, 0);
    }

    void loadAcceptsTheLimits()
    {
        const QByteArray json =
            "{\"format\":\"kelda-setup-tree\",\"version\":1,\"items\":[{\"type\":27,\"children\":["
            "{\"type\":220,\"values\":{\"1002\":\"\\u00ff\",\"1089\":65535,\"1063\":[255,0,0,0,0,0,0,1]}},"
            "{\"type\":100,\"values\":{\"1090\":255,\"6045\":0}}]}]}";
        const QString in = path(QStringLiteral("limits.json"));
        QVERIFY(writeFile(in, json));
        const QString out = path(QStringLiteral("limits.kelda"));
        CliRun r = runCli({QStringLiteral("load"), in, QStringLiteral("-o"), out});
        QCOMPARE(r.exitCode, 0);
        r = runCli({QStringLiteral("dump"), out});
        QCOMPARE(r.exitCode, 0);
        const QJsonObject lx1 = QJsonDocument::fromJson(r.out)
                                    .object()
                                    .value(QLatin1String("items"))
                                    .toArray()
                                    .at(0)
                                    .toObject()
                                    .value(QLatin1String("children"))
                                    .toArray()
                                    .at(1)
                                    .toObject();
        // Store order: children grouped by ascending type, CAN inputs (100) first.
        QCOMPARE(lx1.value(QLatin1String("type")).toInt(), 220);
        const QJsonObject v = lx1.value(QLatin1String("values")).toObject();
        QCOMPARE(v.value(QLatin1String("1002")).toString(), QStringLiteral("\u00ff"));
        QCOMPARE(v.value(QLatin1String("1089")).toInt(), 65535);
        QCOMPARE(v.value(QLatin1String("1063")).toArray(), (QJsonArray{255, 0, 0, 0, 0, 0, 0, 1}));
    }

    // On a full disk every command fails with the system's reason and leaves
    // each existing file byte for byte, with no temporary file beside it; so
    // does a folder that is gone, or (unless running as root, whom permission
    // bits do not stop) a read-only one.
    void fullDiskKeepsEveryFile()
    {
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("full")));
        const QString setup = richSetup(QStringLiteral("full/pump.kelda"));
        QVERIFY(!setup.isEmpty());
        const QString cal = path(QStringLiteral("full/pump.cal"));
        const QString image = path(QStringLiteral("full/pump.bin"));
        const QString tree = path(QStringLiteral("full/tree.json"));
        const QString loaded = path(QStringLiteral("full/loaded.kelda"));
        QVERIFY(writeFile(cal, QByteArray(1000, '\x5a')));
        QVERIFY(writeFile(image, "the previous image"));
        QVERIFY(writeFile(loaded, "the previous setup"));
        const CliRun dumped = runCli({QStringLiteral("dump"), setup});
        QCOMPARE(dumped.exitCode, 0);
        QVERIFY(writeFile(tree, dumped.out));
        const QStringList before = QDir(path(QStringLiteral("full"))).entryList(QDir::Files | QDir::Hidden);
        const QByteArray tooLarge = QByteArray(std::strerror(EFBIG));

        const QList<std::pair<QStringList, QString>> commands = {
            {{QStringLiteral("export"), setup, cal}, cal},
            {{QStringLiteral("compile"), setup, QStringLiteral("-o"), image}, image},
            {{QStringLiteral("load"), tree, QStringLiteral("-o"), loaded}, loaded},
        };
        for (const auto &[args, kept] : commands) {
            const QByteArray previous = readFile(kept);
            const CliRun r = runCliWith(args, {}, 40);
            QCOMPARE(r.exitCode, 1);
            QVERIFY2(isFailureLine(r.err) && r.err.contains(tooLarge), r.err.constData());
            QCOMPARE(readFile(kept), previous);
        }
        QCOMPARE(QDir(path(QStringLiteral("full"))).entryList(QDir::Files | QDir::Hidden), before);
        // Room for the image but not for the calibration: LX2Raw.bin is
        // written, the calibration stays.
        CliRun r = runCliWith({QStringLiteral("export"), setup, cal}, {}, 512);
        QCOMPARE(r.exitCode, 1);
        QVERIFY(QFileInfo(path(QStringLiteral("full/LX2Raw.bin"))).size() > 54);
        QCOMPARE(readFile(cal), QByteArray(1000, '\x5a'));

        r = runCli({QStringLiteral("export"), setup, path(QStringLiteral("gone/pump.cal"))});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(isFailureLine(r.err) && r.err.contains("/gone does not exist"), r.err.constData());
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("gone"))));

        if (::geteuid() != 0) {
            QVERIFY(QFile::setPermissions(path(QStringLiteral("full")), QFile::ReadOwner | QFile::ExeOwner));
            r = runCli({QStringLiteral("export"), setup, cal});
            QFile::setPermissions(path(QStringLiteral("full")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            QCOMPARE(r.exitCode, 1);
            QVERIFY2(isFailureLine(r.err) && r.err.contains(std::strerror(EACCES)), r.err.constData());
            QCOMPARE(readFile(cal), QByteArray(1000, '\x5a'));
        }
        r = runCli({QStringLiteral("export"), setup, cal});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(readFile(cal).mid(88, 8), QByteArray("pump.kel"));
    }

    // The same on a real file system that fills up: a small tmpfs, mounted in
    // a mount namespace of this test's own so that nothing outside sees it and
    // it goes with the process. Full, every command fails with "No space left
    // on device" and keeps every file; with room for LX2Raw.bin only, export
    // writes that and keeps the calibration as it was, never an empty one.
    void noSpaceLeftKeepsEveryFile()
    {
        if (::unshare(CLONE_NEWNS) != 0)
            QSKIP("a private mount needs CAP_SYS_ADMIN; fullDiskKeepsEveryFile covers the same writes");
        QCOMPARE(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
        const QString disk = path(QStringLiteral("tmpfs"));
        QVERIFY(QDir().mkpath(disk));
        const QByteArray diskName = QFile::encodeName(disk);
        QVERIFY2(::mount("tmpfs", diskName.constData(), "tmpfs", 0, "size=256k") == 0, std::strerror(errno));
        const auto unmount = qScopeGuard([&] { ::umount2(diskName.constData(), MNT_DETACH); });

        const QString setup = richSetup(QStringLiteral("nospace.kelda"));
        QVERIFY(!setup.isEmpty());
        const QString tree = path(QStringLiteral("nospace.json"));
        QVERIFY(writeFile(tree, runCli({QStringLiteral("dump"), setup}).out));
        const QString cal = disk + QStringLiteral("/pump.cal");
        const QString image = disk + QStringLiteral("/pump.bin");
        const QString loaded = disk + QStringLiteral("/loaded.kelda");
        QVERIFY(writeFile(cal, QByteArray(1000, '\x5a')));
        QVERIFY(writeFile(image, "the previous image"));
        QVERIFY(writeFile(loaded, "the previous setup"));

        // Every block taken, then exactly one given back.
        const QString filler = disk + QStringLiteral("/filler");
        QFile fill(filler);
        QVERIFY(fill.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        const QByteArray block(4096, 'f');
        while (fill.write(block) == block.size()) { }
        fill.close();
        struct statvfs fs { };
        QCOMPARE(::statvfs(diskName.constData(), &fs), 0);
        QCOMPARE(fs.f_bavail, fsblkcnt_t(0));
        const QStringList before = QDir(disk).entryList(QDir::Files | QDir::Hidden);
        const QByteArray noSpace(std::strerror(ENOSPC));

        const QList<std::pair<QStringList, QString>> commands = {
            {{QStringLiteral("export"), setup, cal}, cal},
            {{QStringLiteral("compile"), setup, QStringLiteral("-o"), image}, image},
            {{QStringLiteral("load"), tree, QStringLiteral("-o"), loaded}, loaded},
        };
        for (const auto &[args, kept] : commands) {
            const QByteArray previous = readFile(kept);
            const CliRun r = runCli(args);
            QVERIFY2(r.exitCode == 1 && isFailureLine(r.err) && r.err.contains(noSpace),
                     qPrintable(args.first() + ": " + r.err));
            QCOMPARE(readFile(kept), previous);
        }
        QCOMPARE(QDir(disk).entryList(QDir::Files | QDir::Hidden), before);

        QVERIFY(QFile::resize(filler, QFileInfo(filler).size() - qint64(fs.f_frsize)));
        QCOMPARE(::statvfs(diskName.constData(), &fs), 0);
        QCOMPARE(fs.f_bavail, fsblkcnt_t(1));
        CliRun r = runCli({QStringLiteral("export"), setup, cal});
        QVERIFY2(r.exitCode == 1 && isFailureLine(r.err) && r.err.contains(noSpace) && r.err.contains("pump.cal"),
                 r.err.constData());
        QVERIFY(QFileInfo(disk + QStringLiteral("/LX2Raw.bin")).size() > 54);
        QCOMPARE(readFile(cal), QByteArray(1000, '\x5a'));

        QVERIFY(QFile::remove(filler));
        r = runCli({QStringLiteral("export"), setup, cal});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QCOMPARE(readFile(cal).mid(88, 8), QByteArray("nospace."));
    }

    // An output that is one of the command's inputs, by any spelling or link,
    // is refused before anything is written.
    void outputThatIsAnInputIsRefused()
    {
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("clash/beside")));
        const QString setup = richSetup(QStringLiteral("clash/s.kelda"));
        QVERIFY(!setup.isEmpty());
        const QByteArray original = readFile(setup);
        const QString link = path(QStringLiteral("clash/link.kelda"));
        QVERIFY(QFile::link(setup, link));
        const QString tree = path(QStringLiteral("clash/t.json"));
        QVERIFY(writeFile(tree, runCli({QStringLiteral("dump"), setup}).out));
        const QByteArray treeBytes = readFile(tree);
        // LX2Raw.bin beside this calibration file is the setup itself.
        QVERIFY(QFile::link(setup, path(QStringLiteral("clash/beside/LX2Raw.bin"))));

        const QList<QStringList> refused = {
            {QStringLiteral("compile"), setup, QStringLiteral("-o"), setup},
            {QStringLiteral("compile"), setup, QStringLiteral("-o"), link},
            {QStringLiteral("compile"), link, QStringLiteral("-o"), path(QStringLiteral("clash/../clash/s.kelda"))},
            {QStringLiteral("export"), setup, setup},
            {QStringLiteral("export"), setup, link},
            {QStringLiteral("export"), setup, path(QStringLiteral("clash/LX2Raw.bin"))},
            {QStringLiteral("export"), setup, path(QStringLiteral("clash/beside/c.cal"))},
            {QStringLiteral("load"), tree, QStringLiteral("-o"), tree},
        };
        for (const QStringList &args : refused) {
            const CliRun r = runCli(args);
            QVERIFY2(r.exitCode == 1 && isFailureLine(r.err), qPrintable(args.join(' ') + ": " + r.err));
            QCOMPARE(readFile(setup), original);
            QCOMPARE(readFile(tree), treeBytes);
            QVERIFY2(!QFileInfo::exists(path(QStringLiteral("clash/LX2Raw.bin"))), qPrintable(args.join(' ')));
            QVERIFY(!QFileInfo::exists(path(QStringLiteral("clash/beside/c.cal"))));
        }
        QVERIFY(QFileInfo(path(QStringLiteral("clash/beside/LX2Raw.bin"))).isSymLink());
    }

    // Inputs are regular files or standard input, at most 64 MiB: a device,
    // a pipe without a writer or a folder is refused at once, and whatever
    // the reader opens, dump lists.
    void inputsAreBounded()
    {
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("inputs")));
        const QString setup = richSetup(QStringLiteral("inputs/s.kelda"));
        const QString fifo = path(QStringLiteral("inputs/pipe"));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        const QString big = path(QStringLiteral("inputs/big.json"));
        {
            QFile f(big);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.resize(64 * 1024 * 1024 + 1));  // sparse
        }
        const QString out = path(QStringLiteral("inputs/out.kelda"));
        const QList<std::pair<QString, QByteArray>> inputs = {
            {QStringLiteral("/dev/zero"), "not a regular file"},
            {fifo, "not a regular file"},
            {path(QStringLiteral("inputs")), "folder"},
            {big, "larger than 64 MiB"},
        };
        for (const auto &[input, why] : inputs) {
            for (const QStringList &args :
                 {QStringList{QStringLiteral("load"), input, QStringLiteral("-o"), out},
                  QStringList{QStringLiteral("simulate"), setup, QStringLiteral("--script"), input}}) {
                const CliRun r = runCli(args);
                QVERIFY2(r.exitCode == 1 && isFailureLine(r.err) && r.err.contains(why),
                         qPrintable(args.join(' ') + ": " + r.err));
                QVERIFY(r.out.isEmpty());
            }
        }
        QVERIFY(!QFileInfo::exists(out));

        // Standard input is read when the file name is "-".
        const QByteArray json = runCli({QStringLiteral("dump"), setup}).out;
        CliRun r = runCliWith({QStringLiteral("load"), QStringLiteral("-"), QStringLiteral("-o"), out}, json);
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(runCli({QStringLiteral("dump"), out}).out, json);
        r = runCliWith({QStringLiteral("simulate"), setup, QStringLiteral("--script"), QStringLiteral("-")},
                       "tick 3\nshow\n");
        QCOMPARE(r.exitCode, 0);
        QVERIFY(r.out.startsWith("tick 3\n"));

        // The most child types an item holds: opened, and listed.
        StoreSession wide = nullptr;
        QVERIFY(STRATA_NewSession(&wide));
        for (uint32_t type = 1; type <= 0xFFFF; ++type)
            QVERIFY(STRATA_InsertItemBlocks(uint16_t(type), 1, wide));
        const QString wideFile = path(QStringLiteral("inputs/wide.kelda"));
        QVERIFY(STRATA_SaveSession(wideFile.toLatin1().constData(), wide));
        STRATA_CloseSession(wide);
        r = runCli({QStringLiteral("dump"), wideFile});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QCOMPARE(QJsonDocument::fromJson(r.out).object().value(QLatin1String("items")).toArray().size(), 0xFFFF);
    }

    // Output folders and files are checked before any work, and the failure
    // says why in the words the user typed: no absolute path, no temporary
    // name, one prefix.
    void outputsAreCheckedFirst()
    {
        const QString folder = path(QStringLiteral("first"));
        QVERIFY(QDir().mkpath(folder + QStringLiteral("/sub")));
        QVERIFY(!richSetup(QStringLiteral("first/s.kelda")).isEmpty());
        QVERIFY(writeFile(folder + QStringLiteral("/t.json"),
                          runCli({QStringLiteral("dump"), path(QStringLiteral("first/s.kelda"))}).out));
        QVERIFY(writeFile(folder + QStringLiteral("/run.txt"), "show\n"));
        QVERIFY(writeFile(folder + QStringLiteral("/a.scenario"), "setup s.kelda\nshow\n"));
        const Setting in(folder);
        const QString s = QStringLiteral("s.kelda");
        const QList<QStringList> commands = {
            {QStringLiteral("compile"), s, QStringLiteral("-o"), QStringLiteral("OUT.bin")},
            {QStringLiteral("load"), QStringLiteral("t.json"), QStringLiteral("-o"), QStringLiteral("OUT.kelda")},
            {QStringLiteral("export"), s, QStringLiteral("OUT.cal")},
            {QStringLiteral("dbc"), s, QStringLiteral("-o"), QStringLiteral("OUT.dbc")},
            {QStringLiteral("report"), s, QStringLiteral("-o"), QStringLiteral("OUT.html")},
            {QStringLiteral("simulate"), s, QStringLiteral("--script"), QStringLiteral("run.txt"),
             QStringLiteral("--trace"), QStringLiteral("OUT.csv")},
            {QStringLiteral("simulate"), s, QStringLiteral("--script"), QStringLiteral("run.txt"),
             QStringLiteral("--plot"), QStringLiteral("OUT.svg")},
            {QStringLiteral("test"), QStringLiteral("a.scenario"), QStringLiteral("--junit"),
             QStringLiteral("OUT.xml")},
        };
        // The written path in place of OUT, and the reason expected.
        const QList<std::pair<QString, QString>> cases = {
            {QStringLiteral("nodir/x"), QStringLiteral("the folder nodir does not exist")},
            {QStringLiteral("s.kelda/x"), QStringLiteral("s.kelda is not a folder")},
        };
        for (const QStringList &args : commands) {
            for (const auto &[stem, why] : cases) {
                const int at = int(std::find_if(args.cbegin(), args.cend(),
                                                [](const QString &w) { return w.startsWith(QLatin1String("OUT.")); })
                                   - args.cbegin());
                QStringList typed = args;
                typed[at] = stem + args.at(at).mid(3);
                const CliRun r = runAs(in, typed);
                const QByteArray expected =
                    QStringLiteral("kelda-cli: cannot write %1: %2\n").arg(typed.at(at), why).toUtf8();
                QVERIFY2(r.exitCode == 1 && r.err == expected, qPrintable(typed.join(' ') + ": " + r.err));
                QVERIFY2(r.out.isEmpty(), qPrintable(typed.join(' ')));  // nothing ran
            }
        }
        CliRun r = runAs(in, {QStringLiteral("compile"), s, QStringLiteral("-o"), QStringLiteral("sub")});
        QCOMPARE(r.err, QByteArray("kelda-cli: cannot write sub: it is a folder\n"));
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size(), 5);

        // A read-only folder (root passes permission bits, not a read-only mount).
        if (::unshare(CLONE_NEWNS) != 0)
            QSKIP("a read-only mount needs CAP_SYS_ADMIN");
        QCOMPARE(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
        const QByteArray sub = QFile::encodeName(folder + QStringLiteral("/sub"));
        QCOMPARE(::mount(sub.constData(), sub.constData(), nullptr, MS_BIND, nullptr), 0);
        const auto unmount = qScopeGuard([&] { ::umount2(sub.constData(), MNT_DETACH); });
        QCOMPARE(::mount(nullptr, sub.constData(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
        r = runAs(in, {QStringLiteral("compile"), s, QStringLiteral("-o"), QStringLiteral("sub/x.bin")});
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(r.err,
                 QStringLiteral("kelda-cli: cannot write sub/x.bin: the folder sub cannot be written: %1\n")
                     .arg(QString::fromLocal8Bit(std::strerror(EROFS)))
                     .toUtf8());
    }

    // A file size limit does not kill kelda-cli: the write fails with the
    // system's "File too large", the old file stays and no temporary file is
    // left, in the folder or in TMPDIR.
    void fileTooLargeIsAFailedWrite()
    {
        const QString folder = path(QStringLiteral("efbig"));
        const QString tmp = path(QStringLiteral("efbig-tmp"));
        QVERIFY(QDir().mkpath(folder) && QDir().mkpath(tmp));
        QVERIFY(!richSetup(QStringLiteral("efbig/s.kelda")).isEmpty());
        QVERIFY(writeFile(folder + QStringLiteral("/old.bin"), "old"));
        QVERIFY(writeFile(folder + QStringLiteral("/run.txt"), "tick 5\n"));
        const QStringList before = QDir(folder).entryList(QDir::Files | QDir::Hidden);
        const Setting limited(folder, 40, {}, tmp);
        const QByteArray tooLarge = QByteArray("File too large");
        QCOMPARE(QByteArray(std::strerror(EFBIG)), tooLarge);
        for (const QStringList &args :
             {QStringList{QStringLiteral("compile"), QStringLiteral("s.kelda"), QStringLiteral("-o"),
                          QStringLiteral("old.bin")},
              QStringList{QStringLiteral("simulate"), QStringLiteral("s.kelda"), QStringLiteral("--script"),
                          QStringLiteral("run.txt"), QStringLiteral("--trace"), QStringLiteral("old.bin.vcd")},
              QStringList{QStringLiteral("dbc"), QStringLiteral("s.kelda"), QStringLiteral("-o"),
                          QStringLiteral("old.bin")}}) {
            const CliRun r = runAs(limited, args);
            QVERIFY2(r.exitCode == 1 && isFailureLine(r.err) && r.err.startsWith("kelda-cli: cannot write old.bin")
                         && r.err.endsWith(": " + tooLarge + "\n"),
                     qPrintable(args.join(' ') + ": " + r.err));
        }
        QCOMPARE(readFile(folder + QStringLiteral("/old.bin")), QByteArray("old"));
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), before);
        QCOMPARE(QDir(tmp).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());

        // With TMPDIR gone, simulate still runs: the image is compiled in memory.
        const CliRun r = runAs(Setting(folder, -1, {}, path(QStringLiteral("no-such-tmp"))),
                               {QStringLiteral("simulate"), QStringLiteral("s.kelda"), QStringLiteral("--script"),
                                QStringLiteral("run.txt")});
        QVERIFY2(r.exitCode == 0, r.err.constData());
    }

    // Every command fails when what it prints cannot be written: status 1,
    // 2 for diff (whose 1 means "they differ"), 0 for diff --git (git goes on).
    void standardOutputThatCannotBeWritten()
    {
        if (!QFileInfo::exists(QStringLiteral("/dev/full")))
            QSKIP("no /dev/full here");
        const QString a = richSetup(QStringLiteral("full-a.kelda"));
        const QString b = richSetup(QStringLiteral("full-b.kelda"), true);
        const QString script = path(QStringLiteral("full.txt"));
        QVERIFY(writeFile(script, "show\n"));
        const QList<std::pair<QStringList, int>> commands = {
            {{QStringLiteral("check"), a, QStringLiteral("--json")}, 1},
            {{QStringLiteral("check"), b}, 1},
            {{QStringLiteral("show"), a}, 1},
            {{QStringLiteral("dump"), a}, 1},
            {{QStringLiteral("uses"), a, QStringLiteral("Timers"), QStringLiteral("Timer 1")}, 1},
            {{QStringLiteral("simulate"), a, QStringLiteral("--script"), script}, 1},
            {{QStringLiteral("compile"), a, QStringLiteral("-o"), QStringLiteral("-")}, 1},
            {{QStringLiteral("--help")}, 1},
            {{QStringLiteral("diff"), a, a}, 2},
            {{QStringLiteral("diff"), a, b}, 2},
            {{QStringLiteral("diff"), QStringLiteral("--git"), QStringLiteral("p.kelda"), a, QStringLiteral("0"),
              QStringLiteral("100644"), b, QStringLiteral("0"), QStringLiteral("100644")},
             0},
        };
        // Closed, it is not taken by the first file opened: the image is
        // whole, and what show prints is reported as lost.
        const QString image = path(QStringLiteral("closed.bin"));
        CliRun r = runAs(Setting({}, -1, {}, {}, true), {QStringLiteral("compile"), a, QStringLiteral("-o"), image});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QCOMPARE(readFile(image),
                 runCli({QStringLiteral("compile"), a, QStringLiteral("-o"), QStringLiteral("-")}).out);
        r = runAs(Setting({}, -1, {}, {}, true), {QStringLiteral("show"), a});
        QVERIFY2(r.exitCode == 1 && r.err.contains("standard output cannot be written"), r.err.constData());
        for (const auto &[args, status] : commands) {
            const CliRun r = runAs(Setting({}, -1, QStringLiteral("/dev/full")), args);
            QVERIFY2(r.exitCode == status
                         && r.err.endsWith("kelda-cli: standard output cannot be written: "
                                           + QByteArray(std::strerror(ENOSPC)) + "\n"),
                     qPrintable(args.join(' ') + ": " + QString::number(r.exitCode) + " " + r.err));
        }
    }

    // "-o -" is standard output for compile and dbc, and a usage error for
    // every other output: never a file named "-".
    void dashIsStandardOutputOnlyForCompileAndDbc()
    {
        const QString folder = path(QStringLiteral("dash"));
        QVERIFY(QDir().mkpath(folder));
        const QString setup = richSetup(QStringLiteral("dash/s.kelda"));
        QVERIFY(writeFile(folder + QStringLiteral("/run.txt"), "tick\n"));
        QVERIFY(writeFile(folder + QStringLiteral("/t.json"), runCli({QStringLiteral("dump"), setup}).out));
        const Setting in(folder);
        for (const char *command : {"compile", "dbc"}) {
            const QString file = folder + QStringLiteral("/s.") + QLatin1String(command);
            CliRun r = runAs(in, {QLatin1String(command), QStringLiteral("s.kelda"), QStringLiteral("-o"), file});
            QCOMPARE(r.exitCode, 0);
            r = runAs(in,
                      {QLatin1String(command), QStringLiteral("s.kelda"), QStringLiteral("-o"), QStringLiteral("-")});
            QVERIFY2(r.exitCode == 0 && r.err.isEmpty(), r.err.constData());
            QVERIFY(r.out.size() > 54);
            QCOMPARE(r.out, readFile(file));
        }
        const QString s = QStringLiteral("s.kelda");
        const QString dash = QStringLiteral("-");
        const QList<QStringList> refused = {
            {QStringLiteral("load"), QStringLiteral("t.json"), QStringLiteral("-o"), dash},
            {QStringLiteral("report"), s, QStringLiteral("-o"), dash},
            {QStringLiteral("export"), s, dash},
            {QStringLiteral("simulate"), s, QStringLiteral("--script"), QStringLiteral("run.txt"),
             QStringLiteral("--trace"), dash},
            {QStringLiteral("simulate"), s, QStringLiteral("--script"), QStringLiteral("run.txt"),
             QStringLiteral("--plot"), dash},
            {QStringLiteral("test"), s, QStringLiteral("run.txt"), QStringLiteral("--junit"), dash},
            {QStringLiteral("read"), QStringLiteral("--port"), QStringLiteral("nowhere"), QStringLiteral("-o"), dash},
            {QStringLiteral("upload"), s, QStringLiteral("--port"), QStringLiteral("nowhere"),
             QStringLiteral("--backup"), dash},
        };
        for (const QStringList &args : refused) {
            const CliRun r = runAs(in, args);
            QVERIFY2(r.exitCode == 2 && r.err.contains("usage:") && r.out.isEmpty(),
                     qPrintable(args.join(' ') + ": " + r.err));
        }
        QVERIFY(!QFileInfo::exists(folder + QStringLiteral("/-")));
    }

    // What a killed writer left beside a target goes with the next write of
    // that target: its own pattern only, when its process is gone or the file
    // is an hour old. A name as long as the file system allows still writes.
    void staleTemporariesAreRemoved()
    {
        const QString folder = path(QStringLiteral("stale"));
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(!richSetup(QStringLiteral("stale/s.kelda")).isEmpty());
        const QString dead = QString::number(endedProcess());
        const QString alive = QString::number(QCoreApplication::applicationPid());
        const QStringList gone = {QStringLiteral(".x.bin.kelda-%1-a1b2c3").arg(dead),
                                  QStringLiteral(".x.bin.kelda-%1-old123").arg(alive)};
        const QStringList kept = {QStringLiteral(".x.bin.kelda-%1-d4e5f6").arg(alive),
                                  QStringLiteral(".y.bin.kelda-%1-a1b2c3").arg(dead), QStringLiteral(".x.bin.a1b2c3"),
                                  QStringLiteral(".x.bin.kelda-%1-toolong").arg(dead)};
        for (const QString &name : gone + kept)
            QVERIFY(writeFile(folder + QLatin1Char('/') + name, "left behind"));
        const QByteArray old = QFile::encodeName(folder + QLatin1Char('/') + gone.at(1));
        const utimbuf hoursAgo{::time(nullptr) - 7200, ::time(nullptr) - 7200};
        QCOMPARE(::utime(old.constData(), &hoursAgo), 0);

        const Setting in(folder);
        CliRun r = runAs(
            in, {QStringLiteral("compile"), QStringLiteral("s.kelda"), QStringLiteral("-o"), QStringLiteral("x.bin")});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QStringList expected = kept + QStringList{QStringLiteral("s.kelda"), QStringLiteral("x.bin")};
        expected.sort();
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name), expected);

        const long nameMax = ::pathconf(QFile::encodeName(folder).constData(), _PC_NAME_MAX);
        const QString longest = QString(int(nameMax) - 4, QLatin1Char('n')) + QStringLiteral(".bin");
        r = runAs(in, {QStringLiteral("compile"), QStringLiteral("s.kelda"), QStringLiteral("-o"), longest});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QVERIFY(readFile(folder + QLatin1Char('/') + longest).size() > 54);
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden).size(), expected.size() + 1);
    }

    // Two outputs of one run that are the same file, and a word too long to
    // repeat whole.
    void clashingOutputsAndLongWords()
    {
        const QString folder = path(QStringLiteral("clash2"));
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(!richSetup(QStringLiteral("clash2/s.kelda")).isEmpty());
        QVERIFY(writeFile(folder + QStringLiteral("/run.txt"), "tick\n"));
        QVERIFY(QFile::link(QStringLiteral("t.csv"), folder + QStringLiteral("/t.svg")));
        const Setting in(folder);
        CliRun r = runAs(in,
                         {QStringLiteral("simulate"), QStringLiteral("s.kelda"), QStringLiteral("--script"),
                          QStringLiteral("run.txt"), QStringLiteral("--trace"), QStringLiteral("t.csv"),
                          QStringLiteral("--plot"), QStringLiteral("t.svg")});
        QCOMPARE(r.err, QByteArray("kelda-cli: cannot write t.svg: it is t.csv, the trace of the same run\n"));
        QVERIFY(!QFileInfo::exists(folder + QStringLiteral("/t.csv")));

        const QString huge(100000, QLatin1Char('w'));
        QVERIFY(writeFile(folder + QStringLiteral("/bad.txt"), "tick " + huge.toLatin1() + "\n"));
        const QList<QStringList> commands = {
            {QStringLiteral("compile"), QStringLiteral("--") + huge},
            {huge},
            {QStringLiteral("simulate"), QStringLiteral("s.kelda"), QStringLiteral("--script"),
             QStringLiteral("bad.txt")},
            {QStringLiteral("simulate"), QStringLiteral("s.kelda"), QStringLiteral("--script"),
             QStringLiteral("run.txt"), QStringLiteral("--max-ticks"), huge},
        };
        for (const QStringList &args : commands) {
            r = runAs(in, args);
            const QByteArray first = r.err.left(r.err.indexOf('\n'));
            QVERIFY2(r.exitCode > 0 && first.contains("www...") && first.size() < 200, first.left(300).constData());
        }
    }

    // A file name with a newline or an escape sequence still makes one line
    // on standard error, spelt so that the name can be recognised.
    void controlCharactersInNamesKeepOneLine()
    {
        const QString setup = richSetup(QStringLiteral("ctl.kelda"));
        const QList<QPair<QStringList, QByteArray>> runs = {
            {{QStringLiteral("compile"), path(QStringLiteral("no\nsuch.kelda")), QStringLiteral("-o"),
              path(QStringLiteral("x.bin"))},
             "no\\nsuch.kelda: no such file"},
            {{QStringLiteral("compile"), setup, QStringLiteral("-o"), path(QStringLiteral("gone\nby/x.bin"))},
             "gone\\nby/x.bin: the folder "},
            {{QStringLiteral("dump"), path(QStringLiteral("bell\a\x1b[31m.kelda"))}, "bell\\x07\\x1b[31m.kelda"},
            {{QStringLiteral("history"), QStringLiteral("--crc"), QStringLiteral("1\n2")}, "not '1\\n2'"},
        };
        for (const auto &[args, expected] : runs) {
            const CliRun r = runCli(args);
            QVERIFY2(r.exitCode == 1 || r.exitCode == 2, r.err.constData());
            const QByteArray first = r.err.left(r.err.indexOf('\n') + 1);
            QVERIFY2(first.startsWith("kelda-cli: ") && first.contains(expected) && !first.contains('\x1b'),
                     r.err.constData());
            if (r.exitCode == 1)
                QVERIFY2(isFailureLine(r.err), r.err.constData());
            QVERIFY(r.out.isEmpty());
        }
    }

    // --timeout takes what the upload can wait for, and nothing else.
    void timeoutOutOfRange()
    {
        const QString setup = richSetup(QStringLiteral("timeout.kelda"));
        const QString port = path(QStringLiteral("no-such-port"));
        const QList<QStringList> commands = {
            {QStringLiteral("upload"), setup, QStringLiteral("--port"), port},
            {QStringLiteral("read"), QStringLiteral("--port"), port, QStringLiteral("-o"),
             path(QStringLiteral("t.cal"))},
            {QStringLiteral("restore"), setup, QStringLiteral("--port"), port},
            {QStringLiteral("verify"), setup, QStringLiteral("--port"), port},
        };
        for (const QStringList &command : commands) {
            for (const char *bad : {"2147484", "4294968", "-1", "+5", "5s", ""}) {
                const CliRun r = runCli(command + QStringList{QStringLiteral("--timeout"), QLatin1String(bad)});
                QVERIFY2(r.exitCode == 2
                             && r.err.contains("--timeout needs a whole number of seconds from 0 to 2147483"),
                         qPrintable(command.first() + " " + bad + ": " + r.err));
            }
            // The largest is taken: the command gets as far as the missing port.
            const CliRun r = runCli(command + QStringList{QStringLiteral("--timeout"), QStringLiteral("2147483")});
            QVERIFY2(r.exitCode == 1 && isFailureLine(r.err), qPrintable(command.first() + ": " + r.err));
        }
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
