// kelda-cli report: the setup report, written by the same code as the
// window's Tools > Setup Report.
#include "clicommand.h"
#include "documentargs.h"
#include "pmmodel.h"
#include "setupreport.h"

namespace {

const char kReportUsage[] = "kelda-cli report SETUP.kelda -o FILE.pdf|FILE.html";

int runReport(const QStringList &args)
{
    QString setup, out;
    int status = 0;
    if (!parseDocumentArgs(args, kReportUsage, &setup, &out, &status))
        return status;
    if (kelda::report::reportFormat(out) == kelda::report::ReportFormat::Unknown)
        return cliUsageError(QStringLiteral("the report's file name must end in .pdf, .html or .htm"));
    PMModel model;
    if (!openDocumentSetup(model, setup, &status))
        return status;
    QString error;
    if (!kelda::report::writeReport(model, out, &error))
        return cliFail(QStringLiteral("cannot write the report %1").arg(shownPath(out)), error);
    return 0;
}

CliCommand reportCommand("report", kReportUsage, &runReport, true);

} // namespace
