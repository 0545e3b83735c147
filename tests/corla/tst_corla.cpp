// End-to-end tests of the ECU library against lx2-emulator over pseudo-terminals.
#include "corla.h"
#include "corlacompare.h"
#include "corlaprotocol.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <sys/stat.h>

#include "emulatorprocess.h"
#include "eventloop.h"
#include "testenv.h"
#include "testfiles.h"
#include "testpaths.h"

using namespace kelda::test;
namespace proto = corla::proto;

namespace {

QString str(const char16_t *s)
{
    return s ? QString::fromUtf16(s) : QString();
}

std::u16string wide(const QString &s)
{
    return std::u16string(reinterpret_cast<const char16_t *>(s.utf16()), size_t(s.size()));
}

// What one --stats line says about the requests before its COMMIT.
int statValue(const QString &line, const QString &key)
{
    const QRegularExpressionMatch m = QRegularExpression(key + QStringLiteral(" (\\d+)")).match(line);
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

// A plain mediator that records what the library tells it.
struct Mediator {
    MediatorTable table{};
    Delegate events{};
    CorlaEcu *ecu = nullptr;
    CorlaPortFactory *factory = nullptr;
    QStringList log, status;
    QList<double> progress;
    QList<int> txnFinished;  // results through the table
    int removeTxn = 0, txnStarted = 0;
    int engineAsked = 0, intLogAsked = 0;
    bool engineAnswer = true, intLogAnswer = true;
    bool insideLibraryCall = false;
    int reentrant = 0;

    void check()
    {
        if (insideLibraryCall)
            ++reentrant;
    }

    Mediator()
    {
        ecu = CORLA_Ecu_Create();
        CORLA_ICal_AddRef(ecu);
        table.context = this;
        table.ecu = [](void *c) { return static_cast<Mediator *>(c)->ecu; };
        table.portFactory = [](void *c) { return static_cast<Mediator *>(c)->factory; };
        table.eventDelegate = [](void *c) { return &static_cast<Mediator *>(c)->events; };
        table.txnStarted = [](void *c, CorlaEcuTxn *) {
            auto *m = static_cast<Mediator *>(c);
            m->check();
            ++m->txnStarted;
        };
        table.txnFinished = [](void *c, CorlaEcuTxn *, int result) {
            auto *m = static_cast<Mediator *>(c);
            m->check();
            m->txnFinished << result;
        };
        table.removeTxn = [](void *c, CorlaEcuTxn *) { ++static_cast<Mediator *>(c)->removeTxn; };
        table.confirmEngineRunning = [](void *c) {
            auto *m = static_cast<Mediator *>(c);
            m->check();
            ++m->engineAsked;
            return m->engineAnswer ? 1 : 0;
        };
        table.confirmIntLogSetup = [](void *c) {
            auto *m = static_cast<Mediator *>(c);
            m->check();
            ++m->intLogAsked;
            return m->intLogAnswer ? 1 : 0;
        };
        events = Delegate{[](void *c, int code, const void *data, int) {
                              auto *m = static_cast<Mediator *>(c);
                              m->check();
                              if (code == CORLA_EVENT_PROGRESS)
                                  m->progress << *static_cast<const double *>(data);
                              if (code == CORLA_EVENT_MESSAGE) {
                                  auto *msg = static_cast<const CorlaMessage *>(data);
                                  (msg->kind == CORLA_MSG_STATUS ? m->status : m->log) << str(msg->text);
                              }
                          },
                          this, -1, 0};
    }
    ~Mediator()
    {
        CORLA_Ecu_RemoveAllDataListenersNonGlobal(ecu);
        CORLA_Ecu_DisconnectAndWait(ecu);
        CORLA_PortFactory_Destroy(factory);
        CORLA_ICal_RemRef(ecu);
    }
    void usePort(const QString &path, uint32_t baud = 38400)
    {
        CORLA_PortFactory_Destroy(factory);
        PortSettings s{};
        s.baudRate = baud;
        factory = CORLA_PortFactory_Create(CORLA_PortSource_FromPath(wide(path).c_str()), &s);
    }
};

// One transaction with its completion delegate.
struct Txn {
    CorlaEcuTxn *txn = nullptr;
    QList<int> done;  // statuses of code 2
    bool started = false;
    explicit Txn(CorlaEcuTxn *t) : txn(t) { CORLA_EcuTxn_AddRef(txn); }
    ~Txn() { CORLA_EcuTxn_RemRef(txn); }
    bool start(Mediator &m)
    {
        Delegate d{[](void *c, int code, const void *data, int) {
                       auto *self = static_cast<Txn *>(c);
                       if (code == CORLA_TXN_STARTED)
                           self->started = true;
                       if (code == CORLA_TXN_FINISHED)
                           self->done << *static_cast<const int *>(data);
                   },
                   this, -1, 0};
        m.insideLibraryCall = true;
        const int ok = CORLA_EcuTxn_Start(txn, &m.table, &d);
        m.insideLibraryCall = false;
        return ok != 0;
    }
};

}  // namespace

class TestCorla : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir tmp_;
    int liveAtStart_ = 0;
    int deliberateBadReleases_ = 0;

    QString tmpPath(const QString &name) const { return tmp_.filePath(name); }

    // Connects m on the emulator's port; returns the status.
    int connectTo(Mediator &m, const QString &path)
    {
        m.usePort(path);
        Txn c(CORLA_EcuTxn_Connect_Create());
        if (!c.start(m))
            return -100;
        if (!waitUntil([&] { return !c.done.isEmpty(); }, 15000))
            return -101;
        return c.done.first();
    }

    // Writes name and image into a fresh calibration; returns what the module must store.
    QByteArray prepareCalibration(Mediator &m, const QByteArray &name, const QByteArray &image)
    {
        CORLA_Ecu_NewCalibration(m.ecu);
        CorlaCal *cal = CORLA_ICal_ToCal(CORLA_Ecu_GetCalibration(m.ecu));
        CorlaRune *rune = CORLA_ICal_GetRune(m.ecu);
        const uint32_t at = uint32_t(CORLA_Rune_GetCalNameCC(rune));
        const uint16_t size = CORLA_Rune_GetCalNameSize(rune);
        QByteArray padded = name.left(size);
        padded.append(QByteArray(size - padded.size(), ' '));
        uint64_t end = 0;
        if (CORLA_ICal_WriteRawDataEx(cal, at, size, padded.constData(), 0, 0, &end) != 0)
            return {};
        end = 0;
        if (CORLA_ICal_WriteRawDataEx(cal, at + size, uint32_t(image.size()), image.constData(), 0, 0, &end) != 0)
            return {};
        QByteArray expect(int(at), char(0xFF));
        expect += padded + image;
        return expect;
    }

    int upload(Mediator &m, Txn &u)
    {
        if (!u.start(m))
            return -100;
        if (!waitUntil([&] { return !u.done.isEmpty(); }, 60000))
            return -101;
        return u.done.first();
    }

    static QByteArray randomImage(int n)
    {
        QByteArray b(n, 0);
        auto *g = QRandomGenerator::global();
        for (auto &c : b)
            c = char(g->bounded(256));
        return b;
    }

private slots:
    void initTestCase()
    {
        QLocale::setDefault(QLocale::c());
        QVERIFY(tmp_.isValid());
        QStandardPaths::setTestModeEnabled(true);
        useConfigFolder(tmpPath(QStringLiteral("config")));
        useDataFolder(tmpPath(QStringLiteral("data")));
        qputenv("CORLA_RUNE_PATH", QFile::encodeName(runeFolder()));
        qunsetenv("CORLA_EXTRA_PORTS");
        qunsetenv("CORLA_PORTS_FILE");
        liveAtStart_ = CORLA_Debug_LiveObjects(CORLA_KIND_ALL);
        QVERIFY(QFile::exists(emulatorProgram()));
    }

    void cleanupTestCase()
    {
        QCoreApplication::processEvents();
        QCOMPARE(CORLA_Debug_LiveObjects(CORLA_KIND_ALL), liveAtStart_);
        QCOMPARE(CORLA_Debug_BadReleases(), deliberateBadReleases_);
    }

    // The protocol's CRC-32 is the one setup files use: the known check
    // value, every length around the eight-byte steps, and continued sums.
    void crc32MatchesBitwise()
    {
        const auto bitwise = [](const QByteArray &bytes) {
            uint32_t c = 0xFFFFFFFFu;
            for (char ch : bytes) {
                c ^= uint8_t(ch);
                for (int k = 0; k < 8; ++k)
                    c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
            }
            return ~c;
        };
        QCOMPARE(corla::proto::crc32(QByteArrayLiteral("123456789")), 0xCBF43926u);
        QByteArray bytes;
        for (int n = 0; n < 40; ++n) {
            QCOMPARE(corla::proto::crc32(bytes), bitwise(bytes));
            for (int split = 0; split <= n; ++split)
                QCOMPARE(corla::proto::crc32(bytes.constData() + split, n - split,
                                             corla::proto::crc32(bytes.constData(), split)),
                         bitwise(bytes));
            bytes.append(char(n * 37 + 11));
        }
    }

    void portListing()
    {
        EmulatorProcess emu({QStringLiteral("--link"), tmpPath(QStringLiteral("lx2-port"))});
        QVERIFY(emu.path().startsWith(QLatin1String("/dev/")));
        const QString link = tmpPath(QStringLiteral("lx2-port"));
        QTRY_VERIFY(QFileInfo(link).isSymLink());
        const QString missing = tmpPath(QStringLiteral("no-such-port"));
        qputenv("CORLA_EXTRA_PORTS", QFile::encodeName(link + QLatin1Char(':') + missing + QLatin1String("::") + link));

        auto names = [](uint32_t flags) {
            QStringList out;
            CorlaPortList *l = CORLA_PortList_Create();
            const int n = CORLA_EnumPorts(l, flags);
            for (int i = 0; i < CORLA_PortList_Size(l); ++i) {
                PortInfo info{};
                info.settings.baudRate = 38400;
                if (CORLA_PortList_Get(l, i, &info) && info.portSource)
                    out << str(info.displayName);
                if (info.settings.baudRate != 38400)
                    out << QStringLiteral("settings were touched");
            }
            if (n != out.size())
                out << QStringLiteral("count mismatch");
            CORLA_PortList_Destroy(l);
            return out;
        };
        QStringList all = names(0);
        QCOMPARE(all.count(link), 1);  // listed once though named twice
        QVERIFY(all.contains(missing));
        QVERIFY(!all.contains(QStringLiteral("settings were touched")));
        QVERIFY(!all.contains(QStringLiteral("count mismatch")));
        QCOMPARE(all.indexOf(link) + 1, all.indexOf(missing));  // configured ports keep their order

        const QStringList present = names(CORLA_ENUM_PRESENT_ONLY | CORLA_ENUM_CONFIGURED_FIRST | CORLA_ENUM_SORTED);
        QVERIFY(!present.contains(missing));
        QCOMPARE(present.value(0), link);

        // The ports file adds to the environment.
        QDir().mkpath(tmpPath(QStringLiteral("config/corla")));
        const QString portsFile = tmpPath(QStringLiteral("config/corla/ports"));
        QVERIFY(writeFile(portsFile, "# emulator\n" + QFile::encodeName(emu.path()) + "\n\n"));
        qputenv("CORLA_NO_SYSTEM_PORTS", "1");
        all = names(0);
        QCOMPARE(all, (QStringList{link, missing}));
        // The link resolves to the emulator's terminal, so the file's entry is a duplicate of it.
        QVERIFY(!all.contains(emu.path()));
        QFile::remove(portsFile);
        qunsetenv("CORLA_EXTRA_PORTS");
        QCOMPARE(names(0), QStringList());

        // Out of range: no source, empty name.
        CorlaPortList *l = CORLA_PortList_Create();
        CORLA_EnumPorts(l, 0);
        PortInfo info{};
        QCOMPARE(CORLA_PortList_Get(l, 0, &info), 0);
        QVERIFY(info.portSource == nullptr);
        QCOMPARE(str(info.displayName), QString());
        CORLA_PortList_Destroy(l);
        QVERIFY(CORLA_PortFactory_Create(nullptr, nullptr) == nullptr);
        qunsetenv("CORLA_NO_SYSTEM_PORTS");
    }

    void connectAndIdentify_data()
    {
        QTest::addColumn<QString>("identity");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("version");
        QTest::newRow("lx2 30v") << "lx2-30v" << int(CORLA_STATUS_OK) << "LX2"
                                 << "30v00";
        QTest::newRow("lx2 2x") << "lx2-2x" << int(CORLA_STATUS_OK) << "LX2"
                                << "21v04";
        QTest::newRow("lx1") << "lx1" << int(CORLA_STATUS_OK) << "LX1"
                             << "12v03";
        QTest::newRow("no rune") << "none" << int(CORLA_STATUS_NO_RUNE) << ""
                                 << "";
    }

    void connectAndIdentify()
    {
        QFETCH(QString, identity);
        QFETCH(int, status);
        QFETCH(QString, name);
        QFETCH(QString, version);
        EmulatorProcess emu({QStringLiteral("--identity"), identity});
        QVERIFY(!emu.path().isEmpty());
        Mediator m;
        QCOMPARE(connectTo(m, emu.path()), status);
        QCOMPARE(m.reentrant, 0);
        QCOMPARE(m.txnStarted, 1);
        QCOMPARE(m.txnFinished, QList<int>{status});
        QCOMPARE(CORLA_Ecu_IsConnected(m.ecu) != 0, status == CORLA_STATUS_OK);
        CorlaRune *rune = CORLA_ICal_GetRune(m.ecu);
        if (status == CORLA_STATUS_OK) {
            QVERIFY(rune);
            QCOMPARE(str(CORLA_Rune_GetName(rune)), name);
            QCOMPARE(str(CORLA_Rune_GetVersion(rune)), version);
            QVERIFY(m.status.contains(QStringLiteral("Connected")));
            if (identity.startsWith(QLatin1String("lx2"))) {
                QCOMPARE(CORLA_Rune_GetCalNameCC(rune), uint64_t(88));
                QCOMPARE(CORLA_Rune_GetCalNameSize(rune), uint16_t(8));
            }
        } else {
            QVERIFY(!rune);
            QVERIFY2(m.log.join('\n').contains(QLatin1String("No RUNE file is installed")),
                     qPrintable(m.log.join('\n')));
        }
        // "Disconnected" comes through the event loop after the call.
        m.status.clear();
        m.insideLibraryCall = true;
        CORLA_Ecu_DisconnectAndWait(m.ecu);
        m.insideLibraryCall = false;
        QVERIFY(!CORLA_Ecu_IsConnected(m.ecu));
        QVERIFY(m.status.isEmpty());
        QTRY_COMPARE(m.status, QStringList{QStringLiteral("Disconnected")});
        QCOMPARE(m.reentrant, 0);
    }

    void portInUse()
    {
        // A second connection to a port one already holds names the cause,
        // and works once the first lets go.
        EmulatorProcess emu(QStringList{});
        QVERIFY(!emu.path().isEmpty());
        Mediator first, second;
        QCOMPARE(connectTo(first, emu.path()), 0);
        QCOMPARE(connectTo(second, emu.path()), int(CORLA_STATUS_PORT_OPEN));
        QVERIFY2(second.log.join('\n').contains(QLatin1String("in use by another program")),
                 qPrintable(second.log.join('\n')));
        first.insideLibraryCall = true;
        CORLA_Ecu_DisconnectAndWait(first.ecu);
        first.insideLibraryCall = false;
        QCOMPARE(connectTo(second, emu.path()), 0);
    }

    void emulatorOptions()
    {
        // Values out of range end the emulator (status 2) naming the option.
        const QList<std::pair<QStringList, QString>> refused = {
            {{"--identity", "lx3"}, "unknown identity \"lx3\""},
            {{"--module", "0x10000"}, "--module needs a number up to 65535"},
            {{"--drop", "-1"}, "--drop needs a number up to 1073741824"},
            {{"--damage-tx", "x"}, "--damage-tx needs a number up to 4294967295"},
            {{"--damage-xor", "0"}, "--damage-xor needs a mask from 1 to 255"},
            {{"--capacity", "0x7FFFFFFF"}, "--capacity needs a number up to"},
        };
        for (const auto &[args, says] : refused) {
            QProcess p;
            p.start(emulatorProgram(), args);
            QVERIFY(p.waitForFinished(20000));
            QCOMPARE(p.exitCode(), 2);
            const QString err = QString::fromLocal8Bit(p.readAllStandardError());
            QVERIFY2(err.contains(says), qPrintable(args.join(' ') + ": " + err));
        }
        // Every option of the table is listed by --help.
        QProcess help;
        help.start(emulatorProgram(), {QStringLiteral("--help")});
        QVERIFY(help.waitForFinished(20000));
        const QString text = QString::fromLocal8Bit(help.readAllStandardOutput());
        for (const char *option : {"--device <path>", "--identity <kind>", "--engine-running", "--delay-ms <ms>",
                                   "--mute-after-commit <N>", "--damage-xor <mask>"})
            QVERIFY2(text.contains(QLatin1String(option)), option);
        // --module and --firmware override --identity, wherever they stand.
        EmulatorProcess emu({QStringLiteral("--module"), QStringLiteral("0x4C32"), QStringLiteral("--identity"),
                             QStringLiteral("lx1"), QStringLiteral("--firmware"), QStringLiteral("0x3005")});
        QVERIFY(!emu.path().isEmpty());
        Mediator m;
        QCOMPARE(connectTo(m, emu.path()), int(CORLA_STATUS_OK));
        QCOMPARE(str(CORLA_Rune_GetName(CORLA_ICal_GetRune(m.ecu))), QStringLiteral("LX2"));
        CORLA_Ecu_DisconnectAndWait(m.ecu);
    }

    void listeners()
    {
        EmulatorProcess emu(QStringList{});
        Mediator m;
        static QList<int> seen;
        static int calChanged = 0;
        seen.clear();
        calChanged = 0;
        EcuListenerTable l{&m,
                           [](void *, uint32_t c) { seen << int(c); },
                           [](void *, uint32_t) { seen << 100; },
                           nullptr,
                           nullptr,
                           nullptr,
                           nullptr};
        QVERIFY(CORLA_Ecu_AddListener(m.ecu, &l));
        CalListenerTable cl{&m, [](void *, uint32_t) { ++calChanged; }, nullptr, nullptr, nullptr};
        QVERIFY(CORLA_ICal_AddListener(m.ecu, &cl));
        QCOMPARE(connectTo(m, emu.path()), 0);
        QTRY_COMPARE(seen, (QList<int>{100, 1}));  // RUNE replaced, then connected
        CORLA_Ecu_NewCalibration(m.ecu);
        QCOMPARE(calChanged, 0);  // posted, not called from inside
        QTRY_COMPARE(calChanged, 1);
        CORLA_Ecu_DisconnectAndWait(m.ecu);
        QCOMPARE(seen.size(), 2);
        QTRY_COMPARE(seen, (QList<int>{100, 1, 0}));
        // Once removed, nothing more arrives, not even what was already on its way.
        QCOMPARE(connectTo(m, emu.path()), 0);
        CORLA_Ecu_NewCalibration(m.ecu);
        CORLA_Ecu_DisconnectAndWait(m.ecu);
        CORLA_Ecu_RemoveAllDataListenersNonGlobal(m.ecu);
        m.status.clear();
        QTest::qWait(100);  // on purpose: what is still on its way gets the time to arrive, and must not
        QCOMPARE(calChanged, 1);
        QVERIFY(m.status.isEmpty());  // the mediator was forgotten too
        QCOMPARE(seen, (QList<int>{100, 1, 0, 100, 1}));  // the second connect's; its 0 was dropped
    }

    void runeHook()
    {
        // A mediator's hook is asked first; returning null means "not installed".
        EmulatorProcess emu(QStringList{});
        Mediator m;
        static int asked = 0;
        asked = 0;
        CORLA_Rune_SetOpenDelegate(
            [](void *, uint32_t a, uint32_t b, int *) -> CorlaRune * {
                ++asked;
                return a == 0x4C32 && b == 0x3005 ? nullptr : nullptr;
            },
            &m);
        QCOMPARE(connectTo(m, emu.path()), int(CORLA_STATUS_NO_RUNE));
        QCOMPARE(asked, 1);
        // A hook that loads the RUNE hands its reference to the library.
        CORLA_Rune_SetOpenDelegate(
            [](void *, uint32_t a, uint32_t b, int *flag) -> CorlaRune * {
                ++asked;
                CorlaString *path = CORLA_String_Create();
                CorlaRune *r = CORLA_Rune_Create();
                CORLA_Rune_AddRef(r);
                if (!CORLA_Setup_LocateRune(path, a, b, nullptr) || CORLA_Rune_Load(r, CORLA_String_WCStr(path)) != 0) {
                    CORLA_Rune_RemRef(r);
                    r = nullptr;
                } else {
                    *flag = 1;
                }
                CORLA_String_Destroy(path);
                return r;
            },
            &m);
        QCOMPARE(connectTo(m, emu.path()), int(CORLA_STATUS_OK));
        QCOMPARE(asked, 2);
        QCOMPARE(CORLA_Debug_RefCount(CORLA_ICal_GetRune(m.ecu)), 1);  // the ECU's own
        CORLA_Rune_SetOpenDelegate(nullptr, &m);
    }

    void handleCounting()
    {
        const int before = CORLA_Debug_LiveObjects(CORLA_KIND_ALL);
        const int bad = CORLA_Debug_BadReleases();
        CorlaRune *r = CORLA_Rune_Create();
        QCOMPARE(CORLA_Debug_RefCount(r), 0);  // created without a reference
        QCOMPARE(CORLA_Rune_AddRef(r), 1);
        QCOMPARE(CORLA_Rune_AddRef(r), 2);
        CorlaRuneRef *holder = CORLA_RuneRef_Create();
        CORLA_RuneRef_Set(holder, r);
        QCOMPARE(CORLA_RuneRef_Get(holder), r);
        QCOMPARE(CORLA_Debug_RefCount(r), 2);  // holders do not count
        QCOMPARE(CORLA_Rune_RemRef(r), 1);
        QCOMPARE(CORLA_Rune_RemRef(r), 0);
        QCOMPARE(CORLA_Debug_LiveObjects(CORLA_KIND_RUNE), 0);
        QTest::ignoreMessage(QtWarningMsg, "corla: CORLA_Rune_RemRef of an object that is not alive (ignored)");
        QCOMPARE(CORLA_Rune_RemRef(r), 0);  // double release: caught, not a crash
        ++deliberateBadReleases_;
        QCOMPARE(CORLA_Debug_BadReleases(), bad + 1);
        CORLA_RuneRef_Destroy(holder);

        // A calibration keeps its RUNE; an upload transaction keeps its calibration.
        CorlaEcu *ecu = CORLA_Ecu_Create();
        CORLA_ICal_AddRef(ecu);
        CorlaRune *r2 = CORLA_Rune_Create();
        CORLA_Ecu_SetRune(ecu, r2);
        QCOMPARE(CORLA_Debug_RefCount(r2), 1);
        CorlaCal *cal = CORLA_Ecu_NewCalibration(ecu);
        QCOMPARE(CORLA_Debug_RefCount(r2), 2);
        CorlaEcuTxn *up = CORLA_EcuTxn_UploadCal_Create(cal);
        CORLA_EcuTxn_AddRef(up);
        QCOMPARE(CORLA_Debug_RefCount(cal), 2);
        CORLA_Ecu_NewCalibration(ecu);  // the old one lives on in the transaction
        QCOMPARE(CORLA_Debug_RefCount(cal), 1);
        QCOMPARE(str(CORLA_EcuTxn_GetName(up)), QStringLiteral("Upload Calibration"));
        QCOMPARE(CORLA_EcuTxn_GetStatus(up), -1);
        CORLA_EcuTxn_RemRef(up);
        CORLA_ICal_RemRef(ecu);
        QCOMPARE(CORLA_Debug_LiveObjects(CORLA_KIND_ALL), before);
        QCOMPARE(CORLA_Debug_BadReleases(), bad + 1);
        CORLA_String_Destroy(nullptr);  // null is not a bad release
        QCOMPARE(CORLA_Debug_BadReleases(), bad + 1);
    }

    void startRefused()
    {
        Mediator m;
        Txn c(CORLA_EcuTxn_Connect_Create());
        QCOMPARE(CORLA_EcuTxn_Start(c.txn, nullptr, nullptr), 0);
        QVERIFY(c.start(m));
        QVERIFY(!c.start(m));  // started once only
        // No port: status 2 through the event loop.
        QTRY_COMPARE(c.done, QList<int>{CORLA_STATUS_NO_PORT});
        QVERIFY(m.log.join('\n').contains(QLatin1String("no port is selected")));
        // A port that cannot be opened says why.
        m.usePort(tmpPath(QStringLiteral("absent-device")));
        Txn d(CORLA_EcuTxn_Connect_Create());
        QVERIFY(d.start(m));
        QTRY_COMPARE(d.done, QList<int>{CORLA_STATUS_PORT_OPEN});
        QVERIFY2(m.log.last().contains(QLatin1String("Cannot open port")), qPrintable(m.log.last()));
    }

    void withdrawnMediator()
    {
        // A mediator that withdraws its hook is never called again, even for work already started.
        EmulatorProcess emu(QStringList{});
        auto m = std::make_unique<Mediator>();
        m->usePort(emu.path());
        CORLA_Rune_SetOpenDelegate([](void *, uint32_t, uint32_t, int *) -> CorlaRune * { return nullptr; }, m.get());
        {
            Txn c(CORLA_EcuTxn_Connect_Create());
            QVERIFY(c.start(*m));
            CORLA_Rune_SetOpenDelegate(nullptr, m.get());
            QTest::qWait(200);  // on purpose: the started work gets the time to call back, and must not
            QVERIFY(c.done.isEmpty());
            QCOMPARE(m->txnStarted, 0);
        }
        CORLA_Ecu_DisconnectAndWait(m->ecu);  // must not touch the released transaction
        QTest::qWait(50);  // on purpose, as above
        QVERIFY(m->status.isEmpty());
        m.reset();
        QCoreApplication::processEvents();
    }

    void fullUpload()
    {
        const QString calFile = tmpPath(QStringLiteral("full.cal"));
        EmulatorProcess emu({QStringLiteral("--cal-file"), calFile});
        Mediator m;
        QCOMPARE(connectTo(m, emu.path()), 0);
        const QByteArray image = randomImage(5000);
        const QByteArray expect = prepareCalibration(m, "setup.kelda", image);
        QVERIFY(!expect.isEmpty());
        QCOMPARE(expect.mid(88, 8), QByteArray("setup.ke"));
        Txn u(CORLA_EcuTxn_UploadCal_Create(CORLA_Ecu_GetCalibration(m.ecu)));
        QCOMPARE(upload(m, u), int(CORLA_STATUS_OK));
        QCOMPARE(readFile(calFile), expect);
        QCOMPARE(m.intLogAsked, 1);
        QCOMPARE(m.engineAsked, 0);
        // The bar is full only once the module has committed.
        QVERIFY(m.progress.size() >= 2);
        QCOMPARE(m.progress.last(), 1.0);
        QVERIFY(m.progress.at(m.progress.size() - 2) < 1.0);
        QVERIFY(std::is_sorted(m.progress.begin(), m.progress.end()));
        QVERIFY2(m.log.contains(QStringLiteral("Sent 5008 calibration bytes in 2 WRITE requests.")),
                 qPrintable(m.log.join('\n')));
        QCOMPARE(m.reentrant, 0);
        QCOMPARE(CORLA_EcuTxn_GetStatus(u.txn), 0);
        QCOMPARE(CORLA_EcuTxn_GetModuleHolds(u.txn), int(CORLA_HOLDS_NEW));
        uint32_t length = 0, crc = 0;
        QVERIFY(CORLA_Ecu_GetStoredCalibration(m.ecu, &length, &crc));
        QCOMPARE(length, uint32_t(expect.size()));
        QCOMPARE(crc, CORLA_ICal_GetCrc32(CORLA_Ecu_GetCalibration(m.ecu)));
    }

    // Only what changed crosses the line; what the module holds already, not at all.
    void changedBlocksOnly_data()
    {
        QTest::addColumn<bool>("oldModule");
        QTest::newRow("module with SUMS") << false;
        QTest::newRow("module from before SUMS") << true;
    }

    void changedBlocksOnly()
    {
        QFETCH(bool, oldModule);
        const QString calFile = tmpPath(QStringLiteral("delta.cal"));
        QFile::remove(calFile);
        QStringList args{QStringLiteral("--stats"), QStringLiteral("--cal-file"), calFile};
        if (oldModule)
            args << QStringLiteral("--old");
        EmulatorProcess emu(args);
        Mediator m;
        QCOMPARE(connectTo(m, emu.path()), 0);
        QByteArray image = randomImage(12000);
        prepareCalibration(m, "delta.kelda", image);
        Txn first(CORLA_EcuTxn_UploadCal_Create(CORLA_Ecu_GetCalibration(m.ecu)));
        QCOMPARE(upload(m, first), 0);
        QTRY_COMPARE(emu.printedLines().size(), 1);
        QCOMPARE(statValue(emu.printedLines().at(0), QStringLiteral("data")), 12000 + 8);
        QCOMPARE(statValue(emu.printedLines().at(0), QStringLiteral("WRITE")), oldModule ? 12 : 3);

        // The same calibration again: nothing is written, not even BEGIN.
        m.log.clear();
        prepareCalibration(m, "delta.kelda", image);
        Txn same(CORLA_EcuTxn_UploadCal_Create(CORLA_Ecu_GetCalibration(m.ecu)));
        QCOMPARE(upload(m, same), 0);
        QVERIFY2(m.log.contains(QStringLiteral("The module already holds this calibration.")),
                 qPrintable(m.log.join('\n')));
        QCOMPARE(CORLA_EcuTxn_GetModuleHolds(same.txn), int(CORLA_HOLDS_NEW));

        // Two bytes far apart: two blocks (12096 bytes compare in blocks of 256).
        image[5] = char(image[5] ^ 0x40);
        image[11000] = char(image[11000] ^ 0x01);
        const QByteArray expect = prepareCalibration(m, "delta.kelda", image);
        m.log.clear();
        Txn changed(CORLA_EcuTxn_UploadCal_Create(CORLA_Ecu_GetCalibration(m.ecu)));
        QCOMPARE(upload(m, changed), 0);
        QCOMPARE(readFile(calFile), expect);
        QTRY_COMPARE(emu.printedLines().size(), 2);
        const QString stats = emu.printedLines().at(1);
        if (oldModule) {
            QCOMPARE(statValue(stats, QStringLiteral("data")), 12000 + 8);
            QVERIFY2(m.log.join('\n').contains(QLatin1String("sending the whole calibration")),
                     qPrintable(m.log.join('\n')));
        } else {
            // Two SUMS: the identical upload before compared every block too.
            QCOMPARE(statValue(stats, QStringLiteral("SUMS")), 2);
            QCOMPARE(statValue(stats, QStringLiteral("WRITE")), 2);
            QCOMPARE(statValue(stats, QStringLiteral("data")), 2 * 256);
            QVERIFY2(
                m.log.contains(QStringLiteral("Sent 512 of 12096 calibration bytes in 2 WRITE requests; the module "
                                              "kept the other 11584 from its stored calibration.")),
                qPrintable(m.log.join('\n')));
        }
    }

    // Compares the module's stored calibration with name and image (a
    // calibration of its own, so that the ECU's stays for the upload).
    int compare(Mediator &m, const QByteArray &name, const QByteArray &image)
    {
        prepareCalibration(m, name, image);
        CorlaICal *cal = CORLA_Ecu_GetCalibration(m.ecu);
        CORLA_ICal_AddRef(cal);
        const auto release = qScopeGuard([cal] { CORLA_ICal_RemRef(cal); });
        Txn c(CORLA_EcuTxn_CompareCal_Create(cal));
        return upload(m, c);
    }

    // An upload right after a compare on the same connection takes the
    // stored calibration from the compare: one IDENTIFY instead of SUMS, and
    // only the bytes that differ. After an upload, or on another connection,
    // it asks for the block sums again. The module stores the same bytes
    // whichever way.
    void uploadAfterCompare()
    {
        const QString calFile = tmpPath(QStringLiteral("after-compare.cal"));
        QFile::remove(calFile);
        EmulatorProcess emu({QStringLiteral("--stats"), QStringLiteral("--cal-file"), calFile});
        Mediator m;
        QCOMPARE(connectTo(m, emu.path()), 0);
        QByteArray image = randomImage(12000);
        prepareCalibration(m, "after.kelda", image);
        Txn first(CORLA_EcuTxn_UploadCal_Create(CORLA_Ecu_GetCalibration(m.ecu)));
        QCOMPARE(upload(m, first), 0);
        const auto uploadChanged = [&](const QByteArray &changed, bool compareFirst, QString *stats) {
            if (compareFirst && compare(m, "after.kelda", changed) != 0)
                return false;
            const QByteArray expect = prepareCalibration(m, "after.kelda", changed);
            m.log.clear();
            Txn u(CORLA_EcuTxn_UploadCal_Create(CORLA_Ecu_GetCalibration(m.ecu)));
            const qsizetype printed = emu.printedLines().size();
            if (upload(m, u) != 0 || !waitUntil([&] { return emu.printedLines().size() > printed; }, 5000))
                return false;
            *stats = emu.printedLines().last();
            return readFile(calFile) == expect;
        };

        // One byte; two 12 apart (one WRITE); one far off; three appended.
        image[5] = char(image[5] ^ 0x40);
        image[7000] = char(image[7000] ^ 0x01);
        image[7012] = char(image[7012] ^ 0x80);
        image[11000] = char(image[11000] ^ 0x02);
        image.append("abc");
        QString stats;
        QVERIFY(uploadChanged(image, true, &stats));
        QCOMPARE(statValue(stats, QStringLiteral("SUMS")), 1);  // the compare's (the first upload went into nothing)
        QCOMPARE(statValue(stats, QStringLiteral("READ")), 3);  // the compare's: three differing blocks
        QCOMPARE(statValue(stats, QStringLiteral("WRITE")), 4);
        QCOMPARE(statValue(stats, QStringLiteral("data")), 1 + 13 + 1 + 3);
        const QString log = m.log.join('\n');
        QVERIFY2(log.contains(QLatin1String("still stores the calibration compared before (12096 bytes")),
                 qPrintable(log));

        // Nothing compared since that upload: the block sums are asked again.
        image[100] = char(image[100] ^ 0x04);
        QVERIFY(uploadChanged(image, false, &stats));
        QCOMPARE(statValue(stats, QStringLiteral("SUMS")), 1);
        QCOMPARE(statValue(stats, QStringLiteral("data")), 256);
        QVERIFY2(!m.log.join('\n').contains(QLatin1String("compared")), qPrintable(m.log.join('\n')));

        // Compared, then connected again: another connection asks again too.
        image[200] = char(image[200] ^ 0x04);
        QCOMPARE(compare(m, "after.kelda", image), 0);
        CORLA_Ecu_DisconnectAndWait(m.ecu);
        QCOMPARE(connectTo(m, emu.path()), 0);
        QVERIFY(uploadChanged(image, false, &stats));
        QCOMPARE(statValue(stats, QStringLiteral("SUMS")), 2);
        QCOMPARE(statValue(stats, QStringLiteral("data")), 256);

        // Compared with what the module holds: nothing is written at all.
        QCOMPARE(compare(m, "after.kelda", image), 0);
        prepareCalibration(m, "after.kelda", image);
        m.log.clear();
        Txn same(CORLA_EcuTxn_UploadCal_Create(CORLA_Ecu_GetCalibration(m.ecu)));
        QCOMPARE(upload(m, same), 0);
        QVERIFY2(m.log.contains(QStringLiteral("The module already holds this calibration.")),
                 qPrintable(m.log.join('\n')));
        QTest::qWait(200);  // no COMMIT may follow
        QCOMPARE(emu.printedLines().size(), 4);
    }

    // After a failure once COMMIT was sent, the module is asked what it holds.
    void failureAfterCommit_data()
    {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<qint64>("fileSizeLimit");
        QTest::addColumn<bool>("abortWhileCommitting");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("holds");
        const QStringList mute3{"--mute-after-commit", "3"};  // the COMMIT and its three retries go unanswered
        QTest::newRow("committed, then silent")
            << mute3 << qint64(-1) << false << int(CORLA_STATUS_TIMEOUT) << int(CORLA_HOLDS_NEW);
        QTest::newRow("full disk, then silent")
            << mute3 << qint64(1000) << false << int(CORLA_STATUS_TIMEOUT) << int(CORLA_HOLDS_PREVIOUS_CHECKED);
        QTest::newRow("full disk") << QStringList() << qint64(1000) << false << int(CORLA_STATUS_STORAGE_FAILED)
                                   << int(CORLA_HOLDS_PREVIOUS_CHECKED);
        QTest::newRow("never answers again") << QStringList{"--mute-after-commit", "1000"} << qint64(-1) << false
                                             << int(CORLA_STATUS_TIMEOUT) << int(CORLA_HOLDS_UNKNOWN);
        QTest::newRow("aborted while committing") << QStringList{"--mute-after-commit", "0"} << qint64(-1) << true
                                                  << int(CORLA_STATUS_ABORTED) << int(CORLA_HOLDS_NEW);
    }

    void failureAfterCommit()
    {
        QFETCH(QStringList, faults);
        QFETCH(qint64, fileSizeLimit);
        QFETCH(bool, abortWhileCommitting);
        QFETCH(int, status);
        QFETCH(int, holds);
        // Short, so that four unanswered COMMITs take a second or two; an abort
        // needs the time to come while the first one waits.
        qputenv("CORLA_COMMIT_TIMEOUT_MS", abortWhileCommitting ? "10000" : "100");
        const QString calFile = tmpPath(QStringLiteral("commit.cal"));
        const QByteArray previous = randomImage(900);
        QVERIFY(writeFile(calFile, previous));
        EmulatorProcess emu(faults + QStringList{QStringLiteral("--cal-file"), calFile}, fileSizeLimit);
        Mediator m;
        QCOMPARE(connectTo(m, emu.path()), 0);
        const QByteArray expect = prepareCalibration(m, "c.kelda", randomImage(3000));
        Txn u(CORLA_EcuTxn_UploadCal_Create(CORLA_Ecu_GetCalibration(m.ecu)));
        int result = -1;
        if (abortWhileCommitting) {
            QVERIFY(u.start(m));
            QTRY_VERIFY(m.log.join('\n').contains(QLatin1String("Verified")));
            CORLA_EcuTxn_Abort(u.txn);
            CORLA_Ecu_DisconnectAndWait(m.ecu);
            result = u.done.value(0, -1);
        } else {
            result = upload(m, u);
        }
        qunsetenv("CORLA_COMMIT_TIMEOUT_MS");
        QCOMPARE(result, status);
        QCOMPARE(CORLA_EcuTxn_GetModuleHolds(u.txn), holds);
        // Unknown to the host, but the emulated module did store it.
        QCOMPARE(readFile(calFile), fileSizeLimit < 0 ? expect : previous);
        if (!abortWhileCommitting)  // an abort's lines are dropped with the disconnection
            QVERIFY2(m.log.last() == str(CORLA_ModuleHoldsText(holds)), qPrintable(m.log.join('\n')));
        // A failed write leaves nothing behind in the folder.
        QCOMPARE(QDir(tmpPath(QString())).entryList({QStringLiteral(".commit.cal.*")}, QDir::Hidden | QDir::Files),
                 QStringList());
    }

    void readBack()
    {
        const QString calFile = tmpPath(QStringLiteral("read.cal"));
        QFile::remove(calFile);
        EmulatorProcess emu({QStringLiteral("--cal-file"), calFile});
        Mediator m;
        QCOMPARE(connectTo(m, emu.path()), 0);
        CorlaCal *target = CORLA_Ecu_NewCalibration(m.ecu);
        Txn empty(CORLA_EcuTxn_ReadCal_Create(target));
        QCOMPARE(str(CORLA_EcuTxn_GetName(empty.txn)), QStringLiteral("Read Calibration"));
        QCOMPARE(upload(m, empty), 0);
        QCOMPARE(CORLA_ICal_GetDataEnd(target), uint32_t(0));

        const QByteArray expect = prepareCalibration(m, "r.kelda", randomImage(2500));
        Txn u(CORLA_EcuTxn_UploadCal_Create(CORLA_Ecu_GetCalibration(m.ecu)));
        QCOMPARE(upload(m, u), 0);
        target = CORLA_Ecu_NewCalibration(m.ecu);
        Txn r(CORLA_EcuTxn_ReadCal_Create(target));
        QCOMPARE(upload(m, r), 0);
        QByteArray back(int(CORLA_ICal_GetDataEnd(target)), '\0');
        QCOMPARE(CORLA_ICal_ReadRawData(target, 0, uint32_t(back.size()), back.data()), 0);
        QCOMPARE(back, expect);

        // A module from before READ says so.
        EmulatorProcess old({QStringLiteral("--old"), QStringLiteral("--cal-file"), calFile});
        Mediator m2;
        QCOMPARE(connectTo(m2, old.path()), 0);
        Txn r2(CORLA_EcuTxn_ReadCal_Create(CORLA_Ecu_NewCalibration(m2.ecu)));
        QCOMPARE(upload(m2, r2), int(CORLA_STATUS_UNSUPPORTED));  // not a refusal: verify falls back on it
        QVERIFY2(m2.log.last().contains(QLatin1String("does not know READ")), qPrintable(m2.log.last()));
    }

    void uploadChecks()
    {
        EmulatorProcess emu(QStringList{});
        Mediator m;
        // Not connected.
        CORLA_Ecu_NewCalibration(m.ecu);
        Txn u0(CORLA_EcuTxn_UploadCal_Create(CORLA_Ecu_GetCalibration(m.ecu)));
        QCOMPARE(upload(m, u0), int(CORLA_STATUS_NOT_CONNECTED));
        QCOMPARE(connectTo(m, emu.path()), 0);
        // Empty calibration.
        CORLA_Ecu_NewCalibration(m.ecu);
        Txn u1(CORLA_EcuTxn_UploadCal_Create(CORLA_Ecu_GetCalibration(m.ecu)));
        QCOMPARE(upload(m, u1), int(CORLA_STATUS_BAD_CALIBRATION));
        // Writes outside the RUNE's calibration space are refused at once.
        CorlaCal *cal = CORLA_Ecu_NewCalibration(m.ecu);
        const char byte = 1;
        QVERIFY(CORLA_ICal_WriteRawDataEx(cal, 65535, 1, &byte, 0, 0, nullptr) == 0);
        QVERIFY(CORLA_ICal_WriteRawDataEx(cal, 65536, 1, &byte, 0, 0, nullptr) != 0);
        QVERIFY(CORLA_ICal_WriteRawDataEx(cal, 0xFFFFFFFF, 2, &byte, 0, 0, nullptr) != 0);
        char back[2] = {};
        QCOMPARE(CORLA_ICal_ReadRawData(cal, 65534, 2, back), 0);
        QCOMPARE(back[0], char(0xFF));
        QCOMPARE(back[1], byte);
    }

    void engineRunning()
    {
        const QString calFile = tmpPath(QStringLiteral("engine.cal"));
        QFile::remove(calFile);
        EmulatorProcess emu({QStringLiteral("--engine-running"), QStringLiteral("--cal-file"), calFile});
        Mediator m;
        QCOMPARE(connectTo(m, emu.path()), 0);
        prepareCalibration(m, "e.kelda", randomImage(300));
        // "Ok" while the engine still runs: asked again, every time.
        static int answers = 0;
        answers = 0;
        m.table.confirmEngineRunning = [](void *c) {
            ++static_cast<Mediator *>(c)->engineAsked;
            return ++answers < 3 ? 1 : 0;
        };
        Txn u(CORLA_EcuTxn_UploadCal_Create(CORLA_Ecu_GetCalibration(m.ecu)));
        QCOMPARE(upload(m, u), int(CORLA_STATUS_CANCELLED));
        QCOMPARE(m.engineAsked, 3);
        QVERIFY(!QFile::exists(calFile));
        QCOMPARE(m.intLogAsked, 0);

        // The engine stops after two more looks: asked three times, then uploaded.
        EmulatorProcess stops({QStringLiteral("--engine-running"), QStringLiteral("--engine-stops-after"),
                               QStringLiteral("2"), QStringLiteral("--cal-file"), calFile});
        Mediator m2;
        QCOMPARE(connectTo(m2, stops.path()), 0);
        const QByteArray expect = prepareCalibration(m2, "e.kelda", randomImage(300));
        Txn u2(CORLA_EcuTxn_UploadCal_Create(CORLA_Ecu_GetCalibration(m2.ecu)));
        QCOMPARE(upload(m2, u2), 0);
        QCOMPARE(m2.engineAsked, 3);
        QCOMPARE(readFile(calFile), expect);
        QVERIFY(m2.log.contains(QStringLiteral("The module reports that the engine is still running.")));
        // An invalid logging setup answered "no" also cancels.
        m2.intLogAnswer = false;
        prepareCalibration(m2, "e.kelda", randomImage(310));
        Txn u3(CORLA_EcuTxn_UploadCal_Create(CORLA_Ecu_GetCalibration(m2.ecu)));
        QCOMPARE(upload(m2, u3), int(CORLA_STATUS_CANCELLED));
        QCOMPARE(readFile(calFile), expect);
    }

    void faultsRecovered_data()
    {
        QTest::addColumn<QStringList>("faults");
        QTest::newRow("dropped replies") << QStringList{"--drop", "3"};
        QTest::newRow("corrupt replies") << QStringList{"--corrupt", "2"};
        QTest::newRow("late replies") << QStringList{"--delay", "4", "--delay-ms", "2500"};
        QTest::newRow("lost requests") << QStringList{"--drop-rx", "3"};
        QTest::newRow("corrupt requests") << QStringList{"--corrupt-rx", "2"};
        QTest::newRow("mixed") << QStringList{"--drop", "5", "--corrupt", "7", "--corrupt-rx", "4"};
    }

    void faultsRecovered()
    {
        QFETCH(QStringList, faults);
        const QString calFile = tmpPath(QStringLiteral("faults.cal"));
        QFile::remove(calFile);
        EmulatorProcess emu(faults + QStringList{QStringLiteral("--cal-file"), calFile});
        Mediator m;
        QCOMPARE(connectTo(m, emu.path()), 0);
        const QByteArray expect = prepareCalibration(m, "faults.kelda", randomImage(16000));
        Txn u(CORLA_EcuTxn_UploadCal_Create(CORLA_Ecu_GetCalibration(m.ecu)));
        QCOMPARE(upload(m, u), 0);
        QCOMPARE(readFile(calFile), expect);
        QVERIFY2(m.log.join('\n').contains(QLatin1String("retrying")), qPrintable(m.log.join('\n')));
    }

    // The codec both ends share: a silence ends a partial frame, and a frame
    // that starts inside a bad one is still found.
    void frameParserResynchronises()
    {
        using Ev = proto::FrameParser::Event;
        const QByteArray good = proto::encode(proto::Status, 7);
        QByteArray longLength = proto::encode(proto::Write, 8, QByteArray(40, 'x'));
        longLength[2] = char(0x0F);  // claims almost 4 KiB more than it has
        proto::Frame f;
        {
            // Bytes that follow without a pause belong to the partial frame.
            proto::FrameParser p;
            p.setLineRate(38400);
            p.feed(longLength, 0);
            p.feed(good, 5);
            QCOMPARE(p.next(&f), Ev::None);
        }
        {
            // After 20 ms of silence (20 byte times are less at 38400 baud) the partial frame is dropped.
            proto::FrameParser p;
            p.setLineRate(38400);
            p.feed(longLength, 0);
            p.feed(good, 20);
            QCOMPARE(p.next(&f), Ev::Dropped);
            Ev ev;
            while ((ev = p.next(&f)) == Ev::Dropped) { }
            QCOMPARE(ev, Ev::Frame);
            QCOMPARE(f.command, uint8_t(proto::Status));
            QCOMPARE(f.sequence, uint8_t(7));
            QCOMPARE(p.next(&f), Ev::None);
        }
        {
            // At 1200 baud 20 byte times (167 ms) are the silence, not 20 ms.
            proto::FrameParser p;
            p.setLineRate(1200);
            p.feed(longLength, 0);
            p.feed(good, 100);
            QCOMPARE(p.next(&f), Ev::None);
            QCOMPARE(proto::silenceMs(1200), 10 * 1000.0 / 1200 * 20);
        }
        {
            // A frame inside one whose CRC fails: the hunt resumes right after the bad frame's start.
            QByteArray bad = proto::encode(proto::Write, 9, QByteArray(3, 'y') + good + QByteArray(3, 'z'));
            bad[bad.size() - 1] = char(bad[bad.size() - 1] ^ 0x01);
            proto::FrameParser p;
            p.feed(bad + good, 0);
            QCOMPARE(p.next(&f), Ev::Corrupt);
            QCOMPARE(p.next(&f), Ev::Frame);
            QCOMPARE(f.sequence, uint8_t(7));
            QCOMPARE(p.next(&f), Ev::Frame);  // and the one after it
            QCOMPARE(p.next(&f), Ev::None);
        }
    }

    // A delta upload on an emulator that holds `previous`, with these faults:
    // true when it succeeded and the module stores what it should.
    bool deltaUpload(const QByteArray &previous, const QByteArray &image, const QStringList &faults, int *retries,
                     QString *stats = nullptr)
    {
        const QString calFile = tmpPath(QStringLiteral("sweep.cal"));
        if (!writeFile(calFile, previous))
            return false;
        EmulatorProcess emu(faults + QStringList{QStringLiteral("--stats"), QStringLiteral("--cal-file"), calFile});
        Mediator m;
        if (connectTo(m, emu.path()) != 0)
            return false;
        const QByteArray expect = prepareCalibration(m, "sweep.kelda", image);
        Txn u(CORLA_EcuTxn_UploadCal_Create(CORLA_Ecu_GetCalibration(m.ecu)));
        const int status = upload(m, u);
        *retries = int(m.log.filter(QStringLiteral("retrying")).size());
        if (stats) {
            waitUntil([&] { return !emu.printedLines().isEmpty(); }, 5000);
            *stats = emu.printedLines().value(0);
        }
        return status == 0 && readFile(calFile) == expect;
    }

    // What the module holds before the delta uploads, and the image they send.
    void deltaCase(QByteArray *previous, QByteArray *image)
    {
        *image = randomImage(600);
        const QString calFile = tmpPath(QStringLiteral("sweep.cal"));
        QFile::remove(calFile);
        {
            EmulatorProcess emu({QStringLiteral("--cal-file"), calFile});
            Mediator m;
            QCOMPARE(connectTo(m, emu.path()), 0);
            prepareCalibration(m, "sweep.kelda", *image);
            Txn u(CORLA_EcuTxn_UploadCal_Create(CORLA_Ecu_GetCalibration(m.ecu)));
            QCOMPARE(upload(m, u), 0);
        }
        *previous = readFile(calFile);
        (*image)[300] = char((*image)[300] ^ 0x08);
    }

    // A damaged length byte that claims a longer frame: the partial frame is
    // dropped at the silence before the retry, which then goes through.
    void damagedLengthCostsOneRetry_data()
    {
        QTest::addColumn<QStringList>("faults");
        // Host to module: IDENTIFY (8 bytes), SUMS (16), BEGIN (13), then WRITE.
        QTest::newRow("IDENTIFY request") << QStringList{"--damage-rx", "2"};
        QTest::newRow("WRITE request") << QStringList{"--damage-rx", "39"};
        QTest::newRow("IDENTIFY reply") << QStringList{"--damage-tx", "2"};
        QTest::newRow("SUMS reply") << QStringList{"--damage-tx", "30"};
    }

    void damagedLengthCostsOneRetry()
    {
        QFETCH(QStringList, faults);
        QByteArray previous, image;
        deltaCase(&previous, &image);
        int retries = 0;
        QVERIFY(deltaUpload(previous, image, faults, &retries));
        QCOMPARE(retries, 1);
    }

    // One damaged byte anywhere in a delta upload, in either direction, costs
    // a retry and never the upload: the damaged frame is dropped (a silence
    // ends a partial one), the hunt resumes inside it, the retry starts clean.
    void damagedByteSweep()
    {
        // Short timeouts keep the sweep short; under a loaded machine they can
        // cost a retry more, so only the outcome is asserted, and an upload
        // that failed is tried once more: the damage is the same each time,
        // so only a fault fails twice.
        qputenv("CORLA_REPLY_TIMEOUT_MS", "60");
        qputenv("CORLA_COMMIT_TIMEOUT_MS", "0");
        const auto restore = qScopeGuard([] {
            qunsetenv("CORLA_REPLY_TIMEOUT_MS");
            qunsetenv("CORLA_COMMIT_TIMEOUT_MS");
        });
        QByteArray previous, image;
        deltaCase(&previous, &image);
        int retries = 0;
        QString stats;
        QVERIFY(deltaUpload(previous, image, {}, &retries, &stats));
        QCOMPARE(statValue(stats, QStringLiteral("WRITE")), 1);  // a delta: one changed block
        const int received = statValue(stats, QStringLiteral("received"));
        const int sent = statValue(stats, QStringLiteral("sent")) + proto::kOverhead + 1;  // and COMMIT's reply
        QVERIFY(received > 100 && sent > 50);

        QStringList failed;
        int worst = 0, total = 0, again = 0;
        for (const char *option : {"--damage-rx", "--damage-tx"}) {
            const int count = option[9] == 'r' ? received : sent;
            for (int at = 0; at < count; ++at) {
                // Each byte once, the flipped bit going round, so that every
                // bit of the length and marker bytes is hit somewhere.
                const QString mask = QString::number(1 << (at % 8));
                const QStringList damage = {QLatin1String(option), QString::number(at), QStringLiteral("--damage-xor"),
                                            mask};
                int r = 0;
                if (!deltaUpload(previous, image, damage, &r)) {
                    ++again;
                    if (!deltaUpload(previous, image, damage, &r))
                        failed << QStringLiteral("%1 %2 (xor %3)").arg(QLatin1String(option)).arg(at).arg(mask);
                }
                worst = std::max(worst, r);
                total += r;
            }
        }
        qInfo("%d bytes received and %d sent damaged one at a time: %d retries in all, at most %d in one upload; "
              "%d uploads tried again",
              received, sent, total, worst, again);
        QVERIFY2(failed.isEmpty(), qPrintable(failed.join(QStringLiteral(", "))));
    }

    void silentModule()
    {
        // Silent from the start: connect times out with a clear line.
        {
            EmulatorProcess emu({QStringLiteral("--silent-after"), QStringLiteral("0")});
            Mediator m;
            QElapsedTimer t;
            t.start();
            QCOMPARE(connectTo(m, emu.path()), int(CORLA_STATUS_TIMEOUT));
            QVERIFY(m.log.last().contains(QLatin1String("No valid reply")));
            QVERIFY(!CORLA_Ecu_IsConnected(m.ecu));
        }
        // Silent in the middle of an upload: timeout, previous calibration kept.
        const QString calFile = tmpPath(QStringLiteral("silent.cal"));
        QVERIFY(writeFile(calFile, "previous calibration"));
        EmulatorProcess emu(
            {QStringLiteral("--silent-after"), QStringLiteral("3000"), QStringLiteral("--cal-file"), calFile});
        Mediator m;
        QCOMPARE(connectTo(m, emu.path()), 0);
        prepareCalibration(m, "s.kelda", randomImage(8000));
        Txn u(CORLA_EcuTxn_UploadCal_Create(CORLA_Ecu_GetCalibration(m.ecu)));
        QCOMPARE(upload(m, u), int(CORLA_STATUS_TIMEOUT));
        QCOMPARE(readFile(calFile), QByteArray("previous calibration"));
    }

    void moduleDies()
    {
        const QString calFile = tmpPath(QStringLiteral("dies.cal"));
        QVERIFY(writeFile(calFile, "old"));
        EmulatorProcess emu(
            {QStringLiteral("--exit-after"), QStringLiteral("4000"), QStringLiteral("--cal-file"), calFile});
        Mediator m;
        QCOMPARE(connectTo(m, emu.path()), 0);
        prepareCalibration(m, "d.kelda", randomImage(8000));
        Txn u(CORLA_EcuTxn_UploadCal_Create(CORLA_Ecu_GetCalibration(m.ecu)));
        QCOMPARE(upload(m, u), int(CORLA_STATUS_LINK_LOST));
        QVERIFY2(m.log.last().contains(QLatin1String("failed")), qPrintable(m.log.last()));
        QVERIFY(!CORLA_Ecu_IsConnected(m.ecu));
        QCOMPARE(readFile(calFile), QByteArray("old"));
    }

    void abortKeepsPrevious()
    {
        const QString calFile = tmpPath(QStringLiteral("abort.cal"));
        QVERIFY(writeFile(calFile, "kept"));
        EmulatorProcess emu({QStringLiteral("--baud"), QStringLiteral("38400"), QStringLiteral("--cal-file"), calFile});
        Mediator m;
        QCOMPARE(connectTo(m, emu.path()), 0);
        prepareCalibration(m, "a.kelda", randomImage(12000));
        Txn u(CORLA_EcuTxn_UploadCal_Create(CORLA_Ecu_GetCalibration(m.ecu)));
        QVERIFY(u.start(m));
        QTRY_VERIFY(m.progress.size() >= 2);  // under way
        // As the mediator does: abort, then disconnect; every report is in by the return.
        m.insideLibraryCall = true;
        CORLA_EcuTxn_Abort(u.txn);
        m.insideLibraryCall = false;
        const int removed = m.removeTxn;
        CORLA_Ecu_DisconnectAndWait(m.ecu);
        QCOMPARE(u.done, QList<int>{CORLA_STATUS_ABORTED});
        QCOMPARE(m.removeTxn, removed + 1);
        QVERIFY(m.txnFinished.size() == 1);  // only the connect: an abort is reported through removeTxn
        QCOMPARE(m.reentrant, 0);
        QTRY_VERIFY(m.status.contains(QStringLiteral("Disconnected")));
        QTest::qWait(300);  // on purpose: the module gets the time to commit, and must not
        QCOMPARE(readFile(calFile), QByteArray("kept"));
        // Aborting a finished transaction does nothing.
        CORLA_EcuTxn_Abort(u.txn);
        QCoreApplication::processEvents();
        QCOMPARE(u.done.size(), 1);
    }

    void disconnectWithoutAbort()
    {
        // DisconnectAndWait alone aborts what runs and reports it before returning.
        EmulatorProcess emu({QStringLiteral("--baud"), QStringLiteral("38400")});
        Mediator m;
        QCOMPARE(connectTo(m, emu.path()), 0);
        prepareCalibration(m, "b.kelda", randomImage(4000));
        Txn u(CORLA_EcuTxn_UploadCal_Create(CORLA_Ecu_GetCalibration(m.ecu)));
        Txn c(CORLA_EcuTxn_Connect_Create());
        QVERIFY(u.start(m));
        QVERIFY(c.start(m));  // waits behind the upload
        CORLA_Ecu_DisconnectAndWait(m.ecu);
        QCOMPARE(u.done, QList<int>{CORLA_STATUS_ABORTED});
        QCOMPARE(c.done, QList<int>{CORLA_STATUS_ABORTED});
        QVERIFY(!CORLA_Ecu_IsConnected(m.ecu));
    }

    // A RUNE folder is read like any input: links to devices and pipes named
    // *.rune are passed over, never opened, and a RUNE file is bounded.
    void runeFilesAreInputs()
    {
        const QString folder = tmpPath(QStringLiteral("hostile-runes"));
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(QFile::link(QStringLiteral("/dev/zero"), folder + QStringLiteral("/a-zero.rune")));
        QCOMPARE(::mkfifo(QFile::encodeName(folder + QStringLiteral("/b-fifo.rune")).constData(), 0600), 0);
        QVERIFY(QFile::copy(runeFolder() + QStringLiteral("/lx2-30v.rune"), folder + QStringLiteral("/c-lx2.rune")));
        QVERIFY(QFile::link(folder + QStringLiteral("/c-lx2.rune"), folder + QStringLiteral("/d-link.rune")));
        const QByteArray saved = qgetenv("CORLA_RUNE_PATH");
        qputenv("CORLA_RUNE_PATH", QFile::encodeName(folder));
        const auto restore = qScopeGuard([saved] { qputenv("CORLA_RUNE_PATH", saved); });
        QVERIFY(CORLA_Setup_IsInstalled(0x4C32, 0x3005, 0));
        QVERIFY(!CORLA_Setup_IsInstalled(0x4C31, 0x1203, 0));

        CorlaRune *r = CORLA_Rune_Create();
        CORLA_Rune_AddRef(r);
        for (const QString &name : {QStringLiteral("a-zero.rune"), QStringLiteral("b-fifo.rune")}) {
            QCOMPARE(CORLA_Rune_Load(r, wide(folder + QLatin1Char('/') + name).c_str()), 1);
            QVERIFY2(str(CORLA_Rune_GetError(r)).endsWith(QLatin1String(": not a regular file")),
                     qPrintable(str(CORLA_Rune_GetError(r))));
        }
        QCOMPARE(CORLA_Rune_Load(r, wide(folder + QStringLiteral("/d-link.rune")).c_str()), 0);
        const QString huge = tmpPath(QStringLiteral("huge.rune"));
        QVERIFY(writeFile(huge, "corla-rune 1\n" + QByteArray(2 * 1024 * 1024, '#')));
        QCOMPARE(CORLA_Rune_Load(r, wide(huge).c_str()), 1);
        QVERIFY2(str(CORLA_Rune_GetError(r)).contains(QLatin1String("larger than")),
                 qPrintable(str(CORLA_Rune_GetError(r))));
        CORLA_Rune_RemRef(r);
    }

    void runeFiles()
    {
        QVERIFY(CORLA_Setup_IsInstalled(0x4C32, 0x3005, 0));
        QVERIFY(CORLA_Setup_IsInstalled(0x4C32, 0x2104, 0));
        QVERIFY(!CORLA_Setup_IsInstalled(0x4C39, 0x0100, 0));
        CorlaString *path = CORLA_String_Create();
        CorlaString *info = CORLA_String_Create();
        QVERIFY(CORLA_Setup_LocateRune(path, 0x4C32, 0x30FF, info));
        QVERIFY(str(CORLA_String_WCStr(path)).endsWith(QLatin1String("lx2-30v.rune")));
        QCOMPARE(str(CORLA_String_WCStr(info)), QStringLiteral("LX2 30v00"));
        QVERIFY(!CORLA_Setup_LocateRune(path, 0x4C32, 0x3100, info));
        QVERIFY(str(CORLA_String_WCStr(info)).contains(runeFolder()));
        CORLA_String_Clear(info);
        QCOMPARE(str(CORLA_String_WCStr(info)), QString());

        struct Bad {
            const char *text;
            int code;
            const char *why;
        };
        const Bad bad[] = {
            {"", 2, "corla-rune 1"},
            {"name LX2\n", 2, "corla-rune 1"},
            {"corla-rune 1\nname LX2\nversion 30v\nmodule 0x4C32\nfirmware 1\ncal.size 100\n", 3, "cal.name"},
            {"corla-rune 1\nname X\nversion 1\nmodule 70000\n", 2, ":4:"},
            {"corla-rune 1\ncolour blue\n", 2, "unknown key"},
            {"corla-rune 1\nname X\nversion 1\nmodule 1\nfirmware 5 4\n", 2, "range"},
            {"corla-rune 1\nname X\nversion 1\nmodule 1\nfirmware 1\ncal.size 90\ncal.name 88 8\n", 2, "outside"},
        };
        for (const Bad &b : bad) {
            const QString p = tmpPath(QStringLiteral("bad.rune"));
            QVERIFY(writeFile(p, b.text));
            CorlaRune *r = CORLA_Rune_Create();
            CORLA_Rune_AddRef(r);
            QCOMPARE(CORLA_Rune_Load(r, wide(p).c_str()), b.code);
            QVERIFY2(str(CORLA_Rune_GetError(r)).contains(QLatin1String(b.why)),
                     qPrintable(str(CORLA_Rune_GetError(r))));
            CORLA_Rune_RemRef(r);
        }
        CorlaRune *r = CORLA_Rune_Create();
        CORLA_Rune_AddRef(r);
        QCOMPARE(CORLA_Rune_Load(r, wide(tmpPath(QStringLiteral("absent.rune"))).c_str()), 1);
        QCOMPARE(CORLA_Rune_Load(r, wide(runeFolder() + QStringLiteral("/lx1.rune")).c_str()), 0);
        QCOMPARE(str(CORLA_Rune_GetName(r)), QStringLiteral("LX1"));
        QCOMPARE(CORLA_Rune_GetError(r)[0], u'\0');

        // The internal logging setup comes from the RUNE of a calibration.
        CorlaEcu *ecu = CORLA_Ecu_Create();
        CORLA_ICal_AddRef(ecu);
        CorlaIntLogSetup *setup = CORLA_IntLogSetup_Create();
        QVERIFY(CORLA_IntLogSetup_Parse(setup, ecu, info) != 0);  // no RUNE yet
        CORLA_Ecu_SetRune(ecu, r);
        QCOMPARE(CORLA_IntLogSetup_Parse(setup, ecu, info), 0);
        QCOMPARE(CORLA_IntLogSetup_GetChannelCount(setup), 1);
        QVERIFY(CORLA_IntLogChannel_IsLogListValid(CORLA_IntLogSetup_GetChannel(setup, 0), r, 0));
        QVERIFY(!CORLA_IntLogSetup_GetChannel(setup, 1));
        CorlaRune *other = CORLA_Rune_Create();
        CORLA_Rune_AddRef(other);
        QCOMPARE(CORLA_Rune_Load(other, wide(runeFolder() + QStringLiteral("/lx2-30v.rune")).c_str()), 0);
        QVERIFY(
            !CORLA_IntLogChannel_IsLogListValid(CORLA_IntLogSetup_GetChannel(setup, 0), other, 0));  // unknown signals
        CORLA_Rune_RemRef(other);
        CORLA_IntLogSetup_Destroy(setup);
        CORLA_ICal_RemRef(ecu);
        CORLA_Rune_RemRef(r);
        CORLA_String_Destroy(path);
        CORLA_String_Destroy(info);
    }
};

QTEST_GUILESS_MAIN(TestCorla)
#include "tst_corla.moc"
