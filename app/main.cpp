#include <QApplication>
#include <QCommandLineParser>
#include <QEvent>
#include <QFileInfo>
#include <QTimer>
#include <QWindow>

#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string_view>
#include <thread>

#ifdef Q_OS_UNIX
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>
#endif

#include "buildinfo.h"
#include "kelda.h"

namespace {

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

qint64 cpuNs(clockid_t clock)
{
    timespec t{};
    clock_gettime(clock, &t);
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// KELDA_STARTUP_PROBE=1 is for bench/startup: once the main window has been
// exposed and the events queued behind its first paint are done (a zero timer
// fires only then), prints one line to stdout (steady-clock times in
// nanoseconds, the CPU time of the process and of the main thread, the window
// title last) and leaves the event loop without closing the window, so
// nothing is asked or saved.
class StartupProbe : public QObject
{
public:
    StartupProbe(qint64 mainNs, qint64 appNs) : m_main(mainNs), m_app(appNs) { }

    void watch(QWidget *window)
    {
        m_windowNs = nowNs();
        m_window = window;
        qApp->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Expose && m_window && watched == m_window->windowHandle()
            && m_window->windowHandle()->isExposed()) {
            qApp->removeEventFilter(this);
            m_exposed = nowNs();
            QTimer::singleShot(0, this, &StartupProbe::idle);
        }
        return false;
    }

private:
    void idle()
    {
        const qint64 idleNs = nowNs();
        std::printf("kelda-startup-probe platform=%s main=%lld application=%lld window=%lld exposed=%lld idle=%lld "
                    "cpu=%lld maincpu=%lld title=%s\n",
                    qPrintable(QGuiApplication::platformName()), m_main, m_app, m_windowNs, m_exposed, idleNs,
                    cpuNs(CLOCK_PROCESS_CPUTIME_ID), cpuNs(CLOCK_THREAD_CPUTIME_ID),
                    qPrintable(m_window->windowTitle()));
        std::fflush(stdout);
        QCoreApplication::exit(0);
    }

    qint64 m_main, m_app, m_windowNs = 0, m_exposed = 0;
    QWidget *m_window = nullptr;
};

// Fontconfig reads its configuration (a few dozen XML files) when the first
// font is looked up, in the middle of building the window. Started here it
// runs on another core while QApplication connects to the display. The
// library comes with Qt's GUI library where Qt uses it; elsewhere nothing runs.
std::thread startFontconfig()
{
#ifdef Q_OS_UNIX
    if (auto init = reinterpret_cast<int (*)()>(dlsym(RTLD_DEFAULT, "FcInit")))
        return std::thread(init);
#endif
    return {};
}

void describeArguments(QCommandLineParser &parser)
{
    parser.setApplicationDescription(
        QStringLiteral("Editor for the setups of the LX2 power-management module. Without SETUP.kelda it "
                       "reopens the setup last opened or saved."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("SETUP.kelda"),
                                 QStringLiteral("The setup to open instead of the last one."),
                                 QStringLiteral("[SETUP.kelda]"));
}

// --help and --version are answered before QApplication reaches for a
// display, so that they work on a console and in a package's checks.
bool wantsHelpOrVersion(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view word(argv[i]);
        if (word == "--")
            return false;
        if (word == "-h" || word == "-?" || word == "--help" || word == "-v" || word == "--version")
            return true;
    }
    return false;
}

[[noreturn]] void printHelpOrVersion(int argc, char **argv)
{
    // Asked before the application opens files: one of them would take a
    // closed descriptor 1 and receive the text.
#ifdef Q_OS_UNIX
    if (::fcntl(STDOUT_FILENO, F_GETFD) == -1) {
        std::fprintf(stderr, "kelda: standard output cannot be written: %s\n", std::strerror(errno));
        std::exit(1);
    }
#endif
    QCoreApplication core(argc, argv);
    QCommandLineParser parser;
    describeArguments(parser);
    // Qt's own options (-platform, -style, ...) are no error here: only a display would take them.
    parser.parse(core.arguments());
    // Printed here rather than by showHelp()/showVersion(), which exit with
    // 0 even when nothing reached a full disk or a closed standard output.
    const QByteArray text = parser.isSet(QStringLiteral("version"))
        ? QStringLiteral("kelda %1\n").arg(QCoreApplication::applicationVersion()).toLocal8Bit()
        : parser.helpText().toLocal8Bit();
    const bool written = std::fwrite(text.constData(), 1, size_t(text.size()), stdout) == size_t(text.size());
    const int flushed = std::fflush(stdout);
    const int error = errno;
    if (!written || flushed != 0 || std::fclose(stdout) != 0) {
        std::fprintf(stderr, "kelda: standard output cannot be written: %s\n",
                     std::strerror(written && flushed == 0 ? errno : error));
        std::exit(1);
    }
    std::exit(0);
}

// The setup named on the command line, as an absolute path (the title and
// the settings name it so); empty when none was named. Exits on a usage error.
QString setupArgument(const QApplication &app)
{
    QCommandLineParser parser;
    describeArguments(parser);
    parser.process(app);
    const QStringList files = parser.positionalArguments();
    if (files.size() > 1) {
        std::fprintf(stderr, "kelda: opens one setup at a time; '%s' is one too many\n\n%s", qPrintable(files.at(1)),
                     qPrintable(parser.helpText()));
        std::exit(2);
    }
    return files.isEmpty() ? QString() : QFileInfo(files.first()).absoluteFilePath();
}

}  // namespace

int main(int argc, char *argv[])
{
    const qint64 mainNs = nowNs();
    QCoreApplication::setApplicationName(QStringLiteral("kelda"));
    QCoreApplication::setApplicationVersion(QLatin1String(kelda::kVersion));
    if (wantsHelpOrVersion(argc, argv))
        printHelpOrVersion(argc, argv);
    std::thread fontconfig = startFontconfig();
    auto app = std::make_unique<QApplication>(argc, argv);
    // Lets the desktop match the window to the installed menu entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.ostrel.kelda"));
    // Joined before the first font is needed, so that it is never read twice.
    if (fontconfig.joinable())
        fontconfig.join();
    const QString setupFile = setupArgument(*app);
    std::unique_ptr<StartupProbe> probe;
    if (!qEnvironmentVariableIsEmpty("KELDA_STARTUP_PROBE"))
        probe = std::make_unique<StartupProbe>(mainNs, nowNs());
    auto window = std::make_unique<KELDA>(std::make_unique<Prompter>(), nullptr, setupFile);
    if (probe)
        probe->watch(window.get());
    window->show();
    const int result = app->exec();
    // The window goes before the application object.
    probe.reset();
    window.reset();
    app.reset();
    return result;
}
