// The commands that read a setup file: the setup opened as the editor opens
// it, and paths shown as the system writes them.
#pragma once

#include <QString>
#include <QStringList>

class PMModel;
struct CliArgs;
namespace kelda {
class SetupFile;
struct SimLimits;
class SimScenario;
}  // namespace kelda

// The reason of a failed open without the "cannot open PATH: " that the
// model and the store put in front of it.
QString openFailureReason(QString reason, const QString &path);
// Opens a setup as the editor's Open does; false with the reason otherwise.
// Commands that only read it take a SetupFile (no table model).
bool readSetupFile(PMModel &model, const QString &path, QString *why);
bool readSetupFile(kelda::SetupFile &setup, const QString &path, QString *why);
// False after a failure message (status 1).
bool openDocumentSetup(PMModel &model, const QString &path, int *status);
bool openDocumentSetup(kelda::SetupFile &setup, const QString &path, int *status);
QString shownPath(const QString &path);
// Checked before any work: an output whose folder is missing or cannot be
// written, or that is a folder or a read-only file, fails at once with
// "cannot write PATH: <why>" (status 1 in *status).
bool outputWritable(const QString &path, int *status);
// An output that is one of the inputs fails at once with "cannot write OUT:
// it is INPUT, <role>" (status 1 in *status); true when it does.
bool refuseOutputIsInput(const QString &output, const QStringList &inputs, const QString &role, int *status);
// A failed write, as the file writer words it ("cannot write PATH: <why>"):
// one line, no prefix of our own in front; returns 1.
int writeFailed(const QString &error);
// Bytes to standard output (for "-o -"); a failure is found when main.cpp
// closes it.
void writeStandardOutput(const QByteArray &bytes);

// --max-ticks and --max-changes (simulate, test): whole numbers from 1, else a
// usage error (false, status 2 in *status).
bool simLimitsOf(const CliArgs &args, kelda::SimLimits *limits, int *status);
// Where the window asks "Simulate anyway?": one line on standard error when
// the setup has check errors; it runs all the same.
void noteSetupErrors(const kelda::SimScenario &scenario, const QString &setupPath);
