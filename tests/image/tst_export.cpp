// File > Export in the main window: the save dialog, the patched calibration
// file, "DefaultPath" and the messages.
#include <QAction>
#include <QApplication>
#include <QLocale>
#include <QTemporaryDir>
#include <QtTest>

#include "kelda.h"
#include "pmmodel.h"
#include "settings.h"
#include "setupbuilder.h"

using namespace kelda;

namespace {

// Answers the save dialog with a fixed path and records every call.
class ScriptedPrompter : public Prompter
{
public:
    QString answer;
    struct Dialog {
        QString caption, dir, filter;
        QFileDialog::Options options;
    };
    QList<Dialog> dialogs;
    struct Message {
        QMessageBox::Icon icon;
        QString title, text;
    };
    QList<Message> messages;

    QString saveFileName(QWidget *, const QString &caption, const QString &dir, const QString &filter,
                         QFileDialog::Options options) override
    {
        dialogs.append({caption, dir, filter, options});
        return answer;
    }
    void tell(QWidget *, QMessageBox::Icon icon, const QString &title, const QString &text) override
    {
        messages.append({icon, title, text});
    }
    QMessageBox::StandardButton ask(QWidget *, QMessageBox::Icon, const QString &, const QString &,
                                    QMessageBox::StandardButtons) override
    {
        return QMessageBox::No;  // never save anything on the way out
    }
};

} // namespace

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
        m_prompter->answer.clear();
        m_window->fileExport();
        QCOMPARE(m_prompter->dialogs.size(), 1);
        const auto &d = m_prompter->dialogs.first();
        QCOMPARE(d.caption, QStringLiteral("KELDA"));
        QCOMPARE(d.dir, m_dir.path());
        QCOMPARE(d.filter, QStringLiteral("LX2 Cal files (*.cal);;All files (*.*)"));
        QVERIFY(d.options.testFlag(QFileDialog::DontConfirmOverwrite));
        QVERIFY(m_prompter->messages.isEmpty());
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
        m_prompter->answer = cal;
        auto *action = m_window->findChild<QAction *>(QStringLiteral("action_Export"));
        QVERIFY(action);
        action->trigger();

        QCOMPARE(m_prompter->messages.size(), 1);
        QCOMPARE(m_prompter->messages.first().icon, QMessageBox::Information);
        QCOMPARE(m_prompter->messages.first().title, QStringLiteral("KELDA"));
        QCOMPARE(m_prompter->messages.first().text, QStringLiteral("Setup Exported"));
        QCOMPARE(settings::read(m_window->settings(), settings::Key::DefaultPath), path(QStringLiteral("out")));

        const QByteArray image = readAll(path(QStringLiteral("out/LX2Raw.bin")));
        QCOMPARE(image.size(), 56);
        const QByteArray bytes = readAll(cal);
        QCOMPARE(bytes.left(88), QByteArray(88, '\0'));
        QCOMPARE(bytes.mid(88, 8), QByteArray("x.kelda2"));
        QCOMPARE(bytes.mid(96), image);
    }

    void failureIsReported()
    {
        PMModel *model = m_window->model();
        StoreSession s = model->session();
        QVERIFY(STRATA_GotoRoot(s) && STRATA_OpenItem(toU16(ItemType::Setup), 0, s));
        QVERIFY(STRATA_InsertItemBlocks(toU16(ItemType::Timer), 256, s));
        const QString cal = path(QStringLiteral("out/kept.cal"));
        {
            QFile f(cal);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(QByteArray(120, 'c'));
        }
        m_prompter->answer = cal;
        m_window->fileExport();

        // The setup check refuses it before a file is even asked for.
        QCOMPARE(m_prompter->messages.size(), 1);
        const auto &m = m_prompter->messages.first();
        QCOMPARE(m.icon, QMessageBox::Critical);
        QCOMPARE(m.title, QStringLiteral("KELDA"));
        QVERIFY2(m.text.contains(QLatin1String("Timers")) && m.text.contains(QLatin1String("256"))
                     && m.text.contains(QLatin1String("Nothing was exported")),
                 qPrintable(m.text));
        QCOMPARE(readAll(cal), QByteArray(120, 'c'));
        QCOMPARE(settings::read(m_window->settings(), settings::Key::DefaultPath), m_dir.path());
    }
};

int main(int argc, char *argv[])
{
    // Settings of the window go to a throw-away folder, never the user's.
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    QApplication app(argc, argv);
    TestExport test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_export.moc"
