// kelda-cli check / uses: the setup checks and the cross-references, as the
// window's Problems dock and Where Used show them.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "checkgate.h"
#include "clicommand.h"
#include "documentargs.h"
#include "crossrefs.h"
#include "nametext.h"
#include "pmcolumns.h"
#include "pmmodel.h"
#include "setupcheck.h"
#include "setupfile.h"
#include "setupview.h"

using namespace kelda;

namespace {

// One finding a line: the name escaped, control characters in the message
// (which may quote names) made visible.
QString printedFinding(check::Finding f)
{
    f.name = escapedName(f.name);
    f.message = visibleName(f.message);
    return check::findingLine(f);
}

// useText's "TABLE N \"OWNER\": what" with the owner's name escaped.
QString printedUse(const SetupFile &file, const SetupView &view, ItemType ownerType, const Use &use)
{
    QString line = useText(file.session(), use);
    const QString owner = view.names(ownerType).value(use.owner);
    const qsizetype at = line.indexOf(QLatin1Char('"')) + 1;
    if (at > 0 && line.mid(at, owner.size()) == owner)
        line.replace(at, owner.size(), escapedName(owner));
    return line;
}

int runCheck(const CliArgs &args)
{
    int status = 0;
    SetupFile file;
    if (!openDocumentSetup(file, args.positional.at(0), &status))
        return status;
    const QList<check::Finding> findings = check::checkSetup(file.session());
    if (args.isSet("json")) {
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
            cliOut() << printedFinding(f) << '\n';
    }
    cliOut().flush();
    return check::errorCount(findings) > 0 ? 1 : 0;
}

int runUses(const CliArgs &args)
{
    const QStringList &words = args.positional;
    int status = 0;
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
                                 .arg(cliToken(table), tables.join(QStringLiteral(", "))));
    SetupFile file;
    if (!openDocumentSetup(file, words.first(), &status))
        return status;
    const ItemType type = modeSpec(mode)->type;
    const SetupView view = file.view();
    // The item a reference of that name reaches.
    const int row = view.resolve(type, name);
    if (row < 0)
        return cliFail(
            QStringLiteral("cannot list the uses of \"%1\"").arg(escapedName(cliToken(name))),
            QStringLiteral("the %1 table has no item of that name").arg(QLatin1String(modeSpec(mode)->table)));
    for (const Use &use : findUses(file.session(), type, row))
        cliOut() << printedUse(file, view, modeSpec(useLocation(use).mode)->type, use) << '\n';
    cliOut().flush();
    return 0;
}

const CliRegistration checkCommand{{
    .name = "check",
    .usage = "kelda-cli check SETUP.kelda [--json]",
    .summary = "list what the module would do differently from what a setup says",
    .description = "Prints every finding of the setup checks, one line each: severity (error or warning), "
                   "code, table, row, name and message, as the window's Problems dock lists them.",
    .arguments = {{"SETUP.kelda", "the setup file"}},
    .options = {{"json", nullptr,
                 "print one JSON array of objects with the keys severity, code, table, row "
                 "(from 1), name and message instead"}},
    .statuses = {{0, "no errors (warnings allowed)"}, {1, "at least one error, or the setup cannot be opened"}},
    .run = &runCheck,
}};

const CliRegistration usesCommand{{
    .name = "uses",
    .usage = "kelda-cli uses SETUP.kelda TABLE NAME",
    .summary = "list what uses an item of a setup",
    .description = "Prints, one a line, every event input, event action entry, state output entry and PWM "
                   "assignment that names the item, as Where Used shows them.",
    .arguments = {{"SETUP.kelda", "the setup file"},
                  {"TABLE",
                   "the tab text of a table whose items can be used: Keypad, Switches, CAN Inputs, "
                   "Timers, States, LX1 Outputs, LX2 LEDs or CAN Outputs (any case)"},
                  {"NAME", "the item's name"}},
    .statuses = {{0, "the uses were printed (none is no line)"},
                 {1, "the setup cannot be opened, or the table holds no item of that name"},
                 {2, "usage error, or TABLE is not a table whose items can be used"}},
    .run = &runUses,
}};

}  // namespace

int cliCheckGate(PMModel &model, const QString &path, bool force)
{
    const QList<check::Finding> findings = check::checkSetup(model.session());
    const int errors = check::errorCount(findings);
    if (errors == 0)
        return 0;
    cliOut().flush();
    for (const check::Finding &f : findings)
        if (f.isError())
            cliErr() << printedFinding(f) << '\n';
    if (force) {
        cliErr() << "kelda-cli: " << cliOneLine(shownPath(path)) << ": " << errors
                 << (errors == 1 ? " error" : " errors") << ", compiled anyway (--force)" << Qt::endl;
        return 0;
    }
    return cliFail(QStringLiteral("%1 has %2 %3")
                       .arg(shownPath(path), QString::number(errors),
                            errors == 1 ? QStringLiteral("error") : QStringLiteral("errors")),
                   QStringLiteral("nothing was written; see kelda-cli check for the whole list"));
}
