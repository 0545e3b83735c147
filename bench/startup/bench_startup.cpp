// Start-up of the editor as a separate process: the time from starting
// build/app/kelda until its main window has been shown (exposed) and the
// event loop has nothing left to do, for a fresh start and for a start that
// reopens the largest setup through "LastSetup". Median and spread of several
// runs, each with its goal.
//
//   bench_startup [RUNS [KELDA]]                  own Xvfb when installed, else offscreen;
//                                                 KELDA: another build of the editor to measure
//   QT_QPA_PLATFORM=offscreen bench_startup       that platform, as given
//
// kelda reports its times itself when KELDA_STARTUP_PROBE is set (app/main.cpp).
// Every run gets a new temporary XDG_CONFIG_HOME; the user's settings are never read.
#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "largesetup.h"
#include "pmmodel.h"
#include "settings.h"

namespace {

constexpr double kGoalMs = 120;

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Milliseconds from the start of the process to each point the probe reports.
struct Run {
    double main = 0, application = 0, window = 0, exposed = 0, idle = 0;
    double cpu = 0, mainCpu = 0;  // CPU time of the process and of its main thread until idle
    QString platform, title;
};

// An X server of our own, so that no window shows on the user's screen.
class Xvfb
{
public:
    ~Xvfb()
    {
        if (m_proc.state() != QProcess::NotRunning) {
            m_proc.terminate();
            if (!m_proc.waitForFinished(5000))
                m_proc.kill();
            m_proc.waitForFinished(5000);
        }
    }

    // The display name (":N"), or empty when no server could be started.
    QString start(const QString &program)
    {
        // -displayfd: the server picks a free display and writes its number to stdout.
        m_proc.setProcessChannelMode(QProcess::SeparateChannels);
        m_proc.start(program,
                     {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"), QStringLiteral("0"),
                      QStringLiteral("1280x1024x24"), QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        if (!m_proc.waitForStarted(5000))
            return {};
        QByteArray out;
        while (!out.contains('\n') && m_proc.waitForReadyRead(10000))
            out += m_proc.readAllStandardOutput();
        bool ok = false;
        const int number = out.trimmed().toInt(&ok);
        return ok ? QStringLiteral(":%1").arg(number) : QString();
    }

private:
    QProcess m_proc;
};

std::optional<Run> startOnce(const QString &kelda, const QProcessEnvironment &base, const QString &lastSetup,
                             QString *error)
{
    QTemporaryDir config;
    if (!config.isValid()) {
        *error = QStringLiteral("no temporary folder for the settings");
        return std::nullopt;
    }
    if (!lastSetup.isEmpty()) {
        // The file kelda::settings::open() reads under this XDG_CONFIG_HOME.
        QSettings ini(config.filePath(QStringLiteral("%1/%2.ini")
                                          .arg(QLatin1String(kelda::settings::kOrganization),
                                               QLatin1String(kelda::settings::kApplication))),
                      QSettings::IniFormat);
        kelda::settings::write(ini, kelda::settings::Key::LastSetup, lastSetup);
        ini.sync();
    }
    QProcessEnvironment env = base;
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
    env.insert(QStringLiteral("KELDA_STARTUP_PROBE"), QStringLiteral("1"));

    QProcess proc;
    proc.setProcessEnvironment(env);
    proc.setProcessChannelMode(QProcess::SeparateChannels);
    const qint64 start = nowNs();
    proc.start(kelda, {});
    if (!proc.waitForFinished(30000)) {
        proc.kill();
        proc.waitForFinished(5000);
        *error = QStringLiteral("kelda did not report within 30 s");
        return std::nullopt;
    }
    const QByteArray out = proc.readAllStandardOutput();
    const int at = out.indexOf("kelda-startup-probe ");
    if (proc.exitStatus() != QProcess::NormalExit || proc.exitCode() != 0 || at < 0) {
        *error = QStringLiteral("kelda exited with %1 and no report; its errors:\n%2")
                     .arg(proc.exitCode())
                     .arg(QString::fromLocal8Bit(proc.readAllStandardError()));
        return std::nullopt;
    }
    QByteArray line = out.mid(at);
    line.truncate(line.indexOf('\n') < 0 ? line.size() : line.indexOf('\n'));
    Run run;
    const int titleAt = line.indexOf(" title=");
    if (titleAt >= 0) {
        run.title = QString::fromLocal8Bit(line.mid(titleAt + 7));
        line.truncate(titleAt);
    }
    std::map<QByteArray, QByteArray> fields;
    for (const QByteArray &field : line.split(' ')) {
        const int eq = field.indexOf('=');
        if (eq > 0)
            fields[field.left(eq)] = field.mid(eq + 1);
    }
    auto ms = [&](const char *key) { return (fields[key].toLongLong() - start) / 1e6; };
    run.main = ms("main");
    run.application = ms("application");
    run.window = ms("window");
    run.exposed = ms("exposed");
    run.idle = ms("idle");
    run.cpu = fields["cpu"].toLongLong() / 1e6;
    run.mainCpu = fields["maincpu"].toLongLong() / 1e6;
    run.platform = QString::fromLatin1(fields["platform"]);
    return run;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void printFigure(const char *what, std::vector<double> v, const char *goal)
{
    std::sort(v.begin(), v.end());
    std::printf("  %-36s median %6.1f ms, min %6.1f, max %6.1f%s\n", what, median(v), v.front(), v.back(), goal);
}

// Warm-up runs first (page cache, font cache), then `runs` counted ones.
bool measure(const char *name, const QString &kelda, const QProcessEnvironment &env, const QString &lastSetup, int runs)
{
    std::vector<Run> all;
    QString error;
    for (int i = 0; i < runs + 2; ++i) {
        const std::optional<Run> run = startOnce(kelda, env, lastSetup, &error);
        if (!run) {
            std::fprintf(stderr, "bench_startup: %s: %s\n", name, qPrintable(error));
            return false;
        }
        if (!lastSetup.isEmpty() && !run->title.endsWith(lastSetup)) {
            std::fprintf(stderr, "bench_startup: %s: the setup was not reopened (title \"%s\")\n", name,
                         qPrintable(run->title));
            return false;
        }
        if (i >= 2)
            all.push_back(*run);
    }
    auto pick = [&](double Run::*field) {
        std::vector<double> v;
        for (const Run &r : all)
            v.push_back(r.*field);
        return v;
    };
    auto between = [&](double Run::*from, double Run::*to) {
        std::vector<double> v;
        for (const Run &r : all)
            v.push_back(r.*to - r.*from);
        return v;
    };
    char goal[64];
    std::snprintf(goal, sizeof goal, " (goal <= %.0f ms)", kGoalMs);
    std::printf("%s (%d runs, platform %s):\n", name, runs, qPrintable(all.front().platform));
    printFigure("window shown (exposed):", pick(&Run::exposed), "");
    printFigure("window shown and event loop idle:", pick(&Run::idle), goal);
    printFigure("CPU time of kelda until idle:", pick(&Run::cpu), "");
    printFigure("  of that, its main thread:", pick(&Run::mainCpu), "");
    std::printf("  where the time goes (medians):\n");
    std::printf("    process start to main():           %6.1f ms\n", median(pick(&Run::main)));
    std::printf("    QApplication:                      %6.1f ms\n", median(between(&Run::main, &Run::application)));
    std::printf("    main window built:                 %6.1f ms\n", median(between(&Run::application, &Run::window)));
    std::printf("    show() to exposed:                 %6.1f ms\n", median(between(&Run::window, &Run::exposed)));
    std::printf("    exposed to idle:                   %6.1f ms\n", median(between(&Run::exposed, &Run::idle)));
    return true;
}

}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? qMax(1, QByteArray(argv[1]).toInt()) : 15;
    const QString kelda = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral(KELDA_EXE);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    std::unique_ptr<Xvfb> xvfb;
    QString where;
    if (!env.value(QStringLiteral("QT_QPA_PLATFORM")).isEmpty()) {
        where = QStringLiteral("QT_QPA_PLATFORM=%1, as given").arg(env.value(QStringLiteral("QT_QPA_PLATFORM")));
    } else {
        const QString program = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        QString display;
        if (!program.isEmpty()) {
            xvfb = std::make_unique<Xvfb>();
            display = xvfb->start(program);
        }
        if (!display.isEmpty()) {
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
            env.insert(QStringLiteral("DISPLAY"), display);
            where = QStringLiteral("xcb on a new Xvfb server, display %1").arg(display);
        } else {
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
            where = program.isEmpty() ? QStringLiteral("offscreen: Xvfb is not installed (Debian package xvfb)")
                                      : QStringLiteral("offscreen: Xvfb did not start");
        }
    }
    // Without a session bus Qt's menu bar asks libdbus for one, which forks to
    // autolaunch a bus on every start (and leaves a daemon behind where
    // dbus-x11 is installed). A desktop has a bus; here it is simply absent.
    if (env.value(QStringLiteral("DBUS_SESSION_BUS_ADDRESS")).isEmpty())
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                   QStringLiteral("unix:path=/nonexistent/kelda-bench-bus"));
    std::printf("kelda: %s\nplatform: %s\nsession bus: %s\n", qPrintable(kelda), qPrintable(where),
                qPrintable(env.value(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"))));
    // Wall times stretch on a busy machine; the CPU time does not.
    QFile loadavg(QStringLiteral("/proc/loadavg"));
    if (loadavg.open(QIODevice::ReadOnly))
        std::printf("load average: %s (%d cores)\n", loadavg.readLine().trimmed().constData(),
                    QThread::idealThreadCount());

    QTemporaryDir dir;
    const QString large = dir.filePath(QStringLiteral("large.kelda"));
    {
        PMModel model;
        if (!dir.isValid() || !kelda::bench::buildLargeSetup(model) || !model.saveSetup(large)) {
            std::fprintf(stderr, "bench_startup: could not write the large setup: %s\n", qPrintable(model.lastError()));
            return 1;
        }
    }

    std::fflush(stdout);
    if (!measure("fresh start, no last setup", kelda, env, QString(), runs))
        return 1;
    std::fflush(stdout);
    if (!measure("start reopening the large setup (LastSetup)", kelda, env, large, runs))
        return 1;
    return 0;
}
