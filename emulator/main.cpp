// lx2-emulator: an emulated module on a pseudo-terminal or a serial device.
#include "lx2module.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <errno.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] auto n = ::write(signalPipe[1], &c, 1);
}

struct Identity {
    const char *name;
    uint16_t module, firmware;
};
constexpr Identity kIdentities[] = {
    {"lx2-30v", 0x4C32, 0x3005},
    {"lx2-2x", 0x4C32, 0x2104},
    {"lx1", 0x4C31, 0x1203},
    {"none", 0x4C39, 0x0100},
};

bool parseWord(const QString &s, uint32_t max, uint32_t *out)
{
    bool ok = false;
    const qulonglong v =
        s.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) ? s.mid(2).toULongLong(&ok, 16) : s.toULongLong(&ok, 10);
    if (!ok || v > max)
        return false;
    *out = uint32_t(v);
    return true;
}

[[noreturn]] void die(const QString &what)
{
    std::fprintf(stderr, "lx2-emulator: %s\n", qPrintable(what));
    std::exit(2);
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("lx2-emulator"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KELDA_VERSION));

    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Emulates an LX2 module speaking the corla protocol. Without --device it creates a pseudo-terminal and "
        "prints its path as the first line of output."));
    p.addHelpOption();
    p.addVersionOption();
    const QCommandLineOption device({QStringLiteral("device")},
                                    QStringLiteral("Serve on this serial device instead of a pseudo-terminal."),
                                    QStringLiteral("path"));
    const QCommandLineOption link({QStringLiteral("link")},
                                  QStringLiteral("Also make a symbolic link to the pseudo-terminal at this path."),
                                  QStringLiteral("path"));
    const QCommandLineOption identity(
        {QStringLiteral("identity")},
        QStringLiteral("lx2-30v (default), lx2-2x, lx1 or none (a module no RUNE describes)."), QStringLiteral("kind"),
        QStringLiteral("lx2-30v"));
    const QCommandLineOption module({QStringLiteral("module")},
                                    QStringLiteral("Module identity word (overrides --identity)."),
                                    QStringLiteral("word"));
    const QCommandLineOption firmware({QStringLiteral("firmware")},
                                      QStringLiteral("Firmware identity word (overrides --identity)."),
                                      QStringLiteral("word"));
    const QCommandLineOption engine({QStringLiteral("engine-running")}, QStringLiteral("Report a running engine."));
    const QCommandLineOption capacity({QStringLiteral("capacity")},
                                      QStringLiteral("Calibration space in bytes (default 65536)."),
                                      QStringLiteral("bytes"), QStringLiteral("65536"));
    const QCommandLineOption baud(
        {QStringLiteral("baud")},
        QStringLiteral("Pace both directions to this line rate (10 bits a byte); 0 = no pacing."),
        QStringLiteral("rate"), QStringLiteral("0"));
    const QCommandLineOption drop({QStringLiteral("drop")}, QStringLiteral("Drop every N-th reply."),
                                  QStringLiteral("N"));
    const QCommandLineOption corrupt({QStringLiteral("corrupt")}, QStringLiteral("Corrupt every N-th reply."),
                                     QStringLiteral("N"));
    const QCommandLineOption delay({QStringLiteral("delay")}, QStringLiteral("Delay every N-th reply by --delay-ms."),
                                   QStringLiteral("N"));
    const QCommandLineOption delayMs({QStringLiteral("delay-ms")}, QStringLiteral("Delay in ms (default 1000)."),
                                     QStringLiteral("ms"), QStringLiteral("1000"));
    const QCommandLineOption dropRx({QStringLiteral("drop-rx")}, QStringLiteral("Lose every N-th request."),
                                    QStringLiteral("N"));
    const QCommandLineOption corruptRx({QStringLiteral("corrupt-rx")},
                                       QStringLiteral("Treat every N-th request as corrupt (answer NAK)."),
                                       QStringLiteral("N"));
    const QCommandLineOption silent({QStringLiteral("silent-after")},
                                    QStringLiteral("Stop answering after receiving N bytes."), QStringLiteral("N"));
    const QCommandLineOption exitAfter({QStringLiteral("exit-after")},
                                       QStringLiteral("Exit (status 3) after receiving N bytes."), QStringLiteral("N"));
    const QCommandLineOption calFile(
        {QStringLiteral("cal-file")},
        QStringLiteral("File holding the committed calibration (read at start, replaced atomically on commit)."),
        QStringLiteral("path"));
    const QCommandLineOption verbose({QStringLiteral("verbose")}, QStringLiteral("Log every frame to standard error."));
    const QCommandLineOption engineStops(
        {QStringLiteral("engine-stops-after")},
        QStringLiteral("With --engine-running: the engine stops once N STATUS requests have found it running."),
        QStringLiteral("N"));
    const QCommandLineOption mute(
        {QStringLiteral("mute-after-commit")},
        QStringLiteral("After a COMMIT (stored or not), answer neither it nor the next N requests."),
        QStringLiteral("N"));
    const QCommandLineOption old({QStringLiteral("old")},
                                 QStringLiteral("Behave like a module from before SUMS, READ, BEGIN from the stored "
                                                "calibration and WRITE requests larger than 1024 bytes."));
    const QCommandLineOption stats({QStringLiteral("stats")},
                                   QStringLiteral("Print a line on standard output for every COMMIT: the outcome and "
                                                  "the requests received since the last one."));
    const QCommandLineOption damageRx({QStringLiteral("damage-rx")},
                                      QStringLiteral("Damage the N-th byte received (counted from 0) once."),
                                      QStringLiteral("N"));
    const QCommandLineOption damageTx({QStringLiteral("damage-tx")},
                                      QStringLiteral("Damage the N-th byte sent (counted from 0) once."),
                                      QStringLiteral("N"));
    const QCommandLineOption damageXor({QStringLiteral("damage-xor")},
                                       QStringLiteral("The bits a damaged byte has flipped (default 0x01)."),
                                       QStringLiteral("mask"), QStringLiteral("0x01"));
    p.addOptions({device,      link,  identity, module, firmware,  engine,   capacity,  baud,    drop,
                  corrupt,     delay, delayMs,  dropRx, corruptRx, silent,   exitAfter, calFile, verbose,
                  engineStops, mute,  old,      stats,  damageRx,  damageTx, damageXor});
    p.process(app);

    ModuleOptions o;
    const QString id = p.value(identity);
    bool found = false;
    for (const auto &k : kIdentities) {
        if (id == QLatin1String(k.name)) {
            o.module = k.module;
            o.firmware = k.firmware;
            found = true;
        }
    }
    if (!found)
        die(QStringLiteral("unknown identity \"%1\" (use lx2-30v, lx2-2x, lx1 or none)").arg(id));
    auto word = [&](const QCommandLineOption &opt, uint32_t max, uint32_t *out) {
        if (p.isSet(opt) && !parseWord(p.value(opt), max, out))
            die(QStringLiteral("--%1 needs a number up to %2").arg(opt.names().first()).arg(max));
    };
    uint32_t v = o.module;
    word(module, 0xFFFF, &v);
    o.module = uint16_t(v);
    v = o.firmware;
    word(firmware, 0xFFFF, &v);
    o.firmware = uint16_t(v);
    o.engineRunning = p.isSet(engine);
    word(capacity, corla::proto::kMaxCalibration, &o.capacity);
    uint32_t n = 0;
    word(baud, 4000000, &n);
    o.baud = int(n);
    auto count = [&](const QCommandLineOption &opt, int *out) {
        uint32_t c = 0;
        if (p.isSet(opt)) {
            word(opt, 1u << 30, &c);
            *out = int(c);
        }
    };
    count(drop, &o.dropEvery);
    count(corrupt, &o.corruptEvery);
    count(delay, &o.delayEvery);
    count(delayMs, &o.delayMs);
    count(dropRx, &o.dropRxEvery);
    count(corruptRx, &o.corruptRxEvery);
    int s = -1;
    count(silent, &s);
    o.silentAfter = p.isSet(silent) ? s : -1;
    s = -1;
    count(exitAfter, &s);
    o.exitAfter = p.isSet(exitAfter) ? s : -1;
    o.calFile = p.value(calFile);
    o.verbose = p.isSet(verbose);
    count(engineStops, &o.engineStopsAfter);
    count(mute, &o.muteAfterCommit);
    o.old = p.isSet(old);
    auto position = [&](const QCommandLineOption &opt, qint64 *out) {
        uint32_t c = 0;
        if (p.isSet(opt)) {
            word(opt, 0xFFFFFFFFu, &c);
            *out = c;
        }
    };
    position(damageRx, &o.damageRx);
    position(damageTx, &o.damageTx);
    v = o.damageXor;
    word(damageXor, 0xFF, &v);
    if (v == 0)
        die(QStringLiteral("--damage-xor needs a mask from 1 to 255"));
    o.damageXor = uint8_t(v);
    o.stats = p.isSet(stats);

    // A file size limit makes a write fail (EFBIG) instead of ending the module.
    std::signal(SIGXFSZ, SIG_IGN);
    if (::pipe(signalPipe) == 0) {
        std::signal(SIGTERM, onSignal);
        std::signal(SIGINT, onSignal);
        std::signal(SIGHUP, onSignal);
        auto *sn = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(sn, &QSocketNotifier::activated, &app, [] { QCoreApplication::quit(); });
    }

    QString linkPath;
    int master = -1;
    int slave = -1;
    QSerialPort *serial = nullptr;
    std::unique_ptr<Lx2Module> mod;

    if (p.isSet(device)) {
        serial = new QSerialPort(p.value(device), &app);
        if (!serial->open(QIODevice::ReadWrite))
            die(QStringLiteral("cannot open %1: %2").arg(p.value(device), serial->errorString()));
        serial->setBaudRate(o.baud > 0 ? o.baud : corla::proto::kDefaultBaud);
        mod = std::make_unique<Lx2Module>(o, [serial](const QByteArray &b) { serial->write(b); });
        QObject::connect(serial, &QSerialPort::readyRead, &app, [&] { mod->receive(serial->readAll()); });
        std::printf("%s\n", qPrintable(p.value(device)));
    } else {
        master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
            die(QStringLiteral("cannot create a pseudo-terminal: %1").arg(QString::fromLocal8Bit(strerror(errno))));
        const QString slavePath = QString::fromLocal8Bit(::ptsname(master));
        // Holding the far end open keeps the terminal alive between connections,
        // and raw mode keeps the line discipline from echoing or translating bytes.
        slave = ::open(QFile::encodeName(slavePath).constData(), O_RDWR | O_NOCTTY);
        if (slave < 0)
            die(QStringLiteral("cannot open %1: %2").arg(slavePath, QString::fromLocal8Bit(strerror(errno))));
        termios t{};
        ::tcgetattr(slave, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(slave, TCSANOW, &t);
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        mod = std::make_unique<Lx2Module>(o, [master](const QByteArray &b) {
            qsizetype off = 0;
            int waited = 0;
            while (off < b.size()) {
                const ssize_t w = ::write(master, b.constData() + off, size_t(b.size() - off));
                if (w > 0) {
                    off += w;
                } else if (w < 0 && errno == EAGAIN) {
                    // Nobody reads the far end: after a while the bytes are lost, as on a real line.
                    if (++waited > 200)
                        return;
                    ::usleep(1000);
                } else if (w < 0 && errno != EINTR) {
                    return;
                }
            }
        });
        auto *sn = new QSocketNotifier(master, QSocketNotifier::Read, &app);
        QObject::connect(sn, &QSocketNotifier::activated, &app, [&, master] {
            char buf[4096];
            for (;;) {
                const ssize_t r = ::read(master, buf, sizeof buf);
                if (r > 0) {
                    mod->receive(QByteArray(buf, r));
                    continue;
                }
                break;
            }
        });
        if (p.isSet(link)) {
            linkPath = p.value(link);
            QFileInfo li(linkPath);
            if (li.isSymLink())
                QFile::remove(linkPath);
            if (!QFile::link(slavePath, linkPath))
                die(QStringLiteral("cannot link %1 to %2").arg(linkPath, slavePath));
        }
        std::printf("%s\n", qPrintable(slavePath));
    }
    std::fflush(stdout);
    if (!mod->loadError().isEmpty())
        std::fprintf(stderr, "lx2-emulator: cannot read %s: %s (starting without a calibration)\n",
                     qPrintable(o.calFile), qPrintable(mod->loadError()));

    const int rc = app.exec();
    mod.reset();
    if (!linkPath.isEmpty())
        QFile::remove(linkPath);
    if (slave >= 0)
        ::close(slave);
    if (master >= 0)
        ::close(master);
    return rc;
}
