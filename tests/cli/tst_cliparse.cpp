// kelda-cli's words: --version, help, each command's --help, the usage errors
// of the parser, and the manual page and bash completion made from the same
// descriptions. The commands are read from `kelda-cli help`, so a command
// added later is checked too.
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "testpaths.h"

namespace {

struct Run {
    int status = -1;
    QString out;
    QString err;
};

Run run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    Run r;
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit)
        return r;
    r.status = p.exitCode();
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

Run cli(const QStringList &args)
{
    return run(kelda::test::cliProgram(), args);
}

// "kelda-cli: <message>", then "usage: kelda-cli COMMAND ..." (a line for
// each form of the command), and nothing else.
bool isUsageError(const Run &r, const QString &command, const QString &message)
{
    const QStringList lines = r.err.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (r.status != 2 || !r.out.isEmpty() || lines.size() < 2 || lines.at(0) != QStringLiteral("kelda-cli: ") + message
        || !lines.at(1).startsWith(QStringLiteral("usage: kelda-cli %1").arg(command)))
        return false;
    for (const QString &form : lines.mid(2))
        if (!form.startsWith(QStringLiteral("       kelda-cli %1 ").arg(command)))
            return false;
    return true;
}

// The section of a help text that starts with `title` up to the next blank line.
QStringList section(const QString &help, const QString &title)
{
    const qsizetype start = help.indexOf(QLatin1Char('\n') + title + QLatin1Char('\n'));
    if (start < 0)
        return {};
    const qsizetype from = start + title.size() + 2;
    const qsizetype end = help.indexOf(QStringLiteral("\n\n"), from);
    return help.mid(from, end < 0 ? -1 : end - from).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList commands()
{
    QStringList names;
    for (const QString &line : section(cli({QStringLiteral("help")}).out, QStringLiteral("Commands:"))) {
        static const QRegularExpression name(QStringLiteral("^  ([a-z][a-z-]*) "));
        if (const QRegularExpressionMatch m = name.match(line); m.hasMatch())
            names << m.captured(1);
    }
    return names;
}

// The options a usage line shows: "--port", "-o", ...
QStringList usageOptions(const QString &usage)
{
    QStringList options;
    static const QRegularExpression option(QStringLiteral("(?:^|[\\s\\[|])(--?[a-z][a-z-]*)"));
    for (const QRegularExpressionMatch &m : option.globalMatch(usage))
        options << m.captured(1);
    return options;
}

}  // namespace

class TestCliParse : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(commands().size() >= 13);
        QVERIFY(commands().contains(QStringLiteral("help")));
    }

    void version()
    {
        const Run r = cli({QStringLiteral("--version")});
        QCOMPARE(r.status, 0);
        QCOMPARE(r.out, QStringLiteral("kelda-cli %1\n").arg(QLatin1String(KELDA_VERSION)));
    }

    void overview()
    {
        const Run help = cli({QStringLiteral("help")});
        QCOMPARE(help.status, 0);
        QCOMPARE(cli({QStringLiteral("--help")}).out, help.out);
        QVERIFY(help.out.contains(QLatin1String("--version")));
    }

    void commandHelp_data()
    {
        QTest::addColumn<QString>("command");
        for (const QString &c : commands())
            QTest::newRow(qPrintable(c)) << c;
    }

    // Every option of the usage is described, the help and the exit statuses
    // are there, and help COMMAND says the same as COMMAND --help.
    void commandHelp()
    {
        QFETCH(QString, command);
        const Run r = cli({command, QStringLiteral("--help")});
        QCOMPARE(r.status, 0);
        QVERIFY(r.err.isEmpty());
        QCOMPARE(cli({QStringLiteral("help"), command}).out, r.out);
        const QString usage = r.out.section(QLatin1Char('\n'), 0, 0);
        QVERIFY2(usage.startsWith(QStringLiteral("usage: kelda-cli %1").arg(command)), qPrintable(usage));
        const QStringList options = section(r.out, QStringLiteral("Options:"));
        for (const QString &option : usageOptions(usage.mid(6)))
            QVERIFY2(options.filter(QRegularExpression(QStringLiteral("^  (-[a-z], )?%1\\b").arg(option))).size() == 1,
                     qPrintable(option + QLatin1Char('\n') + r.out));
        QVERIFY(options.filter(QRegularExpression(QStringLiteral("^  -h, --help "))).size() == 1);
        const QStringList statuses = section(r.out, QStringLiteral("Exit status:"));
        QVERIFY2(statuses.filter(QRegularExpression(QStringLiteral("^  0 "))).size() == 1, qPrintable(r.out));
        QVERIFY2(statuses.filter(QRegularExpression(QStringLiteral("^  2 "))).size() == 1, qPrintable(r.out));
        // Each argument of the usage has its line.
        static const QRegularExpression argument(QStringLiteral(" ([A-Z][A-Z.]*[a-z]*)(?=[ \\]]|$)"));
        const QStringList arguments = section(r.out, QStringLiteral("Arguments:"));
        QString words = usage;
        words.remove(QRegularExpression(QStringLiteral("--?[a-z-]+ [A-Z][A-Za-z.]*")));  // option values
        for (const QRegularExpressionMatch &m : argument.globalMatch(words))
            QVERIFY2(arguments
                             .filter(QRegularExpression(
                                 QStringLiteral("^  %1 ").arg(QRegularExpression::escape(m.captured(1)))))
                             .size()
                         == 1,
                     qPrintable(m.captured(1) + QLatin1Char('\n') + r.out));
    }

    void unknownOption_data() { commandHelp_data(); }

    void unknownOption()
    {
        QFETCH(QString, command);
        const Run r = cli({command, QStringLiteral("--no-such-option")});
        QVERIFY2(isUsageError(r, command, QStringLiteral("unknown option '--no-such-option'")), qPrintable(r.err));
        const Run single = cli({command, QStringLiteral("-q")});
        QVERIFY2(isUsageError(single, command, QStringLiteral("unknown option '-q'")), qPrintable(single.err));
    }

    void usageErrors_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        auto row = [](const char *name, const QStringList &args, const char *message) {
            QTest::newRow(name) << args << QString::fromUtf8(message);
        };
        row("missing argument", {QStringLiteral("compile"), QStringLiteral("-o"), QStringLiteral("x.bin")},
            "missing SETUP.kelda");
        row("second argument", {QStringLiteral("export"), QStringLiteral("a.kelda")}, "missing CALFILE.cal");
        row("extra argument", {QStringLiteral("dump"), QStringLiteral("a.kelda"), QStringLiteral("b.kelda")},
            "unexpected argument 'b.kelda'");
        row("no arguments taken", {QStringLiteral("ports"), QStringLiteral("x")}, "ports takes no arguments");
        row("missing option", {QStringLiteral("compile"), QStringLiteral("a.kelda")}, "missing -o IMAGE.bin");
        row("missing value", {QStringLiteral("simulate"), QStringLiteral("a.kelda"), QStringLiteral("--script")},
            "missing value after '--script'");
        row("twice",
            {QStringLiteral("load"), QStringLiteral("t.json"), QStringLiteral("-o"), QStringLiteral("a"),
             QStringLiteral("--output"), QStringLiteral("b")},
            "-o given twice");
        row("flag twice",
            {QStringLiteral("check"), QStringLiteral("a.kelda"), QStringLiteral("--json"), QStringLiteral("--json")},
            "--json given twice");
        row("value of a flag", {QStringLiteral("check"), QStringLiteral("a.kelda"), QStringLiteral("--json=1")},
            "unexpected value after '--json'");
        row("timeout",
            {QStringLiteral("verify"), QStringLiteral("a.kelda"), QStringLiteral("--port"), QStringLiteral("p"),
             QStringLiteral("--timeout"), QStringLiteral("soon")},
            "--timeout needs a whole number of seconds from 0 to 2147483");
        row("empty port",
            {QStringLiteral("read"), QStringLiteral("--port="), QStringLiteral("-o"), QStringLiteral("x.cal")},
            "--port needs a port name");
        row("help of nothing", {QStringLiteral("help"), QStringLiteral("frobnicate")}, "unknown command 'frobnicate'");
    }

    void usageErrors()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        const Run r = cli(args);
        QVERIFY2(isUsageError(r, args.first(), message),
                 qPrintable(QString::number(r.status) + QLatin1Char(' ') + r.err));
    }

    // Without a command the whole usage follows the line.
    void withoutCommand()
    {
        for (const QStringList &args :
             {QStringList{}, QStringList{QStringLiteral("frobnicate")}, QStringList{QStringLiteral("--bogus")}}) {
            const Run r = cli(args);
            QCOMPARE(r.status, 2);
            QVERIFY(r.out.isEmpty());
            QVERIFY2(r.err.startsWith(QLatin1String("kelda-cli: "))
                         && r.err.count(QLatin1String("\n  kelda-cli ")) >= commands().size(),
                     qPrintable(r.err));
        }
    }

    // "--" ends the options: a file whose name starts with a dash.
    void doubleDash()
    {
        const Run r = cli({QStringLiteral("dump"), QStringLiteral("--"), QStringLiteral("-no-such.kelda")});
        QCOMPARE(r.status, 1);
        QCOMPARE(r.err, QStringLiteral("kelda-cli: cannot open -no-such.kelda: no such file\n"));
    }

    // The manual page holds every command's usage, options and statuses as
    // the help describes them, and groff reads it without a warning.
    void manualPage()
    {
        const Run man = cli({QStringLiteral("help"), QStringLiteral("--man")});
        QCOMPARE(man.status, 0);
        QVERIFY(man.out.startsWith(QLatin1String(".TH KELDA\\-CLI 1 ")));
        QString plain = man.out;
        plain.replace(QLatin1String("\\-"), QLatin1String("-"))
            .replace(QLatin1String("\\fB"), QString())
            .replace(QLatin1String("\\fI"), QString())
            .replace(QLatin1String("\\fR"), QString());
        plain.replace(QLatin1Char('\n'), QLatin1Char(' '));
        for (const QString &command : commands()) {
            const QString help = cli({command, QStringLiteral("--help")}).out;
            QVERIFY2(plain.contains(help.section(QLatin1Char('\n'), 0, 0).mid(17)), qPrintable(command));
            for (const QString &title :
                 {QStringLiteral("Arguments:"), QStringLiteral("Options:"), QStringLiteral("Exit status:")})
                for (const QString &line : section(help, title)) {
                    // The first words of each described item: its text in the help, unwrapped.
                    const QString words = line.mid(24).simplified().section(QLatin1Char(' '), 0, 3);
                    if (!words.isEmpty() && line.startsWith(QLatin1String("  ")) && line.at(2) != QLatin1Char(' '))
                        QVERIFY2(plain.contains(words), qPrintable(command + QLatin1String(": ") + words));
                }
        }
        const QString groff = QStandardPaths::findExecutable(QStringLiteral("groff"));
        if (groff.isEmpty())
            QSKIP("groff is not installed (Debian: groff-base)");
        QTemporaryDir dir;
        QFile page(dir.filePath(QStringLiteral("kelda-cli.1")));
        QVERIFY(page.open(QIODevice::WriteOnly));
        page.write(man.out.toUtf8());
        page.close();
        const Run r =
            run(groff, {QStringLiteral("-man"), QStringLiteral("-ww"), QStringLiteral("-z"), page.fileName()});
        QVERIFY2(r.status == 0 && r.err.isEmpty(), qPrintable(r.err));
    }

    // The completion offers the commands, a command's options and, after
    // help, the commands again.
    void bashCompletion()
    {
        const QString bash = QStandardPaths::findExecutable(QStringLiteral("bash"));
        if (bash.isEmpty())
            QSKIP("no bash");
        const Run script = cli({QStringLiteral("help"), QStringLiteral("--bash-completion")});
        QCOMPARE(script.status, 0);
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("kelda-cli")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(script.out.toUtf8());
        file.close();
        auto complete = [&](const QString &words) {
            const QString program =
                QStringLiteral("source '%1'; COMP_WORDS=(%2); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); "
                               "_kelda_cli kelda-cli; printf '%s\\n' \"${COMPREPLY[@]}\"")
                    .arg(file.fileName(), words);
            return run(bash, {QStringLiteral("-c"), program}).out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        };
        QCOMPARE(complete(QStringLiteral("kelda-cli up")), QStringList{QStringLiteral("upload")});
        QCOMPARE(complete(QStringLiteral("kelda-cli upload x.kelda --ba")), QStringList{QStringLiteral("--backup")});
        QCOMPARE(complete(QStringLiteral("kelda-cli load t.json --out")), QStringList{QStringLiteral("--output")});
        QCOMPARE(complete(QStringLiteral("kelda-cli help simu")), QStringList{QStringLiteral("simulate")});
        QVERIFY(complete(QStringLiteral("kelda-cli ''")).contains(QStringLiteral("compile")));
    }

    // Driven as bash drives it: COMP_WORDS as typed (quotes and backslashes
    // kept), in a folder of names with blanks; what the function offers.
    void completionWords_data()
    {
        QTest::addColumn<QString>("words");
        QTest::addColumn<QStringList>("offered");
        const QStringList tables = {QStringLiteral("Keypad"),     QStringLiteral("Switches"),
                                    QStringLiteral("CAN Inputs"), QStringLiteral("Timers"),
                                    QStringLiteral("States"),     QStringLiteral("LX1 Outputs"),
                                    QStringLiteral("LX2 LEDs"),   QStringLiteral("CAN Outputs")};
        auto row = [](const char *name, const char *words, const QStringList &offered) {
            QTest::newRow(name) << QString::fromUtf8(words) << offered;
        };
        const QStringList mySetup{QStringLiteral("my setup.kelda")};
        row("file", "kelda-cli check my", mySetup);
        row("file after a backslash", "kelda-cli check 'my\\ s'", mySetup);
        row("file after a quote", "kelda-cli check '\"my s'", mySetup);
        row("folder with a blank", "kelda-cli dump 'sub\\ '", {QStringLiteral("sub dir")});
        row("no glob", "kelda-cli check 'odd['", {QStringLiteral("odd[1].kelda")});
        row("file as an option's value", "kelda-cli compile x.kelda -o my", mySetup);
        row("file after an option and its value", "kelda-cli compile -o out.bin my", mySetup);
        row("tables", "kelda-cli uses 'my setup.kelda' ''", tables);
        row("tables after an option", "kelda-cli uses --help x.kelda ''", tables);
        row("table with a blank", "kelda-cli uses x.kelda 'CAN\\ '",
            {QStringLiteral("CAN Inputs"), QStringLiteral("CAN Outputs")});
        row("no item names", "kelda-cli uses x.kelda Keypad ''", {});
        row("no seconds", "kelda-cli verify x.kelda --timeout ''", {});
        row("no seconds, not even files", "kelda-cli verify x.kelda --timeout my", {});
        row("no third setup", "kelda-cli compile x.kelda -o y.bin ''", {});
        row("options", "kelda-cli check x.kelda --", {QStringLiteral("--help"), QStringLiteral("--json")});
        row("commands after help", "kelda-cli help che", {QStringLiteral("check")});
        row("a log to replay", "kelda-cli simulate x.kelda --can-in my", mySetup);
        row("no files for a signal", "kelda-cli dbc-import x.kelda y.dbc --signal my", {});
    }

    void completionWords()
    {
        QFETCH(QString, words);
        QFETCH(QStringList, offered);
        const QString bash = QStandardPaths::findExecutable(QStringLiteral("bash"));
        if (bash.isEmpty())
            QSKIP("no bash");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        for (const char *name : {"my setup.kelda", "other.kelda", "odd[1].kelda", "odd1.kelda"}) {
            QFile f(dir.filePath(QLatin1String(name)));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("sub dir")));
        const Run script = cli({QStringLiteral("help"), QStringLiteral("--bash-completion")});
        QFile file(dir.filePath(QStringLiteral("completion.bash")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(script.out.toUtf8()) > 0);
        file.close();
        const QString program = QStringLiteral("cd '%1' && source completion.bash && COMP_WORDS=(%2) && "
                                               "COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) && _kelda_cli kelda-cli && "
                                               "printf '%s\\n' \"${COMPREPLY[@]}\"")
                                    .arg(dir.path(), words);
        const Run r = run(bash, {QStringLiteral("-c"), program});
        QVERIFY2(r.status == 0 && r.err.isEmpty(), qPrintable(r.err));
        QStringList got = r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        got.sort();
        offered.sort();
        QCOMPARE(got, offered);
    }
};

QTEST_GUILESS_MAIN(TestCliParse)
#include "tst_cliparse.moc"
