// kelda-cli compile / export / dump / load: the editor's own compiler, export
// and store, without a display.
#include <QDir>
#include <QFileInfo>

#include <cstdio>

#include "atomicfile.h"
#include "checkgate.h"
#include "clicommand.h"
#include "pmmodel.h"
#include "setupexport.h"
#include "setuptree.h"

namespace {

QString shown(const QString &path) { return QDir::toNativeSeparators(path); }

bool wantsHelp(const QStringList &args)
{
    return args.contains(QLatin1String("--help")) || args.contains(QLatin1String("-h"));
}

int helpFor(const char *usage)
{
    cliOut() << "usage: " << usage << Qt::endl;
    return 0;
}

// Splits the words into positional arguments and the value of "-o".
// False (after a usage error message) when they do not have the given shape.
bool parseArgs(const QStringList &args, int positional, bool needOut, QStringList *files, QString *out,
               int *status)
{
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if (needOut && (a == QLatin1String("-o") || a == QLatin1String("--output"))) {
            if (i + 1 >= args.size()) {
                *status = cliUsageError(QStringLiteral("%1 needs a file name").arg(a));
                return false;
            }
            if (!out->isEmpty()) {
                *status = cliUsageError(QStringLiteral("-o given twice"));
                return false;
            }
            *out = args.at(++i);
        } else if (a.startsWith(QLatin1Char('-')) && a.size() > 1) {
            *status = cliUsageError(QStringLiteral("unknown option '%1'").arg(a));
            return false;
        } else {
            files->append(a);
        }
    }
    if (files->size() != positional) {
        *status = cliUsageError(files->size() < positional ? QStringLiteral("missing file name")
                                                           : QStringLiteral("too many file names"));
        return false;
    }
    if (needOut && out->isEmpty()) {
        *status = cliUsageError(QStringLiteral("missing -o FILE"));
        return false;
    }
    return true;
}

// Opens a setup exactly as the editor's open command does.
bool openSetup(PMModel &model, const QString &path, int *status)
{
    if (!QFileInfo::exists(path)) {
        *status = cliFail(QStringLiteral("cannot open %1").arg(shown(path)), QStringLiteral("no such file"));
        return false;
    }
    if (!model.openSetup(path)) {
        const QString why = model.lastError().isEmpty() ? QStringLiteral("not a setup file") : model.lastError();
        *status = cliFail(QStringLiteral("cannot open %1").arg(shown(path)), why);
        return false;
    }
    return true;
}

const char kCompileUsage[] = "kelda-cli compile SETUP.kelda -o IMAGE.bin [--force]";
const char kExportUsage[] = "kelda-cli export SETUP.kelda CALFILE.cal";
const char kDumpUsage[] = "kelda-cli dump SETUP.kelda";
const char kLoadUsage[] = "kelda-cli load TREE.json -o SETUP.kelda";

// An output that is the command's input is refused before anything is read
// or written: compile and load would replace their own input.
bool refuseClash(const QString &output, const QString &input, const char *role, int *status)
{
    if (!kelda::fileio::sameFile(output, input))
        return false;
    *status = cliFail(QStringLiteral("cannot write %1").arg(shown(output)),
                      QStringLiteral("it is %1, %2").arg(shown(input), QLatin1String(role)));
    return true;
}

int runCompile(const QStringList &given)
{
    if (wantsHelp(given))
        return helpFor(kCompileUsage);
    QStringList args = given;
    const bool force = args.removeAll(QStringLiteral("--force")) > 0;
    QStringList files;
    QString out;
    int status = 0;
    if (!parseArgs(args, 1, true, &files, &out, &status))
        return status;
    if (refuseClash(out, files.first(), "the setup being compiled", &status))
        return status;
    PMModel model;
    if (!openSetup(model, files.first(), &status))
        return status;
    if (const int refused = cliCheckGate(model, files.first(), force))
        return refused;
    if (!model.writeRawImage(out))
        return cliFail(QStringLiteral("cannot compile %1").arg(shown(files.first())), model.imageError());
    return 0;
}

int runExport(const QStringList &args)
{
    if (wantsHelp(args))
        return helpFor(kExportUsage);
    QStringList files;
    QString unused;
    int status = 0;
    if (!parseArgs(args, 2, false, &files, &unused, &status))
        return status;
    const QString what = QStringLiteral("cannot export %1 to %2").arg(shown(files.at(0)), shown(files.at(1)));
    const QString clash = kelda::image::exportClash(files.at(0), files.at(1));
    if (!clash.isEmpty())
        return cliFail(what, clash);
    PMModel model;
    if (!openSetup(model, files.at(0), &status))
        return status;
    if (const int refused = cliCheckGate(model, files.at(0)))
        return refused;
    QString error;
    if (!kelda::image::exportSetup(model, files.at(1), &error))
        return cliFail(what, error);
    return 0;
}

int runDump(const QStringList &args)
{
    if (wantsHelp(args))
        return helpFor(kDumpUsage);
    QStringList files;
    QString unused;
    int status = 0;
    if (!parseArgs(args, 1, false, &files, &unused, &status))
        return status;
    const QString path = files.first();
    const QString what = QStringLiteral("cannot open %1").arg(shown(path));
    if (!QFileInfo::exists(path))
        return cliFail(what, QStringLiteral("no such file"));
    const QByteArray latin1 = path.toLatin1();
    if (QString::fromLatin1(latin1) != path)
        return cliFail(what, QStringLiteral("the path has characters outside Latin-1"));
    kelda::UniqueSession session = kelda::UniqueSession::open(latin1);
    if (!session)
        return cliFail(what, kelda::storeError());
    QByteArray json;
    QString error;
    const bool ok = kelda::setuptree::dump(session.get(), &json, &error);
    session.reset();
    if (!ok)
        return cliFail(QStringLiteral("cannot dump %1").arg(shown(path)), error);
    cliOut().flush();
    if (std::fwrite(json.constData(), 1, size_t(json.size()), stdout) != size_t(json.size()) || std::fflush(stdout) != 0)
        return cliFail(QStringLiteral("cannot dump %1").arg(shown(path)), QStringLiteral("standard output cannot be written"));
    return 0;
}

int runLoad(const QStringList &args)
{
    if (wantsHelp(args))
        return helpFor(kLoadUsage);
    QStringList files;
    QString out;
    int status = 0;
    if (!parseArgs(args, 1, true, &files, &out, &status))
        return status;
    const QString source = files.first();
    if (source != QLatin1String("-") && refuseClash(out, source, "the tree being loaded", &status))
        return status;
    // A tree larger than the largest setup file is refused unread, and so is
    // anything that is not a regular file or standard input ("-").
    QByteArray json;
    QString why;
    if (!kelda::fileio::readInput(source, STRATA_MAX_FILE_SIZE, &json, &why))
        return cliFail(QStringLiteral("cannot read %1").arg(shown(source)), why);

    const QString writeWhat = QStringLiteral("cannot write %1").arg(shown(out));
    const QByteArray latin1 = out.toLatin1();
    if (QString::fromLatin1(latin1) != out)
        return cliFail(writeWhat, QStringLiteral("the path has characters outside Latin-1"));

    kelda::UniqueSession session;
    QString error;
    if (!kelda::setuptree::load(json, &session, &error))
        return cliFail(QStringLiteral("cannot load %1").arg(shown(source)), error);
    const bool saved = session.save(latin1);
    const QString saveError = saved ? QString() : kelda::storeError();
    session.reset();
    if (!saved)
        return cliFail(QStringLiteral("cannot save %1").arg(shown(out)), saveError);
    return 0;
}

CliCommand compileCmd("compile", kCompileUsage, &runCompile);
CliCommand exportCmd("export", kExportUsage, &runExport);
CliCommand dumpCmd("dump", kDumpUsage, &runDump);
CliCommand loadCmd("load", kLoadUsage, &runLoad);

} // namespace
