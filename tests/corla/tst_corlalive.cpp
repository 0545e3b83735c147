// The library's MONITOR and FORCE transactions against lx2-emulator --run:
// a poll queued behind an upload waits for it, forces are counted and
// refused while the engine runs, bad forces are never made.
#include "corla.h"
#include "corlaprotocol.h"

#include <QCoreApplication>
#include <QLocale>
#include <QTemporaryDir>
#include <QtTest>

#include "emulatorprocess.h"
#include "eventloop.h"
#include "testenv.h"
#include "testfiles.h"
#include "testpaths.h"

using namespace kelda::test;

namespace {

std::u16string wide(const QString &s)
{
    return std::u16string(reinterpret_cast<const char16_t *>(s.utf16()), size_t(s.size()));
}

// Only what these tests need of a mediator: the ECU, the port and the log.
struct Mediator {
    MediatorTable table{};
    Delegate events{};
    CorlaEcu *ecu = nullptr;
    CorlaPortFactory *factory = nullptr;
    QStringList log;

    Mediator()
    {
        ecu = CORLA_Ecu_Create();
        CORLA_ICal_AddRef(ecu);
        table.context = this;
        table.ecu = [](void *c) { return static_cast<Mediator *>(c)->ecu; };
        table.portFactory = [](void *c) { return static_cast<Mediator *>(c)->factory; };
        table.eventDelegate = [](void *c) { return &static_cast<Mediator *>(c)->events; };
        table.confirmEngineRunning = [](void *) { return 1; };
        table.confirmIntLogSetup = [](void *) { return 1; };
        events = Delegate{[](void *c, int code, const void *data, int) {
                              if (code == CORLA_EVENT_MESSAGE)
                                  static_cast<Mediator *>(c)->log
                                      << QString::fromUtf16(static_cast<const CorlaMessage *>(data)->text);
                          },
                          this, -1, 0};
    }
    ~Mediator()
    {
        CORLA_Ecu_DisconnectAndWait(ecu);
        CORLA_PortFactory_Destroy(factory);
        CORLA_ICal_RemRef(ecu);
    }
    void usePort(const QString &path)
    {
        PortSettings s{};
        s.baudRate = 38400;
        factory = CORLA_PortFactory_Create(CORLA_PortSource_FromPath(wide(path).c_str()), &s);
    }
};

struct Txn {
    CorlaEcuTxn *txn = nullptr;
    int status = -1;
    int order = 0;  // when it finished, among the transactions of a test
    static inline int finished = 0;
    explicit Txn(CorlaEcuTxn *t) : txn(t) { CORLA_EcuTxn_AddRef(txn); }
    ~Txn() { CORLA_EcuTxn_RemRef(txn); }
    bool start(Mediator &m)
    {
        Delegate d{[](void *c, int code, const void *data, int) {
                       if (code != CORLA_TXN_FINISHED)
                           return;
                       auto *self = static_cast<Txn *>(c);
                       self->status = *static_cast<const int *>(data);
                       self->order = ++finished;
                   },
                   this, -1, 0};
        return CORLA_EcuTxn_Start(txn, &m.table, &d) != 0;
    }
    bool wait(int ms = 20000)
    {
        return waitUntil([this] { return status >= 0; }, ms);
    }
};

}  // namespace

class TestCorlaLive : public QObject
{
    Q_OBJECT

    QTemporaryDir tmp_;

    bool connect(Mediator &m, const QString &port)
    {
        m.usePort(port);
        Txn c(CORLA_EcuTxn_Connect_Create());
        return c.start(m) && c.wait() && c.status == CORLA_STATUS_OK;
    }

private slots:
    void initTestCase()
    {
        QLocale::setDefault(QLocale::c());
        QVERIFY(tmp_.isValid());
        QStandardPaths::setTestModeEnabled(true);
        useConfigFolder(tmp_.filePath(QStringLiteral("config")));
        useDataFolder(tmp_.filePath(QStringLiteral("data")));
        qputenv("CORLA_RUNE_PATH", QFile::encodeName(runeFolder()));
        QVERIFY(QFile::exists(emulatorProgram()));
    }

    void pollWaitsForAnUpload()
    {
        EmulatorProcess module({QStringLiteral("--run"), QStringLiteral("--baud"), QStringLiteral("38400")});
        QVERIFY(!module.path().isEmpty());
        Mediator m;
        QVERIFY(connect(m, module.path()));
        // About 2 s on the line: the poll started just after it must wait.
        CORLA_Ecu_NewCalibration(m.ecu);
        const QByteArray bytes = patternImage(8000, 5);
        uint64_t end = 0;
        QCOMPARE(CORLA_ICal_WriteRawDataEx(CORLA_Ecu_GetCalibration(m.ecu), 96, uint32_t(bytes.size()),
                                           bytes.constData(), 0, 0, &end),
                 0);
        Txn upload(CORLA_EcuTxn_UploadCal_Create(CORLA_Ecu_GetCalibration(m.ecu)));
        Txn poll(CORLA_EcuTxn_Monitor_Create(1));
        QVERIFY(upload.start(m));
        QVERIFY(poll.start(m));
        QVERIFY(poll.wait(30000));
        QCOMPARE(upload.status, CORLA_STATUS_OK);
        QCOMPARE(poll.status, CORLA_STATUS_OK);
        QVERIFY(upload.order < poll.order);
        uint32_t tick = 0, flags = 0;
        const CorlaLiveChange *changes = nullptr;
        QVERIFY(CORLA_EcuTxn_GetLive(poll.txn, &tick, &flags, &changes) >= 0);
        // The committed calibration restarted the engine just before the poll.
        QVERIFY(flags & CORLA_LIVE_FULL_PICTURE);
        QVERIFY(flags & CORLA_LIVE_RUNS);
        QVERIFY2(tick < 100, qPrintable(QString::number(tick)));
        QCOMPARE(CORLA_EcuTxn_GetName(poll.txn), std::u16string(u"Monitor"));
    }

    void forcesCountedAndRefused()
    {
        EmulatorProcess module({QStringLiteral("--run")});
        QVERIFY(!module.path().isEmpty());
        Mediator m;
        QVERIFY(connect(m, module.path()));
        const CorlaForce two[] = {{CORLA_LIVE_LED, 31, CORLA_FORCE_ON, 0}, {CORLA_LIVE_KEY, 254, CORLA_FORCE_ON, 0}};
        Txn force(CORLA_EcuTxn_Force_Create(500, two, 2));
        QVERIFY(force.start(m) && force.wait());
        QCOMPARE(force.status, CORLA_STATUS_OK);
        uint32_t active = 0, flags = 0;
        QCOMPARE(CORLA_EcuTxn_GetLive(force.txn, &active, &flags, nullptr), 0);
        QCOMPARE(active, 2u);
        QTest::qWait(50);  // the forces act from the next tick on
        Txn poll(CORLA_EcuTxn_Monitor_Create(0));
        QVERIFY(poll.start(m) && poll.wait());
        const CorlaLiveChange *changes = nullptr;
        const int n = CORLA_EcuTxn_GetLive(poll.txn, nullptr, &flags, &changes);
        QVERIFY(flags & CORLA_LIVE_FORCED);
        bool led = false, key = false;
        for (int i = 0; i < n; ++i) {
            led |= changes[i].kind == CORLA_LIVE_LED && changes[i].item == 31 && changes[i].value;
            key |= changes[i].kind == CORLA_LIVE_KEY && changes[i].item == 254 && changes[i].value;
        }
        QVERIFY(led && key);

        // Never made: a lease above 1 s, a state, an LED past 31, too many.
        const CorlaForce state{CORLA_LIVE_STATE, 0, CORLA_FORCE_ON, 0}, led32{CORLA_LIVE_LED, 32, CORLA_FORCE_ON, 0};
        QVERIFY(!CORLA_EcuTxn_Force_Create(1001, two, 1));
        QVERIFY(!CORLA_EcuTxn_Force_Create(900, &state, 1));
        QVERIFY(!CORLA_EcuTxn_Force_Create(900, &led32, 1));
        std::vector<CorlaForce> many(65, two[0]);
        QVERIFY(!CORLA_EcuTxn_Force_Create(900, many.data(), int(many.size())));

        EmulatorProcess running({QStringLiteral("--run"), QStringLiteral("--engine-running")});
        Mediator r;
        QVERIFY(connect(r, running.path()));
        Txn refused(CORLA_EcuTxn_Force_Create(900, two, 1));
        QVERIFY(refused.start(r) && refused.wait());
        QCOMPARE(refused.status, CORLA_STATUS_REFUSED);
        QCOMPARE(CORLA_EcuTxn_GetLive(refused.txn, nullptr, &flags, nullptr), 0);
        QVERIFY(flags & CORLA_LIVE_ENGINE_RUNNING);
        QVERIFY(r.log.contains(QStringLiteral("The module refuses forces while the engine is running.")));
    }

    void oldModuleUnsupported()
    {
        EmulatorProcess module({QStringLiteral("--old"), QStringLiteral("--run")});
        Mediator m;
        QVERIFY(connect(m, module.path()));
        Txn poll(CORLA_EcuTxn_Monitor_Create(1));
        QVERIFY(poll.start(m) && poll.wait());
        QCOMPARE(poll.status, CORLA_STATUS_UNSUPPORTED);
        QCOMPARE(CORLA_EcuTxn_GetLive(poll.txn, nullptr, nullptr, nullptr), -1);
        QVERIFY(m.log.contains(QStringLiteral("The module does not report live data: it does not know MONITOR.")));
    }
};

QTEST_GUILESS_MAIN(TestCorlaLive)
#include "tst_corlalive.moc"
