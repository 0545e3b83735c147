// File > Export in the main window: the save dialog, the patched calibration
// file, "DefaultPath" and the messages.
#include <QAction>
#include <QApplication>
#include <QLocale>
#include <QTemporaryDir>
#include <QtTest>

#include "kelda.h"
#include "pmmodel.h"
#include "scriptedprompter.h"
#include "settings.h"
#include "setupbuilder.h"
#include "testenv.h"
#include "testfiles.h"

using namespace kelda;
using namespace kelda::test;

class TestExport : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<KELDA> m_window;
    ScriptedPrompter *m_prompter = nullptr;

    QString path(const QString &name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase()
    {
        // No QStandardPaths test mode here: it would move the settings out of
        // the temporary XDG_CONFIG_HOME that main() sets.
        QLocale::setDefault(QLocale::c());
        QVERIFY(m_dir.isValid());
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("out")));
    }

    void init()
    {
        auto p = std::make_unique<ScriptedPrompter>();
        p->otherwise = ScriptedPrompter::answer(QMessageBox::No);  // never save anything on the way out
        m_prompter = p.get();
        m_window = std::make_unique<KELDA>(std::move(p));
        settings::write(m_window->settings(), settings::Key::DefaultPath, m_dir.path());
    }

    void cleanup()
    {
        m_window->model()->setModified(false);
        m_window.reset();
    }

    void cancelDoesNothing()
    {
        m_prompter->saveAnswers.clear();  // the dialog is cancelled
        m_window->fileExport();
        QCOMPARE(m_prompter->saveCalls.size(), 1);
        const auto &d = m_prompter->saveCalls.first();
        QCOMPARE(d.caption, QStringLiteral("KELDA"));
        QCOMPARE(d.dir, m_dir.path());
        QCOMPARE(d.filter, QStringLiteral("LX2 Cal files (*.cal);;All files (*.*)"));
        QVERIFY(d.options.testFlag(QFileDialog::DontConfirmOverwrite));
        QVERIFY(m_prompter->told.isEmpty());
        QCOMPARE(settings::read(m_window->settings(), settings::Key::DefaultPath), m_dir.path());
        QVERIFY(!QFile::exists(path(QStringLiteral("LX2Raw.bin"))));
    }

    void exportThroughTheMenu()
    {
        PMModel *model = m_window->model();
        SetupBuilder b(*model);
        b.timer();
        QVERIFY(model->saveSetup(path(QStringLiteral("x.kelda"))));
        const QString cal = path(QStringLiteral("out/new.cal"));
        m_prompter->saveAnswers << cal;
        auto *action = m_window->findChild<QAction *>(QStringLiteral("action_Export"));
        QVERIFY(action);
        action->trigger();

        QCOMPARE(m_prompter->told.size(), 1);
        QCOMPARE(m_prompter->told.first().icon, QMessageBox::Information);
        QCOMPARE(m_prompter->told.first().title, QStringLiteral("KELDA"));
        QCOMPARE(m_prompter->told.first().text, QStringLiteral("Setup Exported"));
        QCOMPARE(settings::read(m_window->settings(), settings::Key::DefaultPath), path(QStringLiteral("out")));

        const QByteArray image = readFile(path(QStringLiteral("out/LX2Raw.bin")));
        QCOMPARE(image.size(), 56);
        const QByteArray bytes = readFile(cal);
        QCOMPARE(bytes.left(88), QByteArray(88, '\0'));
        QCOMPARE(bytes.mid(88, 8), QByteArray("x.kelda2"));
        QCOMPARE(bytes.mid(96), image);
    }

    void failureIsReported()
    {
        QVERIFY(addRawItems(m_window->model()->session(), ItemType::Timer, 256));
        const QString cal = path(QStringLiteral("out/kept.cal"));
        QVERIFY(writeFile(cal, QByteArray(120, 'c')));
        m_prompter->saveAnswers << cal;
        m_window->fileExport();

        // The setup check refuses it before a file is even asked for.
        QCOMPARE(m_prompter->told.size(), 1);
        const auto &m = m_prompter->told.first();
        QCOMPARE(m.icon, QMessageBox::Critical);
        QCOMPARE(m.title, QStringLiteral("KELDA"));
        QVERIFY2(m.text.contains(QLatin1String("Timers")) && m.text.contains(QLatin1String("256"))
                     && m.text.contains(QLatin1String("Nothing was exported")),
                 qPrintable(m.text));
        QCOMPARE(readFile(cal), QByteArray(120, 'c'));
        QCOMPARE(settings::read(m_window->settings(), settings::Key::DefaultPath), m_dir.path());
    }

    // Exporting onto the open setup's own file, or onto LX2Raw.bin, which the
    // export writes beside the calibration, is refused with a warning: nothing
    // is written, nothing is remembered.
    void exportOntoItsOwnInputIsRefused()
    {
        PMModel *model = m_window->model();
        SetupBuilder b(*model);
        b.timer();
        const QString setup = path(QStringLiteral("own.kelda"));
        QVERIFY(model->saveSetup(setup));
        const QByteArray saved = readFile(setup);
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("raw")));
        for (const QString &answer : {setup, path(QStringLiteral("raw/LX2Raw.bin"))}) {
            m_prompter->told.clear();
            m_prompter->saveAnswers << answer;
            m_window->fileExport();
            QCOMPARE(m_prompter->told.size(), 1);
            const auto &m = m_prompter->told.first();
            QCOMPARE(m.icon, QMessageBox::Warning);
            QCOMPARE(m.title, QStringLiteral("KELDA"));
            QVERIFY2(m.text.contains(QFileInfo(answer).fileName()), qPrintable(m.text));
            QCOMPARE(readFile(setup), saved);
            QVERIFY(!QFile::exists(path(QStringLiteral("LX2Raw.bin"))));
            QVERIFY(!QFile::exists(path(QStringLiteral("raw/LX2Raw.bin"))));
            QCOMPARE(settings::read(m_window->settings(), settings::Key::DefaultPath), m_dir.path());
        }
    }
};

// Settings of the window go to a throw-away folder, never the user's.
KELDA_TEST_MAIN_IN_TEMPORARY_CONFIG(TestExport)

#include "tst_export.moc"
