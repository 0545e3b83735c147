// The documents show only kelda-cli commands that exist: every command named
// in the README and docs/ answers --help, and every option shown with it is
// one that its help describes.
#include <QDir>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

#include "clirun.h"

namespace {

struct Shown {
    QSet<QString> options;
    QStringList places;  // file:line
};

QStringList documents()
{
    const QDir source(QStringLiteral(KELDA_SOURCE_DIR));
    QStringList files = {source.filePath(QStringLiteral("README.md"))};
    for (const QString &name :
         QDir(source.filePath(QStringLiteral("docs"))).entryList({QStringLiteral("*.md")}, QDir::Files))
        files << source.filePath(QStringLiteral("docs/") + name);
    return files;
}

// "kelda-cli NAME" and the options written after it, up to the end of the
// code span or line. "kelda-cli:" (a message) and "kelda-cli COMMAND"
// (a placeholder) are not commands.
QMap<QString, Shown> shownCommands()
{
    static const QRegularExpression use(QStringLiteral("kelda-cli ([a-z][a-z0-9-]*)([^`\\n]*)"));
    static const QRegularExpression option(QStringLiteral("(?:^|[\\s\\[|(])(--?[a-z][a-z-]*)"));
    QMap<QString, Shown> shown;
    for (const QString &path : documents()) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
            continue;
        const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
        for (int i = 0; i < lines.size(); ++i) {
            for (const QRegularExpressionMatch &m : use.globalMatch(lines.at(i))) {
                Shown &s = shown[m.captured(1)];
                s.places << QStringLiteral("%1:%2").arg(QFileInfo(path).fileName()).arg(i + 1);
                for (const QRegularExpressionMatch &o : option.globalMatch(m.captured(2)))
                    s.options.insert(o.captured(1));
            }
        }
    }
    return shown;
}

}  // namespace

class TestDocs : public QObject
{
    Q_OBJECT

private slots:
    void commandsShownRun_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("places");
        const QMap<QString, Shown> shown = shownCommands();
        // The reference shows at least the commands of the first release.
        for (const char *known : {"compile", "export", "dump", "load", "simulate", "upload"})
            QVERIFY2(shown.contains(QLatin1String(known)), known);
        for (auto it = shown.cbegin(); it != shown.cend(); ++it) {
            QStringList options = it->options.values();
            options.sort();
            QTest::newRow(qPrintable(it.key())) << it.key() << options << it->places.join(QLatin1String(", "));
        }
    }

    void commandsShownRun()
    {
        QFETCH(QString, command);
        QFETCH(QStringList, options);
        QFETCH(QString, places);
        const kelda::test::CliRun r = kelda::test::runCli({command, QStringLiteral("--help")});
        const QString out = QString::fromUtf8(r.out);
        QVERIFY2(r.exitCode == 0,
                 qPrintable(QStringLiteral("kelda-cli %1 --help, shown in %2: status %3 %4")
                                .arg(command, places)
                                .arg(r.exitCode)
                                .arg(QString::fromUtf8(r.err))));
        QVERIFY2(out.contains(QStringLiteral("kelda-cli ") + command), qPrintable(out));
        for (const QString &option : options) {
            if (option == QLatin1String("--help") || option == QLatin1String("-h"))
                continue;
            static const QRegularExpression word(QStringLiteral("[\\s\\[|,](%1)(?![a-z-])"));
            QVERIFY2(QRegularExpression(word.pattern().arg(QRegularExpression::escape(option))).match(out).hasMatch(),
                     qPrintable(QStringLiteral("%1 of kelda-cli %2 (shown in %3) is not in its help:\n%4")
                                    .arg(option, command, places, out)));
        }
    }
};

QTEST_GUILESS_MAIN(TestDocs)
#include "tst_docs.moc"
