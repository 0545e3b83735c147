// The corla handle classes, the basic mediator and kelda-cli ports/upload,
// against the real library and lx2-emulator.
#include <QCoreApplication>
#include <QDir>
#include <QLocale>
#include <QStandardPaths>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include "clirun.h"
#include "corla_basicecumediator.h"
#include "emulatorprocess.h"
#include "pmmodel.h"
#include "testfiles.h"

using namespace kelda::test;

namespace {

// A concrete mediator that records what the library and the owner asked of it.
class TestMediator : public corla::BasicEcuMediator
{
public:
    ~TestMediator() override { shutdown(); }

    void reserved14(uint32_t &, uint32_t *, uint32_t) override { }
    bool confirmEngineRunning() override { return true; }
    void disconnect() override
    {
        ++disconnects;
        BasicEcuMediator::disconnect();
    }
    void listTwice(const corla::EcuTxn &txn)
    {
        txns_.push_back(txn);
        txns_.push_back(txn);
    }

    int disconnects = 0;
};

struct Finished {
    int code = 0;
    int status = -1;
    bool started = false;
    static void call(void *context, int code, const void *data, int)
    {
        auto *self = static_cast<Finished *>(context);
        if (code == CORLA_TXN_STARTED)
            self->started = true;
        if (code == CORLA_TXN_FINISHED && data) {
            self->code = code;
            self->status = *static_cast<const int *>(data);
        }
    }
    Delegate delegate() { return Delegate{&Finished::call, this, -1, 0}; }
};

struct LiveCounts {
    int ical = CORLA_Debug_LiveObjects(CORLA_KIND_ICAL);
    int rune = CORLA_Debug_LiveObjects(CORLA_KIND_RUNE);
    int txn = CORLA_Debug_LiveObjects(CORLA_KIND_TXN);
    int holder = CORLA_Debug_LiveObjects(CORLA_KIND_HOLDER);
    int string = CORLA_Debug_LiveObjects(CORLA_KIND_STRING);
    int list = CORLA_Debug_LiveObjects(CORLA_KIND_PORTLIST);
    int factory = CORLA_Debug_LiveObjects(CORLA_KIND_FACTORY);
    int bad = CORLA_Debug_BadReleases();
};

#define VERIFY_NO_LEAK(before)                                                                                         \
    do {                                                                                                               \
        QTRY_COMPARE(LiveCounts().ical, (before).ical);                                                                \
        QTRY_COMPARE(LiveCounts().rune, (before).rune);                                                                \
        QTRY_COMPARE(LiveCounts().txn, (before).txn);                                                                  \
        QTRY_COMPARE(LiveCounts().holder, (before).holder);                                                            \
        QTRY_COMPARE(LiveCounts().string, (before).string);                                                            \
        QTRY_COMPARE(LiveCounts().list, (before).list);                                                                \
        QTRY_COMPARE(LiveCounts().factory, (before).factory);                                                          \
        QTRY_COMPARE(LiveCounts().bad, (before).bad);                                                                  \
    } while (false)

}  // namespace

class TestEcuCore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void runeCounting();
    void icalAndTxnCounting();
    void startTxnRefusedLeavesListAlone();
    void txnFinishedDisconnectsOnlyOnFailure();
    void removeTxnListedTwice();
    void portFactoryWithoutPort();
    void connectThroughMediator_data();
    void connectThroughMediator();
    void shutdownMidConnectLeavesNothing();

    void cliPorts();
    void cliUploadSucceeds();
    void cliUploadFailures_data();
    void cliUploadFailures();
    void cliFailureAfterCommit_data();
    void cliFailureAfterCommit();
    void cliReadRestoreVerify();
    void cliRestoreExport();
    void cliIdentityByContent();
    void cliOutputsCheckedFirst();
    void cliPortPaths();
    void cliUsage();

private:
    QString makeSetup(const QString &fileName);
    int runCli(const QStringList &args, QByteArray *out = nullptr, QByteArray *err = nullptr);

    QTemporaryDir dir_;
};

void TestEcuCore::initTestCase()
{
    QLocale::setDefault(QLocale::c());
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(dir_.isValid());
    isolateCorla(dir_.path());
}

void TestEcuCore::init()
{
    setPorts({});
}

void TestEcuCore::runeCounting()
{
    const LiveCounts before;
    {
        corla::Rune rune;
        QVERIFY(!rune.isNull());
        QCOMPARE(CORLA_Debug_RefCount(rune.get()), 1);
        {
            corla::Rune copy(rune);
            QCOMPARE(copy.get(), rune.get());
            QCOMPARE(CORLA_Debug_RefCount(rune.get()), 2);
            copy.set(rune.get());  // the held pointer: no change
            QCOMPARE(CORLA_Debug_RefCount(rune.get()), 2);
            corla::Rune other;
            copy.set(other.get());
            QCOMPARE(CORLA_Debug_RefCount(rune.get()), 1);
            QCOMPARE(CORLA_Debug_RefCount(other.get()), 2);
            copy.set(nullptr);
            QCOMPARE(CORLA_Debug_RefCount(other.get()), 1);
        }
        // A plain holder never counts.
        corla::RuneRef ref(rune.get());
        QCOMPARE(CORLA_Debug_RefCount(rune.get()), 1);
        ref.set(nullptr);
        QCOMPARE(CORLA_Debug_RefCount(rune.get()), 1);

        corla::Rune fromNull(nullptr);
        QVERIFY(fromNull.isNull());
    }
    VERIFY_NO_LEAK(before);
}

void TestEcuCore::icalAndTxnCounting()
{
    const LiveCounts before;
    {
        corla::Ecu ecu(CORLA_Ecu_Create());
        QCOMPARE(CORLA_Debug_RefCount(ecu.get()), 1);
        QVERIFY(!ecu.isConnected());
        corla::Cal cal = ecu.newCalibration();
        QVERIFY(!cal.isNull());
        const int calCount = CORLA_Debug_RefCount(cal.get());
        {
            corla::ICal again = ecu.calibration();
            QCOMPARE(again.get(), cal.get());
            QCOMPARE(CORLA_Debug_RefCount(cal.get()), calCount + 1);
        }
        QCOMPARE(CORLA_Debug_RefCount(cal.get()), calCount);
        QCOMPARE(cal.writeRawData(96, QByteArray("abc")), 0);
        QCOMPARE(cal.readRawData(96, 3), QByteArray("abc"));

        corla::EcuTxnConnect connect;
        QCOMPARE(CORLA_Debug_RefCount(connect.get()), 1);
        std::list<corla::EcuTxn> list{connect, connect};
        QCOMPARE(CORLA_Debug_RefCount(connect.get()), 3);
        list.clear();
        QCOMPARE(CORLA_Debug_RefCount(connect.get()), 1);
        QCOMPARE(connect.name(), QStringLiteral("Connect"));
        QVERIFY(connect.isDisconnectOnFail());

        {
            corla::EcuTxnUploadCal upload(cal);
            QCOMPARE(CORLA_Debug_RefCount(upload.get()), 1);
            QCOMPARE(upload.name(), QStringLiteral("Upload Calibration"));
            QCOMPARE(CORLA_Debug_RefCount(cal.get()), calCount + 1);  // the transaction holds its calibration
        }
        QCOMPARE(CORLA_Debug_RefCount(cal.get()), calCount);
    }
    VERIFY_NO_LEAK(before);
}

void TestEcuCore::startTxnRefusedLeavesListAlone()
{
    const LiveCounts before;
    {
        TestMediator mediator;
        Finished done;
        QVERIFY(!mediator.startTxn(corla::EcuTxn(), done.delegate()));
        QVERIFY(mediator.txns().empty());

        corla::EcuTxnConnect connect;
        QVERIFY(mediator.startTxn(connect, done.delegate()));
        QCOMPARE(mediator.txns().size(), size_t(1));
        // A transaction starts once only.
        QVERIFY(!mediator.startTxn(connect, done.delegate()));
        QCOMPARE(mediator.txns().size(), size_t(1));
        QCOMPARE(mediator.txns().front().get(), connect.get());

        // No port at all: the connect ends with a status, and the list empties.
        QTRY_COMPARE(done.status, int(CORLA_STATUS_NO_PORT));
        QVERIFY(mediator.txns().empty());
    }
    VERIFY_NO_LEAK(before);
}

void TestEcuCore::txnFinishedDisconnectsOnlyOnFailure()
{
    TestMediator mediator;
    corla::EcuTxnConnect connect;
    mediator.listTwice(connect);
    mediator.txnFinished(connect, CORLA_STATUS_OK);
    QCOMPARE(mediator.disconnects, 0);
    QVERIFY(mediator.txns().empty());

    mediator.listTwice(connect);
    mediator.txnFinished(connect, CORLA_STATUS_TIMEOUT);  // connect is disconnect-on-fail
    QCOMPARE(mediator.disconnects, 1);
    QVERIFY(mediator.txns().empty());

    // Not disconnect-on-fail: a failure alone does not disconnect.
    const corla::EcuTxn none;
    QVERIFY(!none.isDisconnectOnFail());
    mediator.txnFinished(none, CORLA_STATUS_TIMEOUT);
    QCOMPARE(mediator.disconnects, 1);
}

void TestEcuCore::removeTxnListedTwice()
{
    TestMediator mediator;
    corla::EcuTxnConnect first;
    corla::EcuTxnConnect second;
    mediator.listTwice(first);
    mediator.listTwice(second);
    QCOMPARE(mediator.txns().size(), size_t(4));
    mediator.removeTxn(first);
    QCOMPARE(mediator.txns().size(), size_t(2));
    for (const corla::EcuTxn &txn : mediator.txns())
        QCOMPARE(txn.get(), second.get());
    mediator.removeTxn(second);
    QVERIFY(mediator.txns().empty());
}

void TestEcuCore::portFactoryWithoutPort()
{
    {
        TestMediator mediator;
        QVERIFY(mediator.portFactory() == nullptr);
    }
    // The default port skips configured ports whose device is missing.
    setPorts({dir_.path() + QStringLiteral("/no-such-device")});
    {
        TestMediator mediator;
        QVERIFY(mediator.portFactory() == nullptr);
    }
    EmulatorProcess emulator;
    QVERIFY(emulator.start({}));
    setPorts({dir_.path() + QStringLiteral("/no-such-device"), emulator.path()});
    {
        TestMediator mediator;
        QVERIFY(mediator.portFactory() != nullptr);
    }
}

void TestEcuCore::connectThroughMediator_data()
{
    QTest::addColumn<QString>("identity");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("runeName");
    QTest::newRow("lx2 30v") << "lx2-30v" << int(CORLA_STATUS_OK) << "LX2";
    QTest::newRow("lx1") << "lx1" << int(CORLA_STATUS_OK) << "LX1";
    QTest::newRow("no rune") << "none" << int(CORLA_STATUS_NO_RUNE) << "";
}

void TestEcuCore::connectThroughMediator()
{
    QFETCH(QString, identity);
    QFETCH(int, status);
    QFETCH(QString, runeName);
    EmulatorProcess emulator;
    QVERIFY(emulator.start({QStringLiteral("--identity"), identity}));
    setPorts({emulator.path()});
    const LiveCounts before;
    {
        TestMediator mediator;
        Finished done;
        corla::EcuTxnConnect connect;
        QVERIFY(mediator.startTxn(connect, done.delegate()));
        QTRY_VERIFY_WITH_TIMEOUT(done.status >= 0, 10000);
        QCOMPARE(done.status, status);
        QVERIFY(mediator.txns().empty());
        const corla::Ecu ecu(mediator.ecu());
        QCOMPARE(ecu.isConnected(), status == CORLA_STATUS_OK);
        if (status == CORLA_STATUS_OK)
            QCOMPARE(ecu.rune().name(), runeName);
        mediator.shutdown();
        QVERIFY(!ecu.isConnected());
    }
    QCoreApplication::processEvents();
    VERIFY_NO_LEAK(before);
}

void TestEcuCore::shutdownMidConnectLeavesNothing()
{
    EmulatorProcess emulator;
    QVERIFY(emulator.start({QStringLiteral("--silent-after"), QStringLiteral("0")}));
    setPorts({emulator.path()});
    const LiveCounts before;
    {
        TestMediator mediator;
        Finished done;
        corla::EcuTxnConnect connect;
        QVERIFY(mediator.startTxn(connect, done.delegate()));
        // Under way: the silent module leaves the connect waiting for a reply.
        QTRY_VERIFY_WITH_TIMEOUT(done.started, 15000);
        mediator.shutdown();
        // Reported before shutdown returns, as aborted.
        QCOMPARE(done.status, int(CORLA_STATUS_ABORTED));
        QVERIFY(mediator.txns().empty());
    }
    QCoreApplication::processEvents();
    VERIFY_NO_LEAK(before);
}

QString TestEcuCore::makeSetup(const QString &fileName)
{
    const QString path = dir_.path() + QLatin1Char('/') + fileName;
    PMModel model;
    model.newSetup();
    return model.saveSetup(path) ? path : QString();
}

int TestEcuCore::runCli(const QStringList &args, QByteArray *out, QByteArray *err)
{
    const CliRun run = kelda::test::runCli(args);
    if (out)
        *out = run.out;
    if (err)
        *err = run.err;
    return run.exitCode;
}

void TestEcuCore::cliPorts()
{
    EmulatorProcess emulator;
    QVERIFY(emulator.start({}));
    setPorts({emulator.path(), QStringLiteral("/dev/kelda-test-missing")});
    QByteArray out;
    QCOMPARE(runCli({QStringLiteral("ports")}, &out), 0);
    QCOMPARE(QString::fromUtf8(out).split(QLatin1Char('\n'), Qt::SkipEmptyParts),
             QStringList({emulator.path(), QStringLiteral("/dev/kelda-test-missing")}));
    QCOMPARE(runCli({QStringLiteral("ports"), QStringLiteral("extra")}), 2);
}

void TestEcuCore::cliUploadSucceeds()
{
    const QString setup = makeSetup(QStringLiteral("cli.kelda"));
    QVERIFY(!setup.isEmpty());
    const QString image = dir_.path() + QStringLiteral("/cli.bin");
    QCOMPARE(runCli({QStringLiteral("compile"), setup, QStringLiteral("-o"), image}), 0);
    const QByteArray expected = readFile(image);
    QVERIFY(!expected.isEmpty());

    const QString cal = dir_.path() + QStringLiteral("/cli-ok.cal");
    EmulatorProcess emulator;
    QVERIFY(emulator.start({QStringLiteral("--cal-file"), cal}));
    setPorts({emulator.path()});
    QByteArray out;
    QByteArray err;
    QCOMPARE(runCli({QStringLiteral("upload"), setup, QStringLiteral("--port"), emulator.path()}, &out, &err), 0);
    QVERIFY2(out.contains("Upload Complete"), out.constData());
    const QByteArray stored = readFile(cal);
    QCOMPARE(stored.mid(88, 8), QByteArray("cli.kelda").left(8));
    QCOMPARE(stored.mid(96), expected);
}

void TestEcuCore::cliUploadFailures_data()
{
    QTest::addColumn<QStringList>("emulatorArgs");
    QTest::addColumn<QStringList>("cliArgs");
    QTest::addColumn<QString>("expect");
    QTest::newRow("no rune") << QStringList{"--identity", "none"} << QStringList() << "No RUNE";
    QTest::newRow("lx1") << QStringList{"--identity", "lx1"} << QStringList() << "Incompatible ECU";
    QTest::newRow("2x firmware") << QStringList{"--identity", "lx2-2x"} << QStringList() << "Incompatible ECU";
    QTest::newRow("silent") << QStringList{"--silent-after", "0"} << QStringList()
                            << "connection failed: the module did not answer; the module keeps its previous "
                               "calibration";
    // Cut short before COMMIT by --timeout: the same sentence.
    QTest::newRow("--timeout") << QStringList{"--silent-after", "10"} << QStringList{"--timeout", "1"}
                               << "no result within 1 s; the module keeps its previous calibration";
    QTest::newRow("dies mid-upload") << QStringList{"--exit-after", "100"} << QStringList()
                                     << "upload failed: the connection to the module was lost; the module keeps its "
                                        "previous calibration";
    // --yes never answers for the engine: only someone at the vehicle can.
    QTest::newRow("engine running, --yes")
        << QStringList{"--engine-running"} << QStringList{"--yes"}
        << "upload failed: the module reports that the engine is running: stop the engine and run the command again; "
           "the module keeps its previous calibration";
}

void TestEcuCore::cliUploadFailures()
{
    QFETCH(QStringList, emulatorArgs);
    QFETCH(QStringList, cliArgs);
    QFETCH(QString, expect);
    const QString setup = makeSetup(QStringLiteral("fail.kelda"));
    QVERIFY(!setup.isEmpty());
    const QString cal = dir_.path() + QStringLiteral("/previous.cal");
    const QByteArray previous = patternImage(300, 3);
    QVERIFY(writeFile(cal, previous));

    EmulatorProcess emulator;
    QVERIFY(emulator.start(emulatorArgs + QStringList{QStringLiteral("--cal-file"), cal}));
    setPorts({emulator.path()});
    QByteArray out;
    QByteArray err;
    QCOMPARE(runCli(QStringList{QStringLiteral("upload"), setup, QStringLiteral("--port"), emulator.path()} + cliArgs,
                    &out, &err),
             1);
    QVERIFY2(QString::fromUtf8(err).contains(expect), err.constData());
    QVERIFY(!out.contains("Upload Complete"));
    QCOMPARE(readFile(cal), previous);
}

void TestEcuCore::cliFailureAfterCommit_data()
{
    QTest::addColumn<QString>("mute");
    QTest::addColumn<QString>("expect");
    QTest::newRow("committed, then silent")
        << "3"
        << "upload failed: the module did not answer. The module holds the new calibration";
    QTest::newRow("never answers again")
        << "1000"
        << "upload failed: the module did not answer. It is not known whether the module holds the new calibration: "
           "check the module before the vehicle is used.";
}

void TestEcuCore::cliFailureAfterCommit()
{
    QFETCH(QString, mute);
    QFETCH(QString, expect);
    const QString setup = makeSetup(QStringLiteral("commit.kelda"));
    const QString cal = dir_.path() + QStringLiteral("/commit.cal");
    QVERIFY(writeFile(cal, patternImage(300, 3)));
    EmulatorProcess emulator;
    QVERIFY(emulator.start({QStringLiteral("--mute-after-commit"), mute, QStringLiteral("--cal-file"), cal}));
    setPorts({emulator.path()});
    qputenv("CORLA_COMMIT_TIMEOUT_MS", "100");
    QByteArray out;
    QByteArray err;
    const int rc = runCli({QStringLiteral("upload"), setup, QStringLiteral("--port"), emulator.path()}, &out, &err);
    qunsetenv("CORLA_COMMIT_TIMEOUT_MS");
    QCOMPARE(rc, 1);
    QCOMPARE(QString::fromUtf8(err).trimmed(),
             QStringLiteral("kelda-cli: upload of %1 to %2 failed: ").arg(setup, emulator.path()) + expect);
    QVERIFY(!out.contains("progress: 100%"));  // the bar is full only at a commit we saw
}

void TestEcuCore::cliReadRestoreVerify()
{
    const QString setupA = makeSetup(QStringLiteral("alpha.kelda"));
    const QString setupB = makeSetup(QStringLiteral("beta.kelda"));
    const QString cal = dir_.path() + QStringLiteral("/module.cal");
    QFile::remove(cal);
    EmulatorProcess emulator;
    QVERIFY(emulator.start({QStringLiteral("--cal-file"), cal}));
    setPorts({emulator.path()});
    const QStringList port{QStringLiteral("--port"), emulator.path()};
    QByteArray out;
    QByteArray err;

    // Nothing stored yet: nothing to read, and no setup matches.
    const QString backupA = dir_.path() + QStringLiteral("/alpha-backup.cal");
    QCOMPARE(runCli(QStringList{QStringLiteral("read"), QStringLiteral("-o"), backupA} + port, nullptr, &err), 1);
    QVERIFY2(err.contains("the module holds no calibration"), err.constData());
    QVERIFY(!QFile::exists(backupA));
    QCOMPARE(runCli(QStringList{QStringLiteral("verify"), setupA} + port, nullptr, &err), 1);
    QVERIFY2(err.contains("does not hold") && err.contains("the module holds 0 bytes"), err.constData());

    QCOMPARE(runCli(QStringList{QStringLiteral("upload"), setupA} + port), 0);
    const QByteArray storedA = readFile(cal);
    QCOMPARE(runCli(QStringList{QStringLiteral("verify"), setupA} + port, &out), 0);
    QVERIFY2(out.contains(
                 QStringLiteral("The module holds this setup's calibration: %1 bytes").arg(storedA.size()).toUtf8()),
             out.constData());

    // Upload B with a backup of what the module held: A's calibration.
    QCOMPARE(runCli(QStringList{QStringLiteral("upload"), setupB, QStringLiteral("--backup"), backupA} + port), 0);
    QCOMPARE(readFile(backupA), storedA);
    QVERIFY(readFile(cal) != storedA);
    QCOMPARE(runCli(QStringList{QStringLiteral("verify"), setupA} + port, nullptr, &err), 1);
    QVERIFY2(err.contains("(the CRCs differ)"), err.constData());

    // Back to A from the file, verified and committed like any upload.
    QCOMPARE(runCli(QStringList{QStringLiteral("restore"), backupA} + port, &out), 0);
    QVERIFY(out.contains("Upload Complete"));
    QCOMPARE(readFile(cal), storedA);
    QCOMPARE(runCli(QStringList{QStringLiteral("verify"), setupA} + port), 0);
    const QString readBack = dir_.path() + QStringLiteral("/read-back.cal");
    QCOMPARE(runCli(QStringList{QStringLiteral("read"), QStringLiteral("-o"), readBack} + port), 0);
    QCOMPARE(readFile(readBack), storedA);

    // An output that is an input is refused before anything happens.
    const QByteArray setupBBytes = readFile(setupB);
    QCOMPARE(
        runCli(QStringList{QStringLiteral("upload"), setupB, QStringLiteral("--backup"), setupB} + port, nullptr, &err),
        1);
    QVERIFY2(err.contains("an input of this upload"), err.constData());
    QCOMPARE(runCli(QStringList{QStringLiteral("read"), QStringLiteral("-o"), emulator.path()} + port, nullptr, &err),
             1);
    QVERIFY2(err.contains("it is the port"), err.constData());
    QCOMPARE(readFile(cal), storedA);
    QCOMPARE(readFile(setupB), setupBBytes);

    // No temporary file is left behind by the atomic writes.
    QCOMPARE(QDir(dir_.path()).entryList({QStringLiteral(".*.cal.*")}, QDir::Hidden | QDir::Files), QStringList());
}

void TestEcuCore::cliRestoreExport()
{
    // "x.kelda" is shorter than the name field (padded with '2' in the file,
    // with spaces in the module); "longer-name.kelda" is cut to it.
    for (const QString &name : {QStringLiteral("x.kelda"), QStringLiteral("longer-name.kelda")}) {
        const QString setup = makeSetup(name);
        QVERIFY(!setup.isEmpty());
        // Exported into an older, longer file: its first 88 bytes and its
        // tail stay, as the export keeps them.
        const QString exported = dir_.path() + QStringLiteral("/exported.cal");
        QVERIFY(writeFile(exported, patternImage(2000, 5)));
        QCOMPARE(runCli({QStringLiteral("export"), setup, exported}), 0);
        QCOMPARE(readFile(exported).size(), 2000);

        const QString uploaded = dir_.path() + QStringLiteral("/uploaded.cal");
        QFile::remove(uploaded);
        {
            EmulatorProcess emulator({QStringLiteral("--cal-file"), uploaded});
            QCOMPARE(runCli({QStringLiteral("upload"), setup, QStringLiteral("--port"), emulator.path()}), 0);
        }
        const QByteArray expected = readFile(uploaded);
        QVERIFY(expected.startsWith(QByteArray(88, char(0xFF))));

        const QString restored = dir_.path() + QStringLiteral("/restored.cal");
        QVERIFY(writeFile(restored, patternImage(300, 9)));
        EmulatorProcess emulator({QStringLiteral("--cal-file"), restored});
        const QStringList port{QStringLiteral("--port"), emulator.path()};
        QByteArray out;
        QCOMPARE(runCli(QStringList{QStringLiteral("restore"), exported} + port, &out), 0);
        QVERIFY2(out.contains("as export writes them"), out.constData());
        QCOMPARE(readFile(restored), expected);
        QCOMPARE(runCli(QStringList{QStringLiteral("verify"), setup} + port, &out), 0);
    }
}

void TestEcuCore::cliIdentityByContent()
{
    const QString setup = makeSetup(QStringLiteral("content.kelda"));
    const QString cal = dir_.path() + QStringLiteral("/content.cal");
    QFile::remove(cal);
    {
        EmulatorProcess emulator({QStringLiteral("--cal-file"), cal});
        QCOMPARE(runCli({QStringLiteral("upload"), setup, QStringLiteral("--port"), emulator.path()}), 0);
    }
    const QByteArray genuine = readFile(cal);
    // XOR with the CRC-32 polynomial (x^32 + ... + 1, reflected) keeps the
    // length and the CRC-32: the same identity, other bytes. Across the first
    // boundary of the 64-byte blocks SUMS compares (a calibration this small),
    // so that the two blocks' CRC-32s change; within one block they would not,
    // and only the byte comparison of verify would tell.
    QByteArray crafted = genuine;
    const char poly[] = {0x41, 0x06, 0x71, char(0xDB), 0x01};
    const qsizetype at = 62;
    QVERIFY(genuine.size() < 2048);
    for (int i = 0; i < 5; ++i)
        crafted[at + i] = char(crafted[at + i] ^ poly[i]);
    QByteArray out;
    QByteArray err;

    // A module that sends its calibration back is compared byte for byte, and
    // one that answers SUMS gets the blocks that differ.
    QVERIFY(writeFile(cal, crafted));
    {
        EmulatorProcess emulator({QStringLiteral("--cal-file"), cal});
        const QStringList port{QStringLiteral("--port"), emulator.path()};
        QCOMPARE(runCli(QStringList{QStringLiteral("verify"), setup} + port, &out, &err), 1);
        QVERIFY2(err.contains("with the CRC-32 of this setup's calibration, but 5 of them differ from it (the first "
                              "at address "
                              + QByteArray::number(at) + ")"),
                 err.constData());
        QCOMPARE(runCli(QStringList{QStringLiteral("upload"), setup} + port, &out), 0);
        QVERIFY2(!out.contains("already holds") && out.contains("same length and CRC-32 whose blocks differ"),
                 out.constData());
        QCOMPARE(readFile(cal), genuine);
        QCOMPARE(runCli(QStringList{QStringLiteral("verify"), setup} + port, &out), 0);
        QVERIFY2(out.contains("compared byte for byte"), out.constData());
    }
    // A module from before SUMS and READ can only be taken at its word.
    QVERIFY(writeFile(cal, crafted));
    EmulatorProcess old({QStringLiteral("--old"), QStringLiteral("--cal-file"), cal});
    const QStringList port{QStringLiteral("--port"), old.path()};
    QCOMPARE(runCli(QStringList{QStringLiteral("verify"), setup} + port, &out), 0);
    QVERIFY2(out.contains("only its length and CRC-32 were compared"), out.constData());
    QCOMPARE(runCli(QStringList{QStringLiteral("upload"), setup} + port, &out), 0);
    QVERIFY2(out.contains("The module already holds this calibration."), out.constData());
}

void TestEcuCore::cliOutputsCheckedFirst()
{
    // The port does not exist: a message about the output shows it was
    // checked before the port was looked for.
    QVERIFY(!makeSetup(QStringLiteral("outputs.kelda")).isEmpty());
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir_.path()));
    const auto back = qScopeGuard([&] { QDir::setCurrent(previous); });
    const QStringList nowhere{QStringLiteral("--port"), QStringLiteral("nowhere")};
    QByteArray err;
    QCOMPARE(runCli(QStringList{QStringLiteral("read"), QStringLiteral("-o"), QStringLiteral("nodir/x.cal")} + nowhere,
                    nullptr, &err),
             1);
    QCOMPARE(err, QByteArray("kelda-cli: cannot write nodir/x.cal: the folder nodir does not exist\n"));
    QCOMPARE(runCli(QStringList{QStringLiteral("upload"), QStringLiteral("outputs.kelda"), QStringLiteral("--backup"),
                                QStringLiteral("nodir/b.cal")}
                        + nowhere,
                    nullptr, &err),
             1);
    QCOMPARE(err, QByteArray("kelda-cli: cannot write nodir/b.cal: the folder nodir does not exist\n"));
    QVERIFY(QDir().mkdir(QStringLiteral("afolder.cal")));
    QCOMPARE(runCli(QStringList{QStringLiteral("read"), QStringLiteral("-o"), QStringLiteral("afolder.cal")} + nowhere,
                    nullptr, &err),
             1);
    QCOMPARE(err, QByteArray("kelda-cli: cannot write afolder.cal: it is a folder\n"));
    QVERIFY(writeFile(QStringLiteral("plain"), "x"));
    QCOMPARE(runCli(QStringList{QStringLiteral("read"), QStringLiteral("-o"), QStringLiteral("plain/x.cal")} + nowhere,
                    nullptr, &err),
             1);
    QCOMPARE(err, QByteArray("kelda-cli: cannot write plain/x.cal: plain is not a folder\n"));
}

void TestEcuCore::cliPortPaths()
{
    // A port the system does not list, named by a relative path: that path,
    // never a device under /dev of the same name.
    const QString setup = makeSetup(QStringLiteral("ports.kelda"));
    EmulatorProcess emulator;
    QVERIFY(emulator.start({}));
    setPorts({});
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir_.path()));
    const auto back = qScopeGuard([&] { QDir::setCurrent(previous); });
    QVERIFY(QDir().mkpath(QStringLiteral("sub")));
    QFile::remove(QStringLiteral("tty-link"));
    QFile::remove(QStringLiteral("sub/tty-link"));
    QVERIFY(QFile::link(emulator.path(), QStringLiteral("tty-link")));
    QVERIFY(QFile::link(emulator.path(), QStringLiteral("sub/tty-link")));
    QByteArray out;
    QByteArray err;
    for (const QString &port : {QStringLiteral("tty-link"), QStringLiteral("sub/tty-link")}) {
        QCOMPARE(runCli({QStringLiteral("upload"), setup, QStringLiteral("--port"), port}, &out, &err), 0);
        QVERIFY2(out.contains("Upload Complete"), err.constData());
    }
    QCOMPARE(
        runCli({QStringLiteral("upload"), setup, QStringLiteral("--port"), QStringLiteral("no-such-tty")}, &out, &err),
        1);
    QVERIFY2(err.contains("no port named 'no-such-tty'"), err.constData());
}

void TestEcuCore::cliUsage()
{
    const QString setup = makeSetup(QStringLiteral("usage.kelda"));
    QCOMPARE(runCli({QStringLiteral("upload"), setup}), 2);
    QCOMPARE(runCli({QStringLiteral("upload"), QStringLiteral("--port"), QStringLiteral("/dev/null")}), 2);
    QByteArray err;
    QCOMPARE(
        runCli({QStringLiteral("upload"), setup, QStringLiteral("--port"), QStringLiteral("nowhere")}, nullptr, &err),
        1);
    QVERIFY2(err.contains("no port named"), err.constData());
    QCOMPARE(runCli({QStringLiteral("upload"), dir_.path() + QStringLiteral("/missing.kelda"), QStringLiteral("--port"),
                     QStringLiteral("x")}),
             1);
}

QTEST_GUILESS_MAIN(TestEcuCore)
#include "tst_ecucore.moc"
