// The running module at 38400 baud with the large setup: MONITOR's reply
// rate and share of the line, 1,000 injected one-tick pulses all reported,
// and 100 lapses of each kind of lost host (kelda-cli force killed, the line
// closed, the module restarted) with their lapse times.
//   bench_monitor [N [PART]]   N lapses of each kind (default 100); PART one of
//   rate, pulses, lapses (default: all)
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "corlalive.h"
#include "largesetup.h"
#include "pmmodel.h"

namespace proto = corla::proto;

namespace {

constexpr int kBaud = 38400;
constexpr int kPulses = 1000;
constexpr double kRateGoal = 10;  // replies a second ...
constexpr double kShareGoal = 0.5;  // ... using at most this share of the line
constexpr int kTypicalGoal = 40;  // bytes of a typical reply

QProcessEnvironment environment(const QString &dir)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("CORLA_NO_SYSTEM_PORTS"), QStringLiteral("1"));
    env.insert(QStringLiteral("CORLA_RUNE_PATH"), QStringLiteral(KELDA_RUNES));
    // The history of the uploads goes to the bench's own folder.
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir);
    env.insert(QStringLiteral("XDG_DATA_HOME"), dir);
    return env;
}

class Emulator
{
public:
    explicit Emulator(const QString &dir) : dir_(dir) { }
    ~Emulator() { stop(); }
    bool start(const QStringList &args)
    {
        stop();
        lines_.clear();
        process_.start(QStringLiteral(KELDA_EMULATOR),
                       QStringList{QStringLiteral("--baud"), QString::number(kBaud), QStringLiteral("--stats")} + args);
        if (!process_.waitForStarted() || !process_.waitForReadyRead(5000))
            return false;
        port_ = QString::fromLocal8Bit(process_.readLine()).trimmed();
        return !port_.isEmpty();
    }
    void stop()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.terminate();
            process_.waitForFinished(3000);
        }
    }
    QString port() const { return port_; }
    // The first --stats line after `from` that starts with what, waiting up to ms.
    QString waitLine(const QString &what, qsizetype *from, int ms)
    {
        QElapsedTimer t;
        t.start();
        for (;;) {
            while (process_.canReadLine())
                lines_ << QString::fromLocal8Bit(process_.readLine()).trimmed();
            for (qsizetype i = *from; i < lines_.size(); ++i) {
                if (lines_[i].startsWith(QStringLiteral("stats: ") + what)) {
                    *from = i + 1;
                    return lines_[i];
                }
            }
            if (t.elapsed() > ms)
                return QString();
            process_.waitForReadyRead(5);
        }
    }
    qsizetype lineCount()
    {
        while (process_.canReadLine())
            lines_ << QString::fromLocal8Bit(process_.readLine()).trimmed();
        return lines_.size();
    }

private:
    QString dir_;
    QProcess process_;
    QString port_;
    QStringList lines_;
};

struct CliResult {
    int code = -1;
    QByteArray out, err;
};

CliResult cli(const QString &dir, const QStringList &args, int timeoutMs = 600000)
{
    QProcess p;
    p.setProcessEnvironment(environment(dir));
    p.start(QStringLiteral(KELDA_CLI), args);
    p.waitForFinished(timeoutMs);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
            p.readAllStandardError()};
}

QList<QJsonObject> replies(const QByteArray &out)
{
    QList<QJsonObject> r;
    for (const QByteArray &line : out.split('\n'))
        if (!line.isEmpty())
            r << QJsonDocument::fromJson(line).object();
    return r;
}

struct Spread {
    double min = 0, median = 0, max = 0;
};

Spread spread(std::vector<double> v)
{
    if (v.empty())
        return {};
    std::sort(v.begin(), v.end());
    return {v.front(), v[v.size() / 2], v.back()};
}

bool writeText(const QString &path, const QString &text)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(text.toUtf8()) == text.toUtf8().size();
}

// Replies a second and the share of the line while monitoring at rate.
void rateAndShare(const QString &dir, const QString &cal, double rate, double seconds)
{
    // A busy vehicle: keys held and let go, switches turned, all the time.
    QString text;
    for (int i = 0; i < 2000; ++i)
        text += QStringLiteral("hold %1\nswitch %2 on\nwait 30ms\nrelease %1\nswitch %2 off\nwait 20ms\n")
                    .arg(1 + i % 40)
                    .arg(1 + i % 30);
    const QString inputs = dir + QStringLiteral("/busy.txt");
    writeText(inputs, text);
    Emulator module(dir);
    if (!module.start(
            {QStringLiteral("--cal-file"), cal, QStringLiteral("--run"), QStringLiteral("--inputs"), inputs})) {
        std::printf("emulator did not start\n");
        return;
    }
    const CliResult run =
        cli(dir,
            {QStringLiteral("monitor"), QStringLiteral("--port"), module.port(), QStringLiteral("--rate"),
             QString::number(rate), QStringLiteral("--for"), QString::number(seconds), QStringLiteral("--jsonl")});
    const QList<QJsonObject> r = replies(run.out);
    if (run.code != 0 || r.size() < 2) {
        std::printf("monitor failed: %s\n", run.err.constData());
        return;
    }
    // The first reply is the full picture; the rest are the steady state.
    const double span =
        (r.last().value(QStringLiteral("tick")).toDouble() - r.first().value(QStringLiteral("tick")).toDouble())
        / 100.0;
    qint64 bytes = 0;
    std::vector<double> sizes;
    for (qsizetype i = 1; i < r.size(); ++i) {
        const int reply = proto::kOverhead + proto::kMonitorHeader
            + proto::kLiveRecordBytes * int(r[i].value(QStringLiteral("changes")).toArray().size());
        sizes.push_back(reply);
        bytes += reply + proto::kOverhead + 1;  // and its request
    }
    const double perSecond = (r.size() - 1) / span;
    const double share = bytes * 10.0 / kBaud / span;
    const Spread s = spread(sizes);
    std::printf("rate %.0f asked: %.1f replies/s over %.1f s; replies %g/%g/%g bytes (min/median/max); line %.1f %% "
                "(both directions, goal >= %.0f/s with <= %.0f %%, typical reply <= %d bytes)\n",
                rate, perSecond, span, s.min, s.median, s.max, share * 100, kRateGoal, kShareGoal * 100, kTypicalGoal);
}

void pulses(const QString &dir, const QString &cal)
{
    // Keys 101..200 in turn, a one-tick press every 20 ms: each key every
    // 2 s. Two pulses of one key between two replies are one latched change,
    // so only a reply gap of 2 s (a stalled host) could merge two.
    // The monitor starts after the emulator (kelda-cli's start, the connect):
    // the pulses start later and it runs on after the last.
    QString text = QStringLiteral("wait 2s\n");
    for (int i = 0; i < kPulses; ++i)
        text += QStringLiteral("press %1 short\nwait 20ms\n").arg(101 + i % 100);
    const QString inputs = dir + QStringLiteral("/pulses.txt");
    writeText(inputs, text);
    Emulator module(dir);
    QElapsedTimer wall;
    wall.start();
    if (!module.start({QStringLiteral("--cal-file"), cal, QStringLiteral("--run"), QStringLiteral("--inputs"), inputs}))
        return;
    const CliResult run =
        cli(dir,
            {QStringLiteral("monitor"), QStringLiteral("--port"), module.port(), QStringLiteral("--for"),
             QString::number(kPulses * 0.02 + 6.0), QStringLiteral("--jsonl")});
    const double seconds = wall.elapsed() / 1000.0;
    int reported = 0, latched = 0;
    const QList<QJsonObject> r = replies(run.out);
    // A starved module runs its ticks late: the script is played in its time.
    const int lastTick = r.isEmpty() ? 0 : r.last().value(QStringLiteral("tick")).toInt();
    std::printf("module time %.2f s of %.2f s since it started\n", lastTick / 100.0, seconds);
    if (lastTick < 200 + kPulses * 2)
        std::printf("the monitor ended before the last pulse\n");
    int gap = 0;
    for (qsizetype i = 1; i < r.size(); ++i)
        gap =
            std::max(gap, r[i].value(QStringLiteral("tick")).toInt() - r[i - 1].value(QStringLiteral("tick")).toInt());
    for (const QJsonObject &o : r)
        for (const QJsonValue &v : o.value(QStringLiteral("changes")).toArray()) {
            const QJsonObject c = v.toObject();
            // Latched between two replies, or on when a reply was made (then off in the next).
            if (c.value(QStringLiteral("kind")).toString() == QLatin1String("key")
                && c.value(QStringLiteral("row")).toInt() > 100 && c.value(QStringLiteral("value")).toInt() == 1) {
                ++reported;
                latched += c.value(QStringLiteral("latched")).toBool() ? 1 : 0;
            }
        }
    std::printf("one-tick pulses: %d injected, %d reported (goal: all), %d of them latched between two replies, "
                "the others on when a reply was made; %lld replies, the longest gap between two %d ticks\n",
                kPulses, reported, latched, static_cast<long long>(r.size()), gap);
}

int lapseMs(const QString &line)
{
    static const QRegularExpression ms(QStringLiteral(", (\\d+) ms after its last renewal$"));
    const QRegularExpressionMatch m = ms.match(line);
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

void report(const char *kind, int n, int lapsed, const std::vector<double> &lease, const std::vector<double> &wall)
{
    const Spread a = spread(lease), b = spread(wall);
    std::printf("%s: %d of %d lapsed; after the last renewal %.0f/%.0f/%.0f ms; after the host went %.0f/%.0f/%.0f ms "
                "(min/median/max; goal <= 1000 ms after the last renewal)\n",
                kind, lapsed, n, a.min, a.median, a.max, b.min, b.median, b.max);
}

void killedHosts(const QString &dir, const QString &cal, int n)
{
    Emulator module(dir);
    if (!module.start({QStringLiteral("--cal-file"), cal, QStringLiteral("--run")}))
        return;
    std::vector<double> lease, wall;
    qsizetype from = 0;
    for (int i = 0; i < n; ++i) {
        QProcess force;
        force.setProcessEnvironment(environment(dir));
        force.start(QStringLiteral(KELDA_CLI),
                    {QStringLiteral("force"), QStringLiteral("--port"), module.port(), QStringLiteral("led"),
                     QString::number(1 + i % 32), QStringLiteral("on")});
        if (module.waitLine(QStringLiteral("FORCE set"), &from, 10000).isEmpty())
            break;
        force.waitForFinished(350 + i % 300);  // renewed once or twice, at any point of a period
        QElapsedTimer t;
        t.start();
        force.kill();
        force.waitForFinished();
        const QString line = module.waitLine(QStringLiteral("FORCE lapsed"), &from, 5000);
        if (line.isEmpty())
            continue;
        wall.push_back(double(t.elapsed()));
        lease.push_back(lapseMs(line));
    }
    report("kelda-cli force killed (kill -9)", n, int(lease.size()), lease, wall);
}

void closedLines(const QString &dir, int n)
{
    Emulator module(dir);
    if (!module.start({QStringLiteral("--run")}))
        return;
    std::vector<double> lease, wall;
    qsizetype from = 0;
    for (int i = 0; i < n; ++i) {
        QSerialPort line(module.port());
        if (!line.open(QIODevice::ReadWrite))
            break;
        line.setBaudRate(kBaud);
        line.write(proto::encode(proto::Force, uint8_t(i),
                                 proto::forceRequest({900, {{proto::LiveLx1, uint8_t(i % 64), proto::ForceOn}}})));
        line.waitForBytesWritten(1000);
        if (module.waitLine(QStringLiteral("FORCE set"), &from, 5000).isEmpty())
            break;
        QElapsedTimer t;
        t.start();
        line.close();
        const QString l = module.waitLine(QStringLiteral("FORCE lapsed"), &from, 5000);
        if (l.isEmpty())
            continue;
        wall.push_back(double(t.elapsed()));
        lease.push_back(lapseMs(l));
    }
    report("line closed", n, int(lease.size()), lease, wall);
}

void restartedModules(const QString &dir, const QString &cal, int n)
{
    const QString link = dir + QStringLiteral("/lx2");
    const QStringList args{QStringLiteral("--cal-file"), cal, QStringLiteral("--run"), QStringLiteral("--link"), link};
    Emulator module(dir);
    std::vector<double> back;
    int survived = 0, done = 0;
    for (int i = 0; i < n; ++i) {
        if (!module.start(args))
            break;
        qsizetype from = 0;
        QProcess force;
        force.setProcessEnvironment(environment(dir));
        force.start(QStringLiteral(KELDA_CLI),
                    {QStringLiteral("force"), QStringLiteral("--port"), link, QStringLiteral("switch"),
                     QString::number(1 + i % 255), QStringLiteral("on")});
        if (module.waitLine(QStringLiteral("FORCE set"), &from, 10000).isEmpty())
            break;
        QElapsedTimer t;
        t.start();
        module.stop();
        if (!module.start(args))
            break;
        const CliResult after = cli(dir,
                                    {QStringLiteral("monitor"), QStringLiteral("--port"), link, QStringLiteral("--for"),
                                     QStringLiteral("0.05")});
        back.push_back(double(t.elapsed()));
        const QString first = QString::fromUtf8(after.out.split('\n').value(0));
        if (after.code != 0 || first.contains(QLatin1String("forced")))
            ++survived;
        force.waitForFinished(10000);  // it finds the module gone and ends
        ++done;
    }
    const Spread s = spread(back);
    std::printf("module restarted: %d restarts, %d forces survived (goal 0); restart to a clean full picture "
                "%.0f/%.0f/%.0f ms (min/median/max)\n",
                done, survived, s.min, s.median, s.max);
}

}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int n = argc > 1 ? std::max(1, atoi(argv[1])) : 100;
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    PMModel model;
    const QString setup = dir.filePath(QStringLiteral("large.kelda"));
    if (!kelda::bench::buildLargeSetup(model) || !model.saveSetup(setup)) {
        std::fprintf(stderr, "cannot build the large setup\n");
        return 1;
    }
    const QString cal = dir.filePath(QStringLiteral("large.cal"));
    {
        Emulator module(dir.path());
        if (!module.start({QStringLiteral("--cal-file"), cal}))
            return 1;
        const CliResult up =
            cli(dir.path(), {QStringLiteral("upload"), setup, QStringLiteral("--port"), module.port()});
        if (up.code != 0) {
            std::fprintf(stderr, "upload failed: %s\n", up.err.constData());
            return 1;
        }
    }
    std::printf("large setup: %lld calibration bytes at %d baud\n", static_cast<long long>(QFile(cal).size()), kBaud);
    const QString part = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
    if (part.isEmpty() || part == QLatin1String("rate")) {
        rateAndShare(dir.path(), cal, 10, 10);
        rateAndShare(dir.path(), cal, 100, 5);
    }
    if (part.isEmpty() || part == QLatin1String("pulses"))
        pulses(dir.path(), cal);
    if (part.isEmpty() || part == QLatin1String("lapses")) {
        killedHosts(dir.path(), cal, n);
        closedLines(dir.path(), n);
        restartedModules(dir.path(), cal, n);
    }
    return 0;
}
