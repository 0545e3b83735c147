// kelda-cli check / uses: the setup checks and the cross-references, as the
// window's Problems dock and Where Used show them.
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "checkgate.h"
#include "clicommand.h"
#include "crossrefs.h"
#include "pmcolumns.h"
#include "pmmodel.h"
#include "setupcheck.h"

using namespace kelda;

namespace {

const char kCheckUsage[] = "kelda-cli check SETUP.kelda [--json]";
const char kUsesUsage[] = "kelda-cli uses SETUP.kelda TABLE NAME";

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

// Positional words and the flags among them; false after a usage error.
bool split(const QStringList &args, const QStringList &flags, QStringList *words, QStringList *given, int *status)
{
    for (const QString &a : args) {
        if (flags.contains(a)) {
            given->append(a);
        } else if (a.startsWith(QLatin1Char('-')) && a.size() > 1) {
            *status = cliUsageError(QStringLiteral("unknown option '%1'").arg(a));
            return false;
        } else {
            words->append(a);
        }
    }
    return true;
}

bool open(PMModel &model, const QString &path, int *status)
{
    if (!QFileInfo::exists(path)) {
        *status = cliFail(QStringLiteral("cannot open %1").arg(shown(path)), QStringLiteral("no such file"));
        return false;
    }
    if (!model.openSetup(path)) {
        *status = cliFail(QStringLiteral("cannot open %1").arg(shown(path)), model.lastError());
        return false;
    }
    return true;
}

int runCheck(const QStringList &args)
{
    if (wantsHelp(args))
        return helpFor(kCheckUsage);
    QStringList words, flags;
    int status = 0;
    if (!split(args, {QStringLiteral("--json")}, &words, &flags, &status))
        return status;
    if (words.size() != 1)
        return cliUsageError(words.isEmpty() ? QStringLiteral("missing file name") : QStringLiteral("too many file names"));
    PMModel model;
    if (!open(model, words.first(), &status))
        return status;
    const QList<check::Finding> findings = check::checkSetup(model.session());
    if (flags.contains(QLatin1String("--json"))) {
        QJsonArray list;
        for (const check::Finding &f : findings)
            list.append(QJsonObject{{QStringLiteral("severity"), check::severityText(f.severity)},
                                    {QStringLiteral("code"), f.code},
                                    {QStringLiteral("table"), f.table},
                                    {QStringLiteral("row"), f.row},
                                    {QStringLiteral("name"), f.name},
                                    {QStringLiteral("message"), f.message}});
        cliOut() << QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Indented));
    } else {
        for (const check::Finding &f : findings)
            cliOut() << check::findingLine(f) << '\n';
    }
    cliOut().flush();
    return check::errorCount(findings) > 0 ? 1 : 0;
}

int runUses(const QStringList &args)
{
    if (wantsHelp(args))
        return helpFor(kUsesUsage);
    QStringList words, flags;
    int status = 0;
    if (!split(args, {}, &words, &flags, &status))
        return status;
    if (words.size() != 3)
        return cliUsageError(words.size() < 3 ? QStringLiteral("missing arguments") : QStringLiteral("too many arguments"));
    const QString &table = words.at(1);
    const QString &name = words.at(2);
    int mode = -1;
    QStringList tables;
    for (int m = 0; m < kModeCount; ++m) {
        const ModeSpec *spec = modeSpec(m);
        if (!isReferable(spec->type))
            continue;
        tables << QString::fromLatin1(spec->table);
        if (table.compare(QLatin1String(spec->table), Qt::CaseInsensitive) == 0)
            mode = m;
    }
    if (mode < 0)
        return cliUsageError(QStringLiteral("'%1' is no table whose items can be used; one of: %2")
                                 .arg(table, tables.join(QStringLiteral(", "))));
    PMModel model;
    if (!open(model, words.first(), &status))
        return status;
    const ItemType type = modeSpec(mode)->type;
    int row = -1;
    for (int i = 0; i < model.itemCount(type) && row < 0; ++i)
        if (model.itemName(type, i) == name)
            row = i;
    if (row < 0)
        return cliFail(QStringLiteral("cannot list the uses of \"%1\"").arg(name),
                       QStringLiteral("the %1 table has no item of that name").arg(QLatin1String(modeSpec(mode)->table)));
    for (const Use &use : findUses(model.session(), type, row))
        cliOut() << useText(model.session(), use) << '\n';
    cliOut().flush();
    return 0;
}

CliCommand checkCmd("check", kCheckUsage, &runCheck);
CliCommand usesCmd("uses", kUsesUsage, &runUses);

} // namespace

int cliCheckGate(PMModel &model, const QString &path, bool force)
{
    const QList<check::Finding> findings = check::checkSetup(model.session());
    const int errors = check::errorCount(findings);
    if (errors == 0)
        return 0;
    cliOut().flush();
    for (const check::Finding &f : findings)
        if (f.isError())
            cliErr() << check::findingLine(f) << '\n';
    if (force) {
        cliErr() << "kelda-cli: " << shown(path) << ": " << errors << (errors == 1 ? " error" : " errors")
                 << ", compiled anyway (--force)" << Qt::endl;
        return 0;
    }
    return cliFail(QStringLiteral("%1 has %2 %3").arg(shown(path)).arg(errors).arg(errors == 1 ? QStringLiteral("error")
                                                                                             : QStringLiteral("errors")),
                   QStringLiteral("nothing was written; see kelda-cli check for the whole list"));
}
