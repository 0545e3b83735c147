// kelda's command line: a setup named on it is opened instead of the last
// one (the file manager's Open), in the window and by the real program, and
// --help and --version answer without a display.
#include <QApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

#include "kelda.h"
#include "pmcolumns.h"
#include "pmmodel.h"
#include "scriptedprompter.h"
#include "settings.h"
#include "testenv.h"

using kelda::ItemType;
using kelda::settings::Key;
using kelda::test::ScriptedPrompter;

namespace {

const QString kProgram = QStringLiteral(KELDA_BUILD_DIR "/app/kelda");

struct Run {
    int status = -1;
    QString out;
    QString err;
};

Run run(const QStringList &args, const QProcessEnvironment &env, const QString &folder = QString())
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(folder);
    p.start(kProgram, args);
    Run r;
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit)
        return r;
    r.status = p.exitCode();
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

// A setup with this many timers.
bool writeSetup(const QString &path, int timers)
{
    PMModel m;
    m.setMode(int(Mode::Timers));
    for (int i = 0; i < timers; ++i)
        if (!m.insertRows(0, 1))
            return false;
    return m.saveSetup(path);
}

QString setting(Key key)
{
    auto s = kelda::settings::open();
    return kelda::settings::read(*s, key);
}

void setSetting(Key key, const QString &value)
{
    auto s = kelda::settings::open();
    kelda::settings::write(*s, key, value);
    s->sync();
}

}  // namespace

class TestCommandLine : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    ScriptedPrompter *m_prompter = nullptr;

    QString path(const QString &name) const { return m_dir.filePath(name); }

    std::unique_ptr<KELDA> windowFor(const QString &file)
    {
        auto p = std::make_unique<ScriptedPrompter>();
        m_prompter = p.get();
        return std::make_unique<KELDA>(std::move(p), nullptr, file);
    }

    // The real program on the offscreen platform with the test's settings.
    QProcessEnvironment offscreen() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_DATA_HOME"), path(QStringLiteral("data")));
        env.insert(QStringLiteral("CORLA_NO_SYSTEM_PORTS"), QStringLiteral("1"));
        return env;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(writeSetup(path(QStringLiteral("last.kelda")), 3));
        QVERIFY(writeSetup(path(QStringLiteral("named setup.kelda")), 1));
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("folder.kelda")));
        QFile broken(path(QStringLiteral("broken.kelda")));
        QVERIFY(broken.open(QIODevice::WriteOnly) && broken.write("KELDASET but no store") > 0);
    }

    void init()
    {
        setSetting(Key::LastSetup, path(QStringLiteral("last.kelda")));
        setSetting(Key::DefaultPath, QStringLiteral("/some/folder"));
    }

    // The named file is opened, not the last one, and remembered as Open remembers it.
    void namedSetupIsOpened()
    {
        const QString named = path(QStringLiteral("named setup.kelda"));
        auto w = windowFor(named);
        QCOMPARE(w->model()->fileName(), named);
        QCOMPARE(w->model()->itemCount(ItemType::Timer), 1);
        QVERIFY2(w->windowTitle().startsWith(QStringLiteral("KELDA - ") + named), qPrintable(w->windowTitle()));
        QVERIFY(m_prompter->told.isEmpty());
        QCOMPARE(setting(Key::LastSetup), named);
        QCOMPARE(setting(Key::DefaultPath), m_dir.path());
    }

    void namedSetupFails_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("missing") << QStringLiteral("missing.kelda");
        QTest::newRow("folder") << QStringLiteral("folder.kelda");
        QTest::newRow("broken") << QStringLiteral("broken.kelda");
    }

    // A file that cannot be opened is said so, even when it is missing, and
    // leaves a new setup (not the last one) and the settings as they were.
    void namedSetupFails()
    {
        QFETCH(QString, name);
        auto w = windowFor(path(name));
        QCOMPARE(m_prompter->told.size(), 1);
        QCOMPARE(m_prompter->told.first().icon, QMessageBox::Warning);
        QVERIFY(m_prompter->told.first().text.contains(QStringLiteral("could not be opened")));
        QVERIFY(m_prompter->told.first().text.contains(path(name)));
        QVERIFY(w->model()->fileName().isEmpty());
        QCOMPARE(w->model()->itemCount(ItemType::Timer), 0);
        QVERIFY(!w->model()->isModified());
        QVERIFY2(w->windowTitle().startsWith(QStringLiteral("KELDA - New Setup")), qPrintable(w->windowTitle()));
        QCOMPARE(setting(Key::LastSetup), path(QStringLiteral("last.kelda")));
        QCOMPARE(setting(Key::DefaultPath), QStringLiteral("/some/folder"));
    }

    // Without a display, a platform or even the offscreen one named.
    void helpAndVersionWithoutDisplay()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QLatin1String(name));
        for (const QString &option : {QStringLiteral("--version"), QStringLiteral("-v")}) {
            const Run r = run({option}, env);
            QCOMPARE(r.status, 0);
            QCOMPARE(r.out, QStringLiteral("kelda %1\n").arg(QLatin1String(KELDA_VERSION)));
        }
        for (const QStringList &args : {QStringList{QStringLiteral("--help")}, QStringList{QStringLiteral("-h")},
                                        QStringList{QStringLiteral("-platform"), QStringLiteral("xcb"),
                                                    QStringLiteral("x.kelda"), QStringLiteral("--help")}}) {
            const Run r = run(args, env);
            QVERIFY2(r.status == 0 && r.err.isEmpty(), qPrintable(args.join(QLatin1Char(' ')) + r.err));
            QVERIFY2(r.out.startsWith(QStringLiteral("Usage: ")) && r.out.contains(QLatin1String("[SETUP.kelda]"))
                         && r.out.contains(QLatin1String("--version")),
                     qPrintable(r.out));
        }
    }

    // A full disk or a closed standard output is a failure, not a printed text.
    void helpAndVersionThatCannotBeWritten()
    {
        if (!QFile::exists(QStringLiteral("/dev/full")))
            QSKIP("no /dev/full here");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QLatin1String(name));
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));  // the system's reason, in English
        for (const QString &option : {QStringLiteral("--version"), QStringLiteral("--help")}) {
            for (const bool closed : {false, true}) {
                QProcess p;
                p.setProcessEnvironment(env);
                if (closed)
                    p.setChildProcessModifier([] { ::close(STDOUT_FILENO); });
                else
                    p.setStandardOutputFile(QStringLiteral("/dev/full"));
                p.start(kProgram, {option});
                QVERIFY(p.waitForFinished(60000));
                const QString err = QString::fromLocal8Bit(p.readAllStandardError());
                QCOMPARE(p.exitStatus(), QProcess::NormalExit);
                QVERIFY2(p.exitCode() == 1, qPrintable(option + err));
                const QString why =
                    closed ? QStringLiteral("Bad file descriptor") : QStringLiteral("No space left on device");
                QCOMPARE(err, QStringLiteral("kelda: standard output cannot be written: %1\n").arg(why));
            }
            // The emulator answers its --help and --version the same way.
            QProcess p;
            p.setProcessEnvironment(env);
            p.setStandardOutputFile(QStringLiteral("/dev/full"));
            p.start(QStringLiteral(KELDA_BUILD_DIR "/emulator/lx2-emulator"), {option});
            QVERIFY(p.waitForFinished(60000));
            const QString err = QString::fromLocal8Bit(p.readAllStandardError());
            QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 1, qPrintable(option + err));
            QCOMPARE(err, QStringLiteral("lx2-emulator: standard output cannot be written: No space left on device\n"));
        }
    }

    // The pseudo-terminal's path is how a caller finds the emulator: when it
    // cannot be printed, the emulator ends instead of running unseen.
    void emulatorPathThatCannotBePrinted()
    {
        if (!QFile::exists(QStringLiteral("/dev/full")))
            QSKIP("no /dev/full here");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
        QProcess p;
        p.setProcessEnvironment(env);
        p.setStandardOutputFile(QStringLiteral("/dev/full"));
        p.start(QStringLiteral(KELDA_BUILD_DIR "/emulator/lx2-emulator"), {});
        if (!p.waitForStarted())
            QSKIP("lx2-emulator cannot be started");
        const bool ended = p.waitForFinished(10000);
        if (!ended) {
            p.kill();
            p.waitForFinished();
        }
        const QString err = QString::fromLocal8Bit(p.readAllStandardError());
        if (err.contains(QLatin1String("cannot create a pseudo-terminal")))
            QSKIP(qPrintable(QStringLiteral("no pseudo-terminals here: ") + err));
        QVERIFY2(ended && p.exitCode() == 2, qPrintable(err));
        QCOMPARE(err,
                 QStringLiteral("lx2-emulator: cannot print the pseudo-terminal's path: No space left on device\n"));
    }

    // A word that is no option is refused, not ignored while the module runs.
    void emulatorTakesOptionsOnly()
    {
        QProcess p;
        p.start(QStringLiteral(KELDA_BUILD_DIR "/emulator/lx2-emulator"), {QStringLiteral("extra")});
        QVERIFY(p.waitForStarted());
        const bool ended = p.waitForFinished(10000);
        if (!ended) {
            p.kill();
            p.waitForFinished();
        }
        const QByteArray err = p.readAllStandardError();
        QVERIFY2(ended && p.exitCode() == 2 && err.startsWith("lx2-emulator: unexpected 'extra'"), err.constData());
        QVERIFY(p.readAllStandardOutput().isEmpty());
    }

    void usageErrors()
    {
        const Run two = run({QStringLiteral("a.kelda"), QStringLiteral("b.kelda")}, offscreen());
        QCOMPARE(two.status, 2);
        QVERIFY2(two.err.startsWith(QStringLiteral("kelda: opens one setup at a time; 'b.kelda' is one too many")),
                 qPrintable(two.err));
        const Run unknown = run({QStringLiteral("--bogus")}, offscreen());
        QCOMPARE(unknown.status, 1);
        QVERIFY2(unknown.err.contains(QLatin1String("bogus")), qPrintable(unknown.err));
    }

    // The program itself: a name relative to its working folder is opened as
    // the absolute path, which the title shows.
    void programOpensNamedSetup()
    {
        QProcessEnvironment env = offscreen();
        env.insert(QStringLiteral("KELDA_STARTUP_PROBE"), QStringLiteral("1"));
        QTemporaryDir config;
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
        const Run r = run({QStringLiteral("named setup.kelda")}, env, m_dir.path());
        QVERIFY2(r.status == 0, qPrintable(r.err));
        QVERIFY2(r.out.contains(QStringLiteral("title=KELDA - ") + path(QStringLiteral("named setup.kelda"))),
                 qPrintable(r.out));
    }
};

KELDA_TEST_MAIN_IN_TEMPORARY_CONFIG(TestCommandLine)
#include "tst_commandline.moc"
