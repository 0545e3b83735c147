// kelda-cli dbc: the setup's CAN messages as a CAN database.
#include "candb.h"
#include "clicommand.h"
#include "documentargs.h"
#include "setupfile.h"

namespace {

int runDbc(const CliArgs &args)
{
    const QString setup = args.positional.at(0);
    const QString out = args.value("o");
    const bool toStandardOutput = out == QLatin1String("-");
    int status = 0;
    if (!toStandardOutput && !outputWritable(out, &status))
        return status;
    kelda::SetupFile file;
    if (!openDocumentSetup(file, setup, &status))
        return status;
    if (toStandardOutput) {
        const auto facts = kelda::report::collectFacts(file.session(), file.fileName());
        if (const QString problem = kelda::report::canDatabaseProblem(facts); !problem.isEmpty())
            return cliFail(QStringLiteral("cannot write the CAN database of %1").arg(shownPath(setup)), problem);
        writeStandardOutput(kelda::report::canDatabase(facts).toLatin1());
        return 0;
    }
    QString error;
    if (!kelda::report::writeCanDatabase(file.session(), file.fileName(), out, &error))
        return error.startsWith(QLatin1String("cannot write "))
            ? writeFailed(error)
            : cliFail(QStringLiteral("cannot write %1").arg(shownPath(out)), error);
    return 0;
}

const CliRegistration dbcCommand{{
    .name = "dbc",
    .usage = "kelda-cli dbc SETUP.kelda -o FILE.dbc",
    .summary = "write the setup's CAN messages as a CAN database",
    .description = "Writes the CAN database of the setup's messages: one message per identifier the setup "
                   "receives or sends, one signal per CAN input or CAN output. Latin-1 text, replaced "
                   "atomically; an output that is the setup itself is refused. -o - writes it to standard output.",
    .arguments = {{"SETUP.kelda", "the setup file"}},
    .options = {{"o,output", "FILE.dbc", "the CAN database to write; - for standard output", true, true}},
    .statuses = {{0, "the database was written"},
                 {1, "the setup cannot be opened or has a CAN identifier above 0x7FF, or the file cannot be written"}},
    .run = &runDbc,
}};

}  // namespace
