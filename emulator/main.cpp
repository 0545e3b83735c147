// lx2-emulator: an emulated module on a pseudo-terminal or a serial device.
#include "lx2module.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QSocketNotifier>

#include <csignal>
#include <functional>
#include <memory>
#include <vector>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

uint32_t number(const char *name, const QString &value, uint32_t max)
{
    uint32_t v = 0;
    if (!parseWord(value, max, &v))
        die(QStringLiteral("--%1 needs a number up to %2").arg(QLatin1String(name)).arg(max));
    return v;
}

// How a given option lands in the module's options.
using Apply = std::function<void(const char *name, const QString &value, ModuleOptions &o)>;

struct EmulatorOption {
    const char *name;
    const char *valueName;  // nullptr: a switch
    const char *defaultValue;  // nullptr: none
    const char *help;
    Apply apply;  // nullptr: read by main itself
};

Apply flag(bool ModuleOptions::*m)
{
    return [m](const char *, const QString &, ModuleOptions &o) { o.*m = true; };
}

template <typename T>
Apply count(T ModuleOptions::*m, uint32_t max = 1u << 30)
{
    return [m, max](const char *name, const QString &v, ModuleOptions &o) { o.*m = T(number(name, v, max)); };
}

void applyIdentity(const char *, const QString &id, ModuleOptions &o)
{
    for (const auto &k : kIdentities) {
        if (id == QLatin1String(k.name)) {
            o.module = k.module;
            o.firmware = k.firmware;
            return;
        }
    }
    die(QStringLiteral("unknown identity \"%1\" (use lx2-30v, lx2-2x, lx1 or none)").arg(id));
}

void applyDamageXor(const char *name, const QString &v, ModuleOptions &o)
{
    o.damageXor = uint8_t(number(name, v, 0xFF));
    if (o.damageXor == 0)
        die(QStringLiteral("--damage-xor needs a mask from 1 to 255"));
}

void applyInputs(const char *, const QString &path, ModuleOptions &o)
{
    QFile f(path);
    constexpr qint64 kMaxScript = 64 << 20;
    if (!f.open(QIODevice::ReadOnly))
        die(QStringLiteral("cannot read %1: %2").arg(path, f.errorString()));
    if (f.size() > kMaxScript)
        die(QStringLiteral("cannot read %1: larger than 64 MiB").arg(path));
    int line = 0;
    QString why;
    if (!ModuleRun::loadScript(f.readAll(), &o.inputs, &line, &why))
        die(QStringLiteral("%1:%2: %3").arg(path).arg(line).arg(why));
}

// One entry an option, in the order --help lists them; an option with a
// default applies even when not given. A later entry overrides an earlier one
// (--module after --identity).
const std::vector<EmulatorOption> &emulatorOptions()
{
    using O = ModuleOptions;
    static const std::vector<EmulatorOption> table = {
        {"device", "path", nullptr, "Serve on this serial device instead of a pseudo-terminal.", nullptr},
        {"link", "path", nullptr, "Also make a symbolic link to the pseudo-terminal at this path.", nullptr},
        {"identity", "kind", "lx2-30v", "lx2-30v (default), lx2-2x, lx1 or none (a module no RUNE describes).",
         applyIdentity},
        {"module", "word", nullptr, "Module identity word (overrides --identity).", count(&O::module, 0xFFFF)},
        {"firmware", "word", nullptr, "Firmware identity word (overrides --identity).", count(&O::firmware, 0xFFFF)},
        {"engine-running", nullptr, nullptr, "Report a running engine.", flag(&O::engineRunning)},
        {"capacity", "bytes", "65536", "Calibration space in bytes (default 65536).",
         count(&O::capacity, corla::proto::kMaxCalibration)},
        {"baud", "rate", "0", "Pace both directions to this line rate (10 bits a byte); 0 = no pacing.",
         count(&O::baud, 4000000)},
        {"drop", "N", nullptr, "Drop every N-th reply.", count(&O::dropEvery)},
        {"corrupt", "N", nullptr, "Corrupt every N-th reply.", count(&O::corruptEvery)},
        {"delay", "N", nullptr, "Delay every N-th reply by --delay-ms.", count(&O::delayEvery)},
        {"delay-ms", "ms", "1000", "Delay in ms (default 1000).", count(&O::delayMs)},
        {"drop-rx", "N", nullptr, "Lose every N-th request.", count(&O::dropRxEvery)},
        {"corrupt-rx", "N", nullptr, "Treat every N-th request as corrupt (answer NAK).", count(&O::corruptRxEvery)},
        {"silent-after", "N", nullptr, "Stop answering after receiving N bytes.", count(&O::silentAfter)},
        {"exit-after", "N", nullptr, "Exit (status 3) after receiving N bytes.", count(&O::exitAfter)},
        {"cal-file", "path", nullptr,
         "File holding the committed calibration (read at start, replaced atomically on commit).",
         [](const char *, const QString &v, O &o) { o.calFile = v; }},
        {"verbose", nullptr, nullptr, "Log every frame to standard error.", flag(&O::verbose)},
        {"engine-stops-after", "N", nullptr,
         "With --engine-running: the engine stops once N STATUS requests have found it running.",
         count(&O::engineStopsAfter)},
        {"mute-after-commit", "N", nullptr,
         "After a COMMIT (stored or not), answer neither it nor the next N requests.", count(&O::muteAfterCommit)},
        {"old", nullptr, nullptr,
         "Behave like a module from before SUMS, READ, MONITOR, FORCE, BEGIN from the stored calibration and WRITE "
         "requests larger "
         "than 1024 bytes.",
         flag(&O::old)},
        {"stats", nullptr, nullptr,
         "Print a line on standard output for every COMMIT: the outcome and the requests received since the last "
         "one.",
         flag(&O::stats)},
        {"damage-rx", "N", nullptr, "Damage the N-th byte received (counted from 0) once.",
         count(&O::damageRx, 0xFFFFFFFFu)},
        {"damage-tx", "N", nullptr, "Damage the N-th byte sent (counted from 0) once.",
         count(&O::damageTx, 0xFFFFFFFFu)},
        {"damage-xor", "mask", "0x01", "The bits a damaged byte has flipped (default 0x01).", applyDamageXor},
        {"run", nullptr, nullptr,
         "Run the calibration held (and each one committed) from power-on in 10 ms ticks; MONITOR reports it.",
         flag(&O::run)},
        {"inputs", "file", nullptr,
         "Play a simulate script's input lines (press, hold, release, key, switch, can, wait; rows by number) "
         "against the running module in real time.",
         applyInputs},
    };
    return table;
}

// --help and --version: showHelp() and showVersion() would exit with 0 even
// when the text never reached a full disk.
[[noreturn]] void printAndExit(const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    const bool written = std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout) == size_t(bytes.size());
    if (std::fflush(stdout) != 0 || !written || std::ferror(stdout)) {
        std::fprintf(stderr, "lx2-emulator: standard output cannot be written: %s\n", std::strerror(errno));
        std::exit(1);
    }
    std::exit(0);
}

QCommandLineOption commandLineOption(const EmulatorOption &e)
{
    const QString name = QLatin1String(e.name);
    const QString help = QLatin1String(e.help);
    if (!e.valueName)
        return QCommandLineOption(name, help);
    return QCommandLineOption(name, help, QLatin1String(e.valueName),
                              e.defaultValue ? QString(QLatin1String(e.defaultValue)) : QString());
}

ModuleOptions parseOptions(const QCoreApplication &app, QCommandLineParser &p)
{
    p.setApplicationDescription(QStringLiteral(
        "Emulates an LX2 module speaking the corla protocol. Without --device it creates a pseudo-terminal and "
        "prints its path as the first line of output."));
    p.addHelpOption();
    p.addVersionOption();
    for (const EmulatorOption &e : emulatorOptions())
        p.addOption(commandLineOption(e));
    if (p.parse(app.arguments()) && !p.isSet(QStringLiteral("help-all")))
        if (const bool version = p.isSet(QStringLiteral("version")); version || p.isSet(QStringLiteral("help")))
            printAndExit(version ? QStringLiteral("lx2-emulator %1\n").arg(QCoreApplication::applicationVersion())
                                 : p.helpText());
    p.process(app);
    if (!p.positionalArguments().isEmpty())
        die(QStringLiteral("unexpected '%1': the emulator takes options only (lx2-emulator --help lists them)")
                .arg(p.positionalArguments().first()));
    ModuleOptions o;
    for (const EmulatorOption &e : emulatorOptions()) {
        const QString name = QLatin1String(e.name);
        if (e.apply && (p.isSet(name) || e.defaultValue))
            e.apply(e.name, p.value(name), o);
    }
    return o;
}

// The line the module answers on: a serial device or a pseudo-terminal.
struct Line {
    QString path, linkPath;
    int master = -1, slave = -1;
    std::unique_ptr<Lx2Module> mod;
};

void openDevice(QCoreApplication &app, const QString &device, const ModuleOptions &o, Line &line)
{
    auto *serial = new QSerialPort(device, &app);
    if (!serial->open(QIODevice::ReadWrite))
        die(QStringLiteral("cannot open %1: %2").arg(device, serial->errorString()));
    serial->setBaudRate(o.baud > 0 ? o.baud : corla::proto::kDefaultBaud);
    line.mod = std::make_unique<Lx2Module>(o, [serial](const QByteArray &b) { serial->write(b); });
    QObject::connect(serial, &QSerialPort::readyRead, &app, [&line, serial] { line.mod->receive(serial->readAll()); });
    line.path = device;
}

// Writes to the terminal's near end without blocking.
void writeTerminal(int master, const QByteArray &b)
{
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
}

void openTerminal(QCoreApplication &app, const ModuleOptions &o, Line &line)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    line.master = master;
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
        die(QStringLiteral("cannot create a pseudo-terminal: %1").arg(QString::fromLocal8Bit(strerror(errno))));
    line.path = QString::fromLocal8Bit(::ptsname(master));
    // Holding the far end open keeps the terminal alive between connections,
    // and raw mode keeps the line discipline from echoing or translating bytes.
    line.slave = ::open(QFile::encodeName(line.path).constData(), O_RDWR | O_NOCTTY);
    if (line.slave < 0)
        die(QStringLiteral("cannot open %1: %2").arg(line.path, QString::fromLocal8Bit(strerror(errno))));
    termios t{};
    ::tcgetattr(line.slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(line.slave, TCSANOW, &t);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    line.mod = std::make_unique<Lx2Module>(o, [master](const QByteArray &b) { writeTerminal(master, b); });
    auto *sn = new QSocketNotifier(master, QSocketNotifier::Read, &app);
    QObject::connect(sn, &QSocketNotifier::activated, &app, [&line, master] {
        char buf[4096];
        for (;;) {
            const ssize_t r = ::read(master, buf, sizeof buf);
            if (r <= 0)
                break;
            line.mod->receive(QByteArray(buf, r));
        }
    });
}

void linkTerminal(const QString &linkPath, Line &line)
{
    line.linkPath = linkPath;
    if (QFileInfo(linkPath).isSymLink())
        QFile::remove(linkPath);
    if (!QFile::link(line.path, linkPath))
        die(QStringLiteral("cannot link %1 to %2").arg(linkPath, line.path));
}

void quitOnSignals(QCoreApplication &app)
{
    // A file size limit makes a write fail (EFBIG) instead of ending the module.
    std::signal(SIGXFSZ, SIG_IGN);
    if (::pipe(signalPipe) != 0)
        return;
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    std::signal(SIGHUP, onSignal);
    auto *sn = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(sn, &QSocketNotifier::activated, &app, [] { QCoreApplication::quit(); });
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("lx2-emulator"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KELDA_VERSION));

    QCommandLineParser p;
    const ModuleOptions o = parseOptions(app, p);
    quitOnSignals(app);

    Line line;
    if (p.isSet(QStringLiteral("device"))) {
        openDevice(app, p.value(QStringLiteral("device")), o, line);
    } else {
        openTerminal(app, o, line);
        if (p.isSet(QStringLiteral("link")))
            linkTerminal(p.value(QStringLiteral("link")), line);
    }
    const bool printed = std::printf("%s\n", qPrintable(line.path)) > 0;
    // Without --link or --device the printed path is the only way to the
    // module: one nobody can learn of is not left running.
    const bool flushed = std::fflush(stdout) == 0;
    const int why = errno;
    if ((!flushed || !printed) && !p.isSet(QStringLiteral("link")) && !p.isSet(QStringLiteral("device")))
        die(QStringLiteral("cannot print the pseudo-terminal's path: %1")
                .arg(QString::fromLocal8Bit(std::strerror(why))));
    if (!line.mod->loadError().isEmpty())
        std::fprintf(stderr, "lx2-emulator: cannot read %s: %s (starting without a calibration)\n",
                     qPrintable(o.calFile), qPrintable(line.mod->loadError()));

    const int rc = app.exec();
    line.mod.reset();
    if (!line.linkPath.isEmpty())
        QFile::remove(line.linkPath);
    if (line.slave >= 0)
        ::close(line.slave);
    if (line.master >= 0)
        ::close(line.master);
    return rc;
}
