// cmake --install into a temporary prefix: the files that arrive, the
// validators over them, and uploads that find the RUNE files next to the
// program, installed and in the build tree.
#include <QDirIterator>
#include <QImageReader>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "emulatorprocess.h"
#include "pmmodel.h"
#include "testpaths.h"

namespace {

const QString kAppId = QStringLiteral("com.ostrel.kelda");

struct Run {
    int status = -1;
    QByteArray out;
    QByteArray err;
};

Run run(const QString &program, const QStringList &args,
        const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(), const QByteArray &input = {})
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    p.write(input);
    p.closeWriteChannel();
    Run r;
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit)
        return r;
    r.status = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

QStringList filesBelow(const QString &root)
{
    QStringList files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(root).relativeFilePath(it.next());
    files.sort();
    return files;
}

QString readText(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

}  // namespace

class TestInstall : public QObject
{
    Q_OBJECT

    QTemporaryDir m_prefix;
    QTemporaryDir m_work;
    QString installed(const QString &relative) const { return m_prefix.filePath(relative); }

    // An installed manual page, uncompressed; empty when gzip cannot read it.
    QString manPage(const QString &name) const
    {
        const Run r =
            run(QStringLiteral("gzip"), {QStringLiteral("-dc"), installed(QStringLiteral("share/man/man1/")) + name});
        return r.status == 0 ? QString::fromUtf8(r.out) : QString();
    }

    // The environment variables that the programs' source reads by name.
    static QStringList environmentVariablesRead()
    {
        static const QRegularExpression read(
            QStringLiteral("(?:qEnvironmentVariable\\w*|qgetenv|getenv)\\(\"([A-Z][A-Z0-9_]*)\""));
        QStringList names;
        for (const char *folder : {"app", "cli", "platform", "model", "ecu", "image", "report", "sim", "check",
                                   "compare", "editors", "fileio"}) {
            QDirIterator it(QStringLiteral(KELDA_SOURCE_DIR "/") + QLatin1String(folder),
                            {QStringLiteral("*.cpp"), QStringLiteral("*.h")}, QDir::Files,
                            QDirIterator::Subdirectories);
            while (it.hasNext())
                for (const QRegularExpressionMatch &m : read.globalMatch(readText(it.next())))
                    names << m.captured(1);
        }
        names.removeDuplicates();
        names.sort();
        return names;
    }

    // Only the folders next to the program: no RUNE search path, and data
    // folders that are empty.
    QProcessEnvironment bareEnvironment(const QString &port) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("CORLA_RUNE_PATH"));
        env.insert(QStringLiteral("XDG_DATA_HOME"), m_work.filePath(QStringLiteral("data-home")));
        env.insert(QStringLiteral("XDG_DATA_DIRS"), m_work.filePath(QStringLiteral("data-dirs")));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_work.filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("CORLA_NO_SYSTEM_PORTS"), QStringLiteral("1"));
        env.insert(QStringLiteral("CORLA_PORTS_FILE"), m_work.filePath(QStringLiteral("no-ports")));
        env.insert(QStringLiteral("CORLA_EXTRA_PORTS"), port);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        return env;
    }

    // An upload of a new setup by this kelda-cli to the emulator, with nothing
    // but the folders next to the program to find a RUNE file in.
    Run uploadWith(const QString &cli)
    {
        PMModel model;
        model.newSetup();
        const QString setup = m_work.filePath(QStringLiteral("new.kelda"));
        if (!model.saveSetup(setup))
            return {};
        kelda::test::EmulatorProcess emulator{QStringList()};
        if (emulator.path().isEmpty())
            return {};
        return run(
            cli, {QStringLiteral("upload"), setup, QStringLiteral("--port"), emulator.path(), QStringLiteral("--yes")},
            bareEnvironment(emulator.path()));
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(m_prefix.isValid() && m_work.isValid());
        QDir(m_work.path()).mkpath(QStringLiteral("data-home"));
        QDir(m_work.path()).mkpath(QStringLiteral("data-dirs"));
        const Run r = run(QStringLiteral(KELDA_CMAKE),
                          {QStringLiteral("--install"), QStringLiteral(KELDA_BUILD_DIR), QStringLiteral("--prefix"),
                           m_prefix.path()});
        QVERIFY2(r.status == 0, r.err.constData());
    }

    void installTree()
    {
        QStringList expected = {
            QStringLiteral("bin/kelda"),
            QStringLiteral("bin/kelda-cli"),
            QStringLiteral("bin/lx2-emulator"),
            QStringLiteral("share/applications/%1.desktop").arg(kAppId),
            QStringLiteral("share/icons/hicolor/scalable/apps/%1.svg").arg(kAppId),
            QStringLiteral("share/icons/hicolor/scalable/mimetypes/application-x-kelda-setup.svg"),
            QStringLiteral("share/bash-completion/completions/kelda-cli"),
            QStringLiteral("share/doc/kelda/changelog.gz"),
            QStringLiteral("share/doc/kelda/copyright"),
            QStringLiteral("share/man/man1/kelda.1.gz"),
            QStringLiteral("share/man/man1/kelda-cli.1.gz"),
            QStringLiteral("share/man/man1/lx2-emulator.1.gz"),
            QStringLiteral("share/metainfo/%1.metainfo.xml").arg(kAppId),
            QStringLiteral("share/mime/packages/%1.xml").arg(kAppId),
        };
        for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
            expected << QStringLiteral("share/icons/hicolor/%1x%1/apps/%2.png").arg(size).arg(kAppId)
                     << QStringLiteral("share/icons/hicolor/%1x%1/mimetypes/application-x-kelda-setup.png").arg(size);
        const QStringList runes =
            QDir(QStringLiteral(KELDA_SOURCE_DIR "/runes")).entryList({QStringLiteral("*.rune")}, QDir::Files);
        QVERIFY(runes.size() >= 3);
        for (const QString &rune : runes)
            expected << QStringLiteral("share/corla/runes/") + rune;
        expected.sort();
        QCOMPARE(filesBelow(m_prefix.path()), expected);

        for (const char *program : {"bin/kelda", "bin/kelda-cli", "bin/lx2-emulator"})
            QVERIFY2(QFileInfo(installed(QLatin1String(program))).isExecutable(), program);
        for (const QString &rune : runes)
            QCOMPARE(readText(installed(QStringLiteral("share/corla/runes/") + rune)),
                     readText(QStringLiteral(KELDA_SOURCE_DIR "/runes/") + rune));
    }

    // Each PNG is a picture of the size its folder names; the menu entry and
    // the metainfo name the installed icon and entry.
    void iconsAndNames()
    {
        for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
            QImageReader reader(
                installed(QStringLiteral("share/icons/hicolor/%1x%1/apps/%2.png").arg(size).arg(kAppId)));
            QCOMPARE(reader.format(), QByteArray("png"));
            QCOMPARE(reader.size(), QSize(size, size));
        }
        QVERIFY(readText(installed(QStringLiteral("share/icons/hicolor/scalable/apps/%1.svg").arg(kAppId)))
                    .contains(QLatin1String("viewBox=\"0 0 32 32\"")));

        QMap<QString, QString> entry;
        for (const QString &line :
             readText(installed(QStringLiteral("share/applications/%1.desktop").arg(kAppId))).split(QLatin1Char('\n')))
            if (const qsizetype eq = line.indexOf(QLatin1Char('=')); eq > 0)
                entry.insert(line.left(eq), line.mid(eq + 1));
        // The file manager opens a setup with the editor: one local file (%f).
        QCOMPARE(entry.value(QStringLiteral("Exec")), QStringLiteral("kelda %f"));
        QCOMPARE(entry.value(QStringLiteral("MimeType")), QStringLiteral("application/x-kelda-setup;"));
        QCOMPARE(entry.value(QStringLiteral("Icon")), kAppId);
        QCOMPARE(entry.value(QStringLiteral("Categories")), QStringLiteral("Development;Electronics;"));

        const QString metainfo = readText(installed(QStringLiteral("share/metainfo/%1.metainfo.xml").arg(kAppId)));
        QVERIFY(metainfo.contains(QStringLiteral("<id>%1</id>").arg(kAppId)));
        QVERIFY(
            metainfo.contains(QStringLiteral("<launchable type=\"desktop-id\">%1.desktop</launchable>").arg(kAppId)));
        QVERIFY(metainfo.contains(QStringLiteral("<release version=\"%1\"").arg(QLatin1String(KELDA_VERSION))));
        QVERIFY(!metainfo.contains(QLatin1Char('@')));
    }

    void desktopFileValidates()
    {
        const QString tool = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
        if (tool.isEmpty())
            QSKIP("desktop-file-validate is not installed (Debian: desktop-file-utils)");
        const Run r = run(tool, {installed(QStringLiteral("share/applications/%1.desktop").arg(kAppId))});
        QVERIFY2(r.status == 0 && r.out.isEmpty() && r.err.isEmpty(), (r.out + r.err).constData());
    }

    void metainfoValidates()
    {
        const QString tool = QStandardPaths::findExecutable(QStringLiteral("appstreamcli"));
        if (tool.isEmpty())
            QSKIP("appstreamcli is not installed (Debian: appstream)");
        const Run r = run(tool,
                          {QStringLiteral("validate"), QStringLiteral("--no-net"), QStringLiteral("--pedantic"),
                           installed(QStringLiteral("share/metainfo/%1.metainfo.xml").arg(kAppId))});
        QVERIFY2(r.status == 0, (r.out + r.err).constData());
    }

    // groff reads every page without a warning, and the emulator's page
    // names every option that its --help lists.
    void manualPages()
    {
        const QString groff = QStandardPaths::findExecutable(QStringLiteral("groff"));
        for (const QString &page : QDir(installed(QStringLiteral("share/man/man1"))).entryList(QDir::Files)) {
            QVERIFY2(page.endsWith(QLatin1String(".1.gz")), qPrintable(page));
            const QString text = manPage(page);
            QVERIFY2(!text.isEmpty(), qPrintable(page));
            if (groff.isEmpty())
                continue;
            const Run r = run(groff, {QStringLiteral("-man"), QStringLiteral("-ww"), QStringLiteral("-z")},
                              QProcessEnvironment::systemEnvironment(), text.toUtf8());
            QVERIFY2(r.status == 0 && r.err.isEmpty(),
                     qPrintable(page + QLatin1String(": ") + QString::fromLocal8Bit(r.err)));
        }
        // kelda-cli's page and completion are what the program prints.
        const Run man =
            run(installed(QStringLiteral("bin/kelda-cli")), {QStringLiteral("help"), QStringLiteral("--man")});
        QCOMPARE(man.status, 0);
        QCOMPARE(manPage(QStringLiteral("kelda-cli.1.gz")), QString::fromUtf8(man.out));
        const Run completion = run(installed(QStringLiteral("bin/kelda-cli")),
                                   {QStringLiteral("help"), QStringLiteral("--bash-completion")});
        QCOMPARE(readText(installed(QStringLiteral("share/bash-completion/completions/kelda-cli"))),
                 QString::fromUtf8(completion.out));

        const Run help = run(installed(QStringLiteral("bin/lx2-emulator")), {QStringLiteral("--help")});
        QCOMPARE(help.status, 0);
        const QString page = manPage(QStringLiteral("lx2-emulator.1.gz"));
        static const QRegularExpression option(QStringLiteral("^\\s+(?:-[a-z?], )?--([a-z-]+)"),
                                               QRegularExpression::MultilineOption);
        int options = 0;
        for (const QRegularExpressionMatch &m : option.globalMatch(QString::fromLocal8Bit(help.out))) {
            ++options;
            QString escaped = m.captured(1);
            escaped.replace(QLatin1Char('-'), QLatin1String("\\-"));
            QVERIFY2(page.contains(QLatin1String("\\-\\-") + escaped), qPrintable(m.captured(1)));
        }
        QVERIFY(options > 20);
    }

    // Every page has the sections a reader looks for and the date of the
    // release; the pages of the two programs that talk to modules name every
    // environment variable the source reads.
    void manualPageSections()
    {
        static const QRegularExpression th(
            QStringLiteral("^\\.TH \\S+ 1 \"(\\d{4}-\\d\\d-\\d\\d)\" \"KELDA %1\" ").arg(QLatin1String(KELDA_VERSION)));
        QStringList variables = environmentVariablesRead();
        QVERIFY2(variables.size() >= 7, qPrintable(variables.join(QLatin1Char(' '))));
        for (const char *name : {"kelda.1.gz", "kelda-cli.1.gz", "lx2-emulator.1.gz"}) {
            const QString page = manPage(QLatin1String(name));
            const QRegularExpressionMatch date = th.match(page);
            QVERIFY2(date.hasMatch(), qPrintable(page.section(QLatin1Char('\n'), 0, 0)));
            QVERIFY(QDate::fromString(date.captured(1), Qt::ISODate).isValid());
            for (const char *section :
                 {"NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "ENVIRONMENT", "FILES", "EXAMPLES", "SEE ALSO"})
                QVERIFY2(page.contains(QStringLiteral("\n.SH %1\n").arg(QLatin1String(section))),
                         qPrintable(QLatin1String(name) + QLatin1Char(' ') + QLatin1String(section)));
            if (qstrcmp(name, "lx2-emulator.1.gz") == 0)
                continue;
            const QString environment =
                page.section(QStringLiteral("\n.SH ENVIRONMENT\n"), 1).section(QStringLiteral("\n.SH "), 0, 0);
            for (const QString &variable : variables) {
                if (variable == QLatin1String("KELDA_STARTUP_PROBE") && qstrcmp(name, "kelda-cli.1.gz") == 0)
                    continue;  // the editor's own
                QString escaped = variable;
                escaped.replace(QLatin1Char('-'), QLatin1String("\\-"));
                QVERIFY2(environment.contains(escaped), qPrintable(QLatin1String(name) + QLatin1Char(' ') + variable));
            }
        }
        // diff's own statuses, 1 among them, under EXIT STATUS.
        const QString cli = manPage(QStringLiteral("kelda-cli.1.gz"));
        const QString statuses =
            cli.section(QStringLiteral("\n.SH EXIT STATUS\n"), 1).section(QStringLiteral("\n.SH "), 0, 0);
        QVERIFY2(statuses.contains(QLatin1String(".B diff\n")) && statuses.contains(QLatin1String("1 they differ")),
                 qPrintable(statuses));
        QVERIFY(cli.section(QStringLiteral("\n.SH FILES\n"), 1).contains(QLatin1String("corla/runes")));
    }

    // After update-mime-database, the desktop's own tool finds the type of a
    // setup file by the installed definition alone.
    void mimeType()
    {
        const QString update = QStandardPaths::findExecutable(QStringLiteral("update-mime-database"));
        const QString xdgMime = QStandardPaths::findExecutable(QStringLiteral("xdg-mime"));
        if (update.isEmpty() || xdgMime.isEmpty()
            || QStandardPaths::findExecutable(QStringLiteral("mimetype")).isEmpty())
            QSKIP("update-mime-database, xdg-mime or mimetype is missing (Debian: shared-mime-info, xdg-utils, "
                  "libfile-mimeinfo-perl)");
        QTemporaryDir data;
        QVERIFY(QDir().mkpath(data.filePath(QStringLiteral("mime/packages"))));
        QVERIFY(QFile::copy(installed(QStringLiteral("share/mime/packages/%1.xml").arg(kAppId)),
                            data.filePath(QStringLiteral("mime/packages/%1.xml").arg(kAppId))));
        const Run updated = run(update, {data.filePath(QStringLiteral("mime"))});
        QVERIFY2(updated.status == 0, updated.err.constData());

        PMModel model;
        model.newSetup();
        const QString setup = m_work.filePath(QStringLiteral("x.kelda"));
        QVERIFY(model.saveSetup(setup));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_DIRS"), data.path());
        env.insert(QStringLiteral("XDG_DATA_HOME"), m_work.filePath(QStringLiteral("data-home")));
        const Run r = run(xdgMime, {QStringLiteral("query"), QStringLiteral("filetype"), setup}, env);
        QCOMPARE(r.status, 0);
        QCOMPARE(r.out.trimmed(), QByteArray("application/x-kelda-setup"));
        // Without the definition the same file is no setup.
        env.insert(QStringLiteral("XDG_DATA_DIRS"), m_work.filePath(QStringLiteral("data-dirs")));
        QVERIFY(run(xdgMime, {QStringLiteral("query"), QStringLiteral("filetype"), setup}, env).out.trimmed()
                != "application/x-kelda-setup");
    }

    // The package cpack builds: lintian --pedantic finds nothing to say, and
    // the maintainer has an address.
    void debianPackage()
    {
        const QString lintian = QStandardPaths::findExecutable(QStringLiteral("lintian"));
        if (lintian.isEmpty())
            QSKIP("lintian is not installed (Debian: lintian)");
        const QString cpack = QFileInfo(QStringLiteral(KELDA_CMAKE)).absoluteDir().filePath(QStringLiteral("cpack"));
        QTemporaryDir out;
        const Run packed =
            run(cpack,
                {QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("--config"),
                 QStringLiteral(KELDA_BUILD_DIR "/CPackConfig.cmake"), QStringLiteral("-B"), out.path()});
        QVERIFY2(packed.status == 0, (packed.out + packed.err).constData());
        const QStringList debs = QDir(out.path()).entryList({QStringLiteral("*.deb")}, QDir::Files);
        QCOMPARE(debs.size(), 1);
        const QString deb = out.filePath(debs.first());
        const Run maintainer =
            run(QStringLiteral("dpkg-deb"), {QStringLiteral("-f"), deb, QStringLiteral("Maintainer")});
        static const QRegularExpression contact(QStringLiteral("^[^<>]+ <[^<>@ ]+@[^<> ]+>$"));
        QVERIFY2(contact.match(QString::fromUtf8(maintainer.out.trimmed())).hasMatch(), maintainer.out.constData());
        const Run r = run(lintian, {QStringLiteral("--pedantic"), deb});
        qInfo().noquote() << "lintian --pedantic:" << (r.out + r.err).trimmed();
        QVERIFY2(r.status == 0 && r.out.trimmed().isEmpty(), (r.out + r.err).constData());
    }

    // Help and version on a console without a display.
    void versionsWithoutDisplay()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QLatin1String(name));
        for (const char *program : {"kelda", "kelda-cli", "lx2-emulator"}) {
            const Run r =
                run(installed(QStringLiteral("bin/") + QLatin1String(program)), {QStringLiteral("--version")}, env);
            QCOMPARE(r.status, 0);
            QCOMPARE(r.out,
                     QStringLiteral("%1 %2\n").arg(QLatin1String(program), QLatin1String(KELDA_VERSION)).toUtf8());
        }
        const Run help = run(installed(QStringLiteral("bin/kelda")), {QStringLiteral("--help")}, env);
        QVERIFY2(help.status == 0 && help.out.contains("SETUP.kelda"), (help.out + help.err).constData());
    }

    // The installed editor starts and shows its window (offscreen).
    void installedEditorStarts()
    {
        QProcessEnvironment env = bareEnvironment(QString());
        env.insert(QStringLiteral("KELDA_STARTUP_PROBE"), QStringLiteral("1"));
        const Run r = run(installed(QStringLiteral("bin/kelda")), {}, env);
        QVERIFY2(r.status == 0, r.err.constData());
        QVERIFY2(r.out.contains("KELDA"), r.out.constData());
    }

    void installedUploadFindsRunes()
    {
        const Run r = uploadWith(installed(QStringLiteral("bin/kelda-cli")));
        QVERIFY2(r.status == 0 && r.out.contains("Upload Complete"), (r.out + r.err).constData());
    }

    void builtUploadFindsRunes()
    {
        const Run r = uploadWith(kelda::test::cliProgram());
        QVERIFY2(r.status == 0 && r.out.contains("Upload Complete"), (r.out + r.err).constData());
    }

    // The same program without share/corla/runes beside it finds none.
    void withoutRunesNoUpload()
    {
        const QString lonely = m_work.filePath(QStringLiteral("elsewhere/bin/kelda-cli"));
        QVERIFY(QDir().mkpath(QFileInfo(lonely).path()));
        QVERIFY(QFile::copy(installed(QStringLiteral("bin/kelda-cli")), lonely));
        const Run r = uploadWith(lonely);
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.contains("No RUNE"), r.err.constData());
    }
};

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"
