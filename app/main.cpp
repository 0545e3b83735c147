#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <QWindow>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>

#include "kelda.h"

namespace {

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// KELDA_STARTUP_PROBE=1 is for bench/startup: once the main window has been
// exposed and the events queued behind its first paint are done (a zero timer
// fires only then), prints one line to stdout (steady-clock times in
// nanoseconds, the CPU time used so far, the window title last) and leaves the
// event loop without closing the window, so nothing is asked or saved.
class StartupProbe : public QObject
{
public:
    StartupProbe(qint64 mainNs, qint64 appNs) : m_main(mainNs), m_app(appNs) {}

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
        timespec cpu{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
        std::printf("kelda-startup-probe platform=%s main=%lld application=%lld window=%lld exposed=%lld idle=%lld "
                    "cpu=%lld title=%s\n",
                    qPrintable(QGuiApplication::platformName()), m_main, m_app, m_windowNs, m_exposed, idleNs,
                    qint64(cpu.tv_sec) * 1000000000 + cpu.tv_nsec, qPrintable(m_window->windowTitle()));
        std::fflush(stdout);
        QCoreApplication::exit(0);
    }

    qint64 m_main, m_app, m_windowNs = 0, m_exposed = 0;
    QWidget *m_window = nullptr;
};

} // namespace

int main(int argc, char *argv[])
{
    const qint64 mainNs = nowNs();
    auto app = std::make_unique<QApplication>(argc, argv);
    std::unique_ptr<StartupProbe> probe;
    if (!qEnvironmentVariableIsEmpty("KELDA_STARTUP_PROBE"))
        probe = std::make_unique<StartupProbe>(mainNs, nowNs());
    auto window = std::make_unique<KELDA>();
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
