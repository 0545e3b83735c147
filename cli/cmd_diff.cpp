// kelda-cli diff / show: what changed between two setups, by name, and one
// setup as readable lines (for git's textconv).

#include "clicommand.h"
#include "documentargs.h"
#include "comparereport.h"
#include "nametext.h"
#include "setupcompare.h"
#include "setupfile.h"

namespace {

// The diff convention: 0 the same, 1 different, 2 trouble.
constexpr int kSame = 0;
constexpr int kDifferent = 1;
constexpr int kTrouble = 2;

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
        return cliUsageError(
            QStringLiteral("diff --git takes the 7 or 9 arguments git passes, not %1").arg(args.size()));
    const QString &path = args.at(0);
    const QString newPath = args.size() == 9 ? args.at(7) : path;
    const QString &oldFile = args.at(1);
    const QString &newFile = args.at(4);
    const QString nullFile = QStringLiteral("/dev/null");

    cliOut() << "diff --kelda a/" << path << " b/" << newPath << '\n';
    kelda::SetupFile oldSetup, newSetup;
    QString why;
    // A side that is not there is compared as a new setup.
    if (oldFile == nullFile) {
        cliOut() << "new setup file: compared with a new setup\n";
        oldSetup.create();
    } else if (!readSetupFile(oldSetup, oldFile, &why)) {
        cliOut() << "cannot open the old a/" << path << ": " << why << Qt::endl;
        return 0;
    }
    if (newFile == nullFile) {
        cliOut() << "deleted setup file: compared with a new setup\n";
        newSetup.create();
    } else if (!readSetupFile(newSetup, newFile, &why)) {
        cliOut() << "cannot open the new b/" << newPath << ": " << why << Qt::endl;
        return 0;
    }
    const kelda::compare::Comparison c = kelda::compare::compareSetups(
        oldSetup.session(), newSetup.session(), QStringLiteral("a/") + path, QStringLiteral("b/") + newPath);
    cliOut() << kelda::compare::toText(c) << Qt::flush;
    return 0;
}

int runDiff(const CliArgs &args)
{
    // 1 means "they differ"; git stops at anything but 0.
    cliSetOutputFailureStatus(args.isSet("git") ? kSame : kTrouble);
    if (args.isSet("git"))
        return runGitDiff(args.positional);
    const bool json = args.isSet("json");
    const QStringList &files = args.positional;
    if (files.size() != 2)
        return cliUsageError(files.size() < 2 ? QStringLiteral("diff needs two setup files")
                                              : QStringLiteral("too many file names"));
    kelda::SetupFile oldSetup, newSetup;
    QString why;
    if (!readSetupFile(oldSetup, files.at(0), &why)) {
        cliFail(QStringLiteral("cannot open %1").arg(shownPath(files.at(0))), why);
        return kTrouble;
    }
    if (!readSetupFile(newSetup, files.at(1), &why)) {
        cliFail(QStringLiteral("cannot open %1").arg(shownPath(files.at(1))), why);
        return kTrouble;
    }
    const kelda::compare::Comparison c = kelda::compare::compareSetups(oldSetup.session(), newSetup.session(),
                                                                       shownPath(files.at(0)), shownPath(files.at(1)));
    const QByteArray out =
        json ? kelda::compare::toJson(c, files.at(0), files.at(1)) : kelda::compare::toText(c).toUtf8();
    writeStandardOutput(out);
    return c.same() ? kSame : kDifferent;
}

int runShow(const CliArgs &args)
{
    const QStringList &files = args.positional;
    kelda::SetupFile setup;
    QString why;
    QString text;
    if (readSetupFile(setup, files.first(), &why))
        text = kelda::compare::describeSetup(setup.session()).join(QLatin1Char('\n')) + QLatin1Char('\n');
    else if (args.isSet("textconv"))
        // git aborts the whole log or diff at a failing textconv: the file's
        // text is this line instead (git names the file in its own header).
        text = QStringLiteral("(not a setup: ") + kelda::visibleName(why) + QStringLiteral(")\n");
    else
        return cliFail(QStringLiteral("cannot open %1").arg(shownPath(files.first())), why);
    writeStandardOutput(text.toUtf8());
    return 0;
}

const CliRegistration diffCommand{{
    .name = "diff",
    .usage = "kelda-cli diff OLD.kelda NEW.kelda [--json]\n"
             "kelda-cli diff --git PATH OLD-FILE OLD-HEX OLD-MODE NEW-FILE NEW-HEX NEW-MODE",
    .summary = "what changed between two setups, by table and name",
    .description = "Compares two setups as the window's Compare does: items matched by table and name, renames, "
                   "changed cells as the tables show them, list entries, options, LX1 PWM and whether the "
                   "compiled images are identical; one line each.\n\n"
                   "With --git it is git's external diff driver: it takes the words git passes (PATH, then the old "
                   "file, its hash and mode, then the new file, its hash and mode, a missing side being "
                   "/dev/null; two more for a rename; PATH alone for an unmerged path), prints the differences "
                   "under a \"diff --kelda a/PATH b/PATH\" line, reports trouble in the output and exits with 0, so "
                   "that git goes on with the other files.",
    .arguments = {{"OLD.kelda", "the setup compared from"}, {"NEW.kelda", "the setup compared to"}},
    .optionalArguments = 2,
    .moreArguments = true,
    .options = {{"json", nullptr, "print the differences as one JSON document instead"},
                {"git", nullptr, "take the words git passes to an external diff driver instead of two setups"}},
    .statuses = {{0, "the setups are the same (and always with --git)"},
                 {1, "they differ"},
                 {2, "trouble: a setup cannot be opened, the output cannot be written, or a usage error"}},
    .run = &runDiff,
}};

const CliRegistration showCommand{{
    .name = "show",
    .usage = "kelda-cli show SETUP.kelda [--textconv]",
    .summary = "print a setup as readable lines (git's textconv)",
    .description = "Prints one setup as lines of text, a table and an item a line, in the form diff compares; "
                   "for git's textconv of setup files. Names are printed with \" as \\\", \\ as \\\\ and "
                   "control characters as \\n, \\r, \\t or \\xHH.",
    .arguments = {{"SETUP.kelda", "the setup file"}},
    .options = {{"textconv", nullptr,
                 "for git: a file that is not a setup is printed as one line \"(not a setup: WHY)\" and the "
                 "status is 0, so that git log -p goes on"}},
    .statuses = {{0, "the setup was printed (with --textconv, also a file that is not a setup)"},
                 {1, "it cannot be opened, or the output cannot be written"}},
    .run = &runShow,
}};

}  // namespace
