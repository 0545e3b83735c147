// kelda-cli dbc: the setup's CAN messages as a CAN database.
#include "candb.h"
#include "clicommand.h"
#include "documentargs.h"
#include "pmmodel.h"

namespace {

const char kDbcUsage[] = "kelda-cli dbc SETUP.kelda -o FILE.dbc";

int runDbc(const QStringList &args)
{
    QString setup, out;
    int status = 0;
    if (!parseDocumentArgs(args, kDbcUsage, &setup, &out, &status))
        return status;
    PMModel model;
    if (!openDocumentSetup(model, setup, &status))
        return status;
    QString error;
    if (!kelda::report::writeCanDatabase(model, out, &error))
        return cliFail(QStringLiteral("cannot write the CAN database %1").arg(shownPath(out)), error);
    return 0;
}

CliCommand dbcCommand("dbc", kDbcUsage, &runDbc);

} // namespace
