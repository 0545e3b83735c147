// kelda-cli diff / show: what changed between two setups, by name, and one
// setup as readable lines (for git's textconv).
#include <QDir>
#include <QFileInfo>

#include <cstdio>

#include "clicommand.h"
#include "comparereport.h"
#include "pmmodel.h"
#include "setupcompare.h"

namespace {

const char kDiffUsage[] = "kelda-cli diff OLD.kelda NEW.kelda [--json]\n"
                          "kelda-cli diff --git PATH OLD-FILE OLD-HEX OLD-MODE NEW-FILE NEW-HEX NEW-MODE";
const char kShowUsage[] = "kelda-cli show SETUP.kelda";

// The diff convention: 0 the same, 1 different, 2 trouble.
constexpr int kSame = 0;
constexpr int kDifferent = 1;
constexpr int kTrouble = 2;

QString shown(const QString &path) { return QDir::toNativeSeparators(path); }

bool wantsHelp(const QStringList &args)
{
    return args.contains(QLatin1String("--help")) || args.contains(QLatin1String("-h"));
}

int helpFor(const char *usage)
{
    QString text = QString::fromLatin1(usage);
    text.replace(QLatin1Char('\n'), QStringLiteral("\n       "));
    cliOut() << "usage: " << text << Qt::endl;
    return 0;
}

// Opens a setup as the editor's Open does; false with the reason otherwise.
bool openSetup(PMModel &model, const QString &path, QString *why)
{
    if (!QFileInfo::exists(path)) {
        *why = QStringLiteral("no such file");
        return false;
    }
    if (model.openSetup(path))
        return true;
    QString reason = model.lastError();
    // The model's reason starts with what failed; the command says that itself.
    const QString prefix = QStringLiteral("Could not open \"%1\": ").arg(path);
    if (reason.startsWith(prefix))
        reason = reason.mid(prefix.size());
    *why = reason.isEmpty() ? QStringLiteral("not a setup file") : reason;
    return false;
}

bool writeOut(const QByteArray &bytes)
{
    cliOut().flush();
    return std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout) == size_t(bytes.size())
        && std::fflush(stdout) == 0;
}

// git's external diff: PATH OLD-FILE OLD-HEX OLD-MODE NEW-FILE NEW-HEX NEW-MODE
// [NEW-PATH RENAME-INFO]; a file that is not there on one side is /dev/null.
// git stops the whole diff at a non-zero status, so trouble is printed in the
// output and the status is 0.
int runGitDiff(const QStringList &args)
{
    if (args.size() == 1) {
        cliOut() << "* Unmerged path " << args.first() << Qt::endl;
        return 0;
    }
    if (args.size() != 7 && args.size() != 9)
        return cliUsageError(QStringLiteral("diff --git takes the 7 or 9 arguments git passes, not %1").arg(args.size()));
    const QString &path = args.at(0);
    const QString newPath = args.size() == 9 ? args.at(7) : path;
    const QString &oldFile = args.at(1);
    const QString &newFile = args.at(4);
    const QString nullFile = QStringLiteral("/dev/null");

    cliOut() << "diff --kelda a/" << path << " b/" << newPath << '\n';
    PMModel oldSetup, newSetup;  // a side that is not there is compared as a new setup
    QString why;
    if (oldFile == nullFile)
        cliOut() << "new setup file: compared with a new setup\n";
    else if (!openSetup(oldSetup, oldFile, &why)) {
        cliOut() << "cannot open the old a/" << path << ": " << why << Qt::endl;
        return 0;
    }
    if (newFile == nullFile)
        cliOut() << "deleted setup file: compared with a new setup\n";
    else if (!openSetup(newSetup, newFile, &why)) {
        cliOut() << "cannot open the new b/" << newPath << ": " << why << Qt::endl;
        return 0;
    }
    const kelda::compare::Comparison c = kelda::compare::compareSetups(
        oldSetup, newSetup, QStringLiteral("a/") + path, QStringLiteral("b/") + newPath);
    cliOut() << kelda::compare::toText(c) << Qt::flush;
    return 0;
}

int runDiff(const QStringList &args)
{
    if (wantsHelp(args))
        return helpFor(kDiffUsage);
    if (!args.isEmpty() && args.first() == QLatin1String("--git"))
        return runGitDiff(args.mid(1));
    bool json = false;
    QStringList files;
    for (const QString &a : args) {
        if (a == QLatin1String("--json")) {
            json = true;
        } else if (a.startsWith(QLatin1Char('-')) && a.size() > 1) {
            return cliUsageError(QStringLiteral("unknown option '%1'").arg(a));
        } else {
            files << a;
        }
    }
    if (files.size() != 2)
        return cliUsageError(files.size() < 2 ? QStringLiteral("diff needs two setup files")
                                              : QStringLiteral("too many file names"));
    PMModel oldSetup, newSetup;
    QString why;
    if (!openSetup(oldSetup, files.at(0), &why)) {
        cliFail(QStringLiteral("cannot open %1").arg(shown(files.at(0))), why);
        return kTrouble;
    }
    if (!openSetup(newSetup, files.at(1), &why)) {
        cliFail(QStringLiteral("cannot open %1").arg(shown(files.at(1))), why);
        return kTrouble;
    }
    const kelda::compare::Comparison c =
        kelda::compare::compareSetups(oldSetup, newSetup, shown(files.at(0)), shown(files.at(1)));
    const QByteArray out = json ? kelda::compare::toJson(c, files.at(0), files.at(1))
                                : kelda::compare::toText(c).toUtf8();
    if (!writeOut(out)) {
        cliFail(QStringLiteral("cannot compare %1 with %2").arg(shown(files.at(0)), shown(files.at(1))),
                QStringLiteral("standard output cannot be written"));
        return kTrouble;
    }
    return c.same() ? kSame : kDifferent;
}

int runShow(const QStringList &args)
{
    if (wantsHelp(args))
        return helpFor(kShowUsage);
    QStringList files;
    for (const QString &a : args) {
        if (a.startsWith(QLatin1Char('-')) && a.size() > 1)
            return cliUsageError(QStringLiteral("unknown option '%1'").arg(a));
        files << a;
    }
    if (files.size() != 1)
        return cliUsageError(files.isEmpty() ? QStringLiteral("missing file name") : QStringLiteral("too many file names"));
    PMModel setup;
    QString why;
    if (!openSetup(setup, files.first(), &why))
        return cliFail(QStringLiteral("cannot open %1").arg(shown(files.first())), why);
    const QString text = kelda::compare::describeSetup(setup).join(QLatin1Char('\n')) + QLatin1Char('\n');
    if (!writeOut(text.toUtf8()))
        return cliFail(QStringLiteral("cannot show %1").arg(shown(files.first())),
                       QStringLiteral("standard output cannot be written"));
    return 0;
}

CliCommand diffCmd("diff", kDiffUsage, &runDiff);
CliCommand showCmd("show", kShowUsage, &runShow);

} // namespace
