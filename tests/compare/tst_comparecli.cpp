// kelda-cli diff and show as the real executable, and the git recipe of
// docs/compare.md tried in a temporary repository.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "clirun.h"
#include "pmmodel.h"
#include "setupbuilder.h"
#include "testpaths.h"

using namespace kelda;
using namespace kelda::test;

namespace {

// git in the repository's folder, with the test's own environment.
CliRun git(const QStringList &args, const QString &dir, const QProcessEnvironment &env)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(dir);
    p.start(QStringLiteral("git"), args);
    CliRun r;
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit)
        return r;
    r.exitCode = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    if (r.exitCode != 0)
        qWarning("git %s: %s", qPrintable(args.join(' ')), r.err.constData());
    return r;
}

// A timer "Pump" and an event that starts it on key 1.
bool writeSetup(const QString &path, double pumpSeconds, bool withFan = false)
{
    PMModel m;
    SetupBuilder b(m);
    b.set(Mode::Timers, b.timer(pumpSeconds), TimerCol::Name, QStringLiteral("Pump"));
    if (withFan)
        b.set(Mode::Timers, b.timer(3.0), TimerCol::Name, QStringLiteral("Fan"));
    const int ev = b.event();
    b.input(ev, 0, QStringLiteral("KP: Keypad 1"), QStringLiteral("Pressed"));
    b.entry(Mode::Events, ev, int(EventList::TimersToStart), QStringLiteral("Pump"));
    return m.saveSetup(path);
}

const QByteArray kArrow = QByteArrayLiteral("\xE2\x86\x92");  // U+2192 in UTF-8

}  // namespace

class TestCompareCli : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase()
    {
        QLocale::setDefault(QLocale::c());
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(m_dir.isValid());
        QVERIFY(QFileInfo(cliProgram()).isExecutable());
        QVERIFY(writeSetup(path(QStringLiteral("a.kelda")), 0.5));
        QVERIFY(writeSetup(path(QStringLiteral("a2.kelda")), 0.5));
        QVERIFY(writeSetup(path(QStringLiteral("b.kelda")), 2.0, true));
        QFile junk(path(QStringLiteral("junk.kelda")));
        QVERIFY(junk.open(QIODevice::WriteOnly) && junk.write("not a setup at all") > 0);
    }

    void exitStatusesAndText()
    {
        const QString a = path(QStringLiteral("a.kelda"));
        const QString b = path(QStringLiteral("b.kelda"));

        CliRun r = runCli({QStringLiteral("diff"), a, path(QStringLiteral("a2.kelda"))});
        QCOMPARE(r.exitCode, 0);
        QVERIFY(r.err.isEmpty());
        QVERIFY2(r.out.startsWith("The setups are the same.\nCompiled images: identical ("), r.out.constData());

        r = runCli({QStringLiteral("diff"), a, b});
        QCOMPARE(r.exitCode, 1);
        QVERIFY(r.err.isEmpty());
        const QByteArray expected = "Timers\n"
                                    "  changed timer \"Pump\": Reset Value/s: 0.5 "
            + kArrow
            + " 2\n"
              "  added timer \"Fan\" (row 2): Reset Value/s: 3\n"
              "Compiled images: differ ";
        QVERIFY2(r.out.startsWith(expected), r.out.constData());
        QCOMPARE(r.out.count('\n'), 4);

        // Trouble is 2, as with diff: one line saying what and why.
        const QList<QPair<QStringList, QByteArray>> troubles = {
            {{QStringLiteral("diff"), a, path(QStringLiteral("missing.kelda"))}, "missing.kelda: no such file\n"},
            {{QStringLiteral("diff"), path(QStringLiteral("junk.kelda")), b}, "junk.kelda: "},
        };
        for (const auto &t : troubles) {
            r = runCli(t.first);
            QCOMPARE(r.exitCode, 2);
            QVERIFY(r.out.isEmpty());
            QVERIFY2(r.err.startsWith("kelda-cli: cannot open ") && r.err.count('\n') == 1, r.err.constData());
            QVERIFY2(r.err.contains(t.second), r.err.constData());
        }
        for (const QStringList &args : QList<QStringList>{{QStringLiteral("diff")},
                                                          {QStringLiteral("diff"), a},
                                                          {QStringLiteral("diff"), a, b, a},
                                                          {QStringLiteral("diff"), a, b, QStringLiteral("--yaml")},
                                                          {QStringLiteral("diff"), QStringLiteral("--git"), a, b},
                                                          {QStringLiteral("show")}}) {
            r = runCli(args);
            QVERIFY2(r.exitCode == 2 && r.err.contains("usage:"), qPrintable(args.join(' ')));
            QVERIFY(r.out.isEmpty());
        }
        r = runCli({QStringLiteral("--help")});
        QCOMPARE(r.exitCode, 0);
        QVERIFY(r.out.contains("kelda-cli diff OLD.kelda NEW.kelda [--json]"));
        QVERIFY(r.out.contains("kelda-cli show SETUP.kelda"));
    }

    void jsonDocument()
    {
        CliRun r = runCli({QStringLiteral("diff"), QStringLiteral("--json"), path(QStringLiteral("a.kelda")),
                           path(QStringLiteral("b.kelda"))});
        QCOMPARE(r.exitCode, 1);
        QJsonParseError error;
        const QJsonObject root = QJsonDocument::fromJson(r.out, &error).object();
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(root.value("format").toString(), QStringLiteral("kelda-setup-diff"));
        QCOMPARE(root.value("new").toString(), path(QStringLiteral("b.kelda")));
        QCOMPARE(root.value("same").toBool(), false);
        const QJsonArray diffs = root.value("differences").toArray();
        QCOMPARE(diffs.size(), 3);
        const QJsonObject pump = diffs.at(0).toObject();
        QCOMPARE(pump.value("name").toString(), QStringLiteral("Pump"));
        QCOMPARE(pump.value("cells").toArray().at(0).toObject().value("new").toString(), QStringLiteral("2"));
        QCOMPARE(diffs.at(1).toObject().value("kind").toString(), QStringLiteral("added"));
        QCOMPARE(root.value("image").toObject().value("result").toString(), QStringLiteral("different"));

        r = runCli({QStringLiteral("diff"), path(QStringLiteral("a.kelda")), path(QStringLiteral("a2.kelda")),
                    QStringLiteral("--json")});
        QCOMPARE(r.exitCode, 0);
        const QJsonObject same = QJsonDocument::fromJson(r.out).object();
        QCOMPARE(same.value("same").toBool(), true);
        QCOMPARE(same.value("differences").toArray().size(), 0);
        QCOMPARE(same.value("image").toObject().value("result").toString(), QStringLiteral("identical"));
    }

    void showListsTheSetup()
    {
        CliRun r = runCli({QStringLiteral("show"), path(QStringLiteral("b.kelda"))});
        QCOMPARE(r.exitCode, 0);
        const QList<QByteArray> got = r.out.split('\n');
        QVERIFY(got.contains("Timers \"Pump\": Reset Value/s: 2"));
        QVERIFY(got.contains("Events \"Event 1\": Priority: 1; Input 1: KP: Keypad 1; Type 1: Pressed; With 1: NONE; "
                             "Timers to Start: Pump"));
        r = runCli({QStringLiteral("show"), path(QStringLiteral("missing.kelda"))});
        QCOMPARE(r.exitCode, 1);
        QVERIFY(r.err.startsWith("kelda-cli: cannot open "));
    }

    // A name with quotes, a backslash and control characters stays on its
    // line in show, diff, check and uses, escaped the same way in each.
    void namesPrintedOnOneLine()
    {
        const QString before = path(QStringLiteral("plain.kelda")), after = path(QStringLiteral("hostile.kelda"));
        QVERIFY(writeSetup(before, 0.5));
        const QString name = QStringLiteral("Pump \"big\"\\\n\t\x02");
        const QByteArray printed = "\"Pump \\\"big\\\"\\\\\\n\\t\\x02\"";
        {
            PMModel m;
            QVERIFY(m.openSetup(before));
            SetupBuilder b(m);
            b.state();
            QVERIFY(b.set(Mode::Timers, 0, TimerCol::Name, name));  // renamed where it is named too
            for (ItemType type : {ItemType::Event, ItemType::State}) {
                StoreCursor c(m.session());
                QVERIFY(c.item(type, 0) && c.setText(ValueId::Name, name));
            }
            QVERIFY(m.saveSetup(after));
        }
        auto lines = [](const QByteArray &out) { return out.split('\n'); };
        const CliRun show = runCli({QStringLiteral("show"), after});
        QCOMPARE(show.exitCode, 0);
        QVERIFY2(lines(show.out).contains("Timers " + printed + ": Reset Value/s: 0.5"), show.out.constData());
        QVERIFY2(show.out.contains("Events " + printed + ": "), show.out.constData());
        QVERIFY(show.out.contains("Timers to Start: Pump \"big\"\\\\n\\t\\x02"));

        const CliRun diff = runCli({QStringLiteral("diff"), before, after});
        QCOMPARE(diff.exitCode, 1);
        QVERIFY2(lines(diff.out).contains("  renamed timer \"Pump\" " + kArrow + ' ' + printed), diff.out.constData());

        const CliRun check = runCli({QStringLiteral("check"), after});
        QVERIFY2(check.out.contains("warning state-never-set States 1 " + printed + ": No event sets this state"),
                 check.out.constData());
        for (const QByteArray &line : lines(check.out))
            QVERIFY2(line.isEmpty() || line.startsWith("warning ") || line.startsWith("error "), line.constData());

        const CliRun uses = runCli({QStringLiteral("uses"), after, QStringLiteral("Timers"), name});
        QCOMPARE(uses.exitCode, 0);
        QCOMPARE(uses.out, "Events 1 " + printed + ": Timers to Start\n");
    }

    // The recipe of docs/compare.md, word for word, with kelda-cli on the PATH
    // and git's configuration in a home folder of the test's own.
    void gitRecipe()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("git")).isEmpty())
            QSKIP("git is not installed");
        QTemporaryDir home;
        QVERIFY(home.isValid());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString &key : env.keys())
            if (key.startsWith(QLatin1String("GIT_")))
                env.remove(key);
        env.insert(QStringLiteral("HOME"), home.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral(".config")));
        env.insert(QStringLiteral("GIT_CONFIG_NOSYSTEM"), QStringLiteral("1"));
        env.insert(QStringLiteral("GIT_AUTHOR_NAME"), QStringLiteral("Test"));
        env.insert(QStringLiteral("GIT_AUTHOR_EMAIL"), QStringLiteral("test@example.invalid"));
        env.insert(QStringLiteral("GIT_COMMITTER_NAME"), QStringLiteral("Test"));
        env.insert(QStringLiteral("GIT_COMMITTER_EMAIL"), QStringLiteral("test@example.invalid"));
        env.insert(QStringLiteral("PATH"),
                   QFileInfo(cliProgram()).absolutePath() + QLatin1Char(':') + env.value(QStringLiteral("PATH")));
        const QString repo = home.filePath(QStringLiteral("setups"));
        QVERIFY(QDir().mkpath(repo));
        auto git = [&](const QStringList &args) { return ::git(args, repo, env); };

        QCOMPARE(git({"init", "-q"}).exitCode, 0);
        QCOMPARE(git({"config", "--global", "diff.kelda.textconv", "kelda-cli show --textconv"}).exitCode, 0);
        QCOMPARE(git({"config", "--global", "diff.kelda.command", "kelda-cli diff --git"}).exitCode, 0);
        QFile attributes(repo + QStringLiteral("/.gitattributes"));
        QVERIFY(attributes.open(QIODevice::WriteOnly) && attributes.write("*.kelda diff=kelda\n") > 0);
        attributes.close();
        const QString truck = repo + QStringLiteral("/truck.kelda");
        QVERIFY(writeSetup(truck, 0.5));
        QCOMPARE(git({"add", "."}).exitCode, 0);

        // A new file: compared with a new setup.
        CliRun r = git({"diff", "--cached"});
        QVERIFY2(r.out.contains("diff --kelda a/truck.kelda b/truck.kelda\nnew setup file"), r.out.constData());
        QVERIFY2(r.out.contains("added timer \"Pump\" (row 1): Reset Value/s: 0.5"), r.out.constData());
        QCOMPARE(git({"commit", "-q", "-m", "first"}).exitCode, 0);

        // Changed through the model, as the editor would.
        {
            PMModel m;
            QVERIFY(m.openSetup(truck));
            SetupBuilder b(m);
            b.set(Mode::Timers, 0, TimerCol::ResetValue, 2.0);
            b.set(Mode::Keypad, 0, KeypadCol::Name, QStringLiteral("Start"));
            QVERIFY(m.saveSetup(truck));
        }
        r = git({"diff"});
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.out.contains("Keypad\n  renamed key \"Keypad 1\" " + kArrow + " \"Start\" (row 1)\n"),
                 r.out.constData());
        QVERIFY2(r.out.contains("Timers\n  changed timer \"Pump\": Reset Value/s: 0.5 " + kArrow + " 2\n"),
                 r.out.constData());
        QVERIFY(!r.out.contains("Events"));  // its input followed the rename
        QVERIFY(r.out.contains("Compiled images: differ"));

        // textconv: line by line, also what git log -p shows.
        r = git({"diff", "--no-ext-diff"});
        QVERIFY2(r.out.contains("\n-Timers \"Pump\": Reset Value/s: 0.5\n"), r.out.constData());
        QVERIFY(r.out.contains("\n+Timers \"Pump\": Reset Value/s: 2\n"));
        QVERIFY(r.out.contains("\n-Keypad row 1 \"Keypad 1\"\n+Keypad row 1 \"Start\"\n"));
        QCOMPARE(git({"commit", "-q", "-a", "-m", "longer pump run"}).exitCode, 0);
        r = git({"log", "-p", "-1"});
        QVERIFY2(r.out.contains("+Timers \"Pump\": Reset Value/s: 2\n"), r.out.constData());
        r = git({"log", "-p", "-1", "--ext-diff"});
        QVERIFY2(r.out.contains("changed timer \"Pump\": Reset Value/s: 0.5 " + kArrow + " 2"), r.out.constData());

        // dump as the textconv: the store trees, values as stored (ticks of 5 ms).
        QCOMPARE(git({"config", "--global", "diff.kelda.textconv", "kelda-cli dump"}).exitCode, 0);
        r = git({"log", "-p", "-1", "--no-ext-diff"});
        QVERIFY2(r.out.contains("\n-                        \"1002\": \"Keypad 1\",\n"
                                "+                        \"1002\": \"Start\",\n"),
                 r.out.constData());
        QVERIFY2(r.out.contains("\n-                        \"1067\": 100\n+                        \"1067\": 400\n"),
                 r.out.constData());

        // A damaged setup committed by mistake: git log -p reads it as one
        // line and goes on to the older commits.
        QCOMPARE(git({"config", "--global", "diff.kelda.textconv", "kelda-cli show --textconv"}).exitCode, 0);
        QFile broken(truck);
        QVERIFY(broken.open(QIODevice::WriteOnly | QIODevice::Truncate) && broken.write("not a setup\n") > 0);
        broken.close();
        QCOMPARE(git({"commit", "-q", "-a", "-m", "damaged"}).exitCode, 0);
        r = git({"log", "-p"});
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.out.contains("\n+(not a setup: "), r.out.constData());
        QVERIFY2(r.out.contains("\n+Timers \"Pump\": Reset Value/s: 0.5\n"), r.out.constData());  // the first commit
        QCOMPARE(r.out.count("\ncommit "), 2);  // all three commits
    }
};

QTEST_GUILESS_MAIN(TestCompareCli)
#include "tst_comparecli.moc"
