// kelda-cli report: the setup report, written by the same code as the
// window's Tools > Setup Report.
#include <QDateTime>

#include "clicommand.h"
#include "documentargs.h"
#include "setupfile.h"
#include "setupreport.h"

namespace {

int runReport(const CliArgs &args)
{
    const QString setup = args.positional.at(0);
    const QString out = args.value("o");
    int status = 0;
    if (kelda::report::reportFormat(out) == kelda::report::ReportFormat::Unknown)
        return cliUsageError(QStringLiteral("the report's file name must end in .pdf, .html or .htm"));
    if (!outputWritable(out, &status))
        return status;
    kelda::SetupFile file;
    if (!openDocumentSetup(file, setup, &status))
        return status;
    // The revision block holds only what was given: never a user or host name.
    const kelda::report::Revision revision{args.value("vehicle"), args.value("revision"), args.value("author")};
    QString error;
    if (!kelda::report::writeReport(file.session(), file.fileName(), out, &error, QDateTime::currentDateTime(),
                                    revision))
        return error.startsWith(QLatin1String("cannot write "))
            ? writeFailed(error)
            : cliFail(QStringLiteral("cannot write the report %1").arg(shownPath(out)), error);
    return 0;
}

const CliRegistration reportCommand{{
    .name = "report",
    .usage = "kelda-cli report SETUP.kelda -o FILE.pdf|FILE.html [--vehicle TEXT] [--revision TEXT] [--author TEXT]",
    .summary = "write the setup report as PDF or HTML",
    .description = "Writes the setup report, as the window's Tools > Setup Report... does: PDF when the file "
                   "name ends in .pdf, self-contained HTML when it ends in .html or .htm (any case). It is "
                   "written for any setup, errors included: its cover lists them. The file is replaced "
                   "atomically; an output that is the setup itself is refused.\n\n"
                   "The cover's revision block names the setup file, the date and time with the time zone, and "
                   "the vehicle, revision and author given by the options; a field not given is left empty, to "
                   "be filled in by hand. The cover also gives the CRC-32 of the calibration an upload would "
                   "write, the one kelda-cli verify compares and the module reports, computed with the installed "
                   "RUNE file of the LX2 3x series; without one the cover says so.\n\n"
                   "The report is laid out with QtGui, so this command runs under a QGuiApplication on the "
                   "offscreen platform unless QT_QPA_PLATFORM names another; it needs no display.",
    .arguments = {{"SETUP.kelda", "the setup file"}},
    .options = {{"o,output", "FILE.pdf|FILE.html", "the report to write", true},
                {"vehicle", "TEXT", "the vehicle, for the cover's revision block"},
                {"revision", "TEXT", "the setup's revision, for the cover's revision block"},
                {"author", "TEXT", "who made the revision, for the cover's revision block"}},
    .statuses = {{0, "the report was written"},
                 {1, "the setup cannot be opened, or the report cannot be written"},
                 {2, "usage error, or a file name that ends in neither .pdf, .html nor .htm"}},
    .gui = true,
    .run = &runReport,
}};

}  // namespace
