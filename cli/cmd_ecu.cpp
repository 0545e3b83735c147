// kelda-cli ports / upload / read / restore / verify: the upload dialog's
// work without a display, and the way back to what the module held.
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <memory>
#include <unistd.h>

#include "atomicfile.h"
#include "checkgate.h"
#include "clicommand.h"
#include "imagecompiler.h"
#include "imagediff.h"
#include "modulecompare.h"
#include "pmmodel.h"
#include "setupexport.h"
#include "setupview.h"

#include "uploadcalibration.h"
#include "uploaddriver.h"

using kelda::upload::UploadDriver;

namespace {

// The options the ECU commands share.
const CliOption kPortOption{
    "port", "NAME",
    "the port the module is on: a name as kelda-cli ports prints it, else the path of a device (relative or "
    "absolute)",
    true};
const CliOption kTimeoutOption{"timeout", "SECONDS",
                               "end the run with status 1 when it has no result in this time (default: only the "
                               "library's own timeouts and retries)"};
const CliOption kYesOption{"yes", nullptr,
                           "answer yes when the module's internal logging setup does not appear to be valid (a "
                           "running engine is never answered)"};
const CliOption kVehicleOption{"vehicle", "TAG",
                               "the vehicle this is for, kept in the history with the line this run adds "
                               "(kelda-cli history --vehicle lists them)"};

// The words of the ECU commands, checked; which of them a command takes is its own.
struct EcuArgs {
    QString file;  // SETUP.kelda or FILE.cal
    QString port;
    QString output;  // -o or --backup
    QString vehicle;  // the history's tag
    bool yes = false;
    int timeout = 0;
};

// Plain decimal digits up to the longest time the driver can wait: a value
// that cannot be represented is refused, never wrapped around.
bool parseTimeout(const QString &word, int *seconds)
{
    if (word.isEmpty() || word.size() > 10)
        return false;
    qint64 n = 0;
    for (const QChar c : word) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        n = n * 10 + (c.unicode() - '0');
    }
    if (n > UploadDriver::kMaxTimeoutSeconds)
        return false;
    *seconds = int(n);
    return true;
}

// Returns 0, or the usage error's status.
int ecuArgs(const CliArgs &args, const char *outputOption, EcuArgs *out)
{
    out->file = args.positional.value(0);
    out->port = args.value("port");
    if (out->port.isEmpty())
        return cliUsageError(QStringLiteral("--port needs a port name"));
    if (outputOption && args.isSet(outputOption)) {
        out->output = args.value(outputOption);
        if (out->output.isEmpty()) {
            const QString name = QLatin1String(outputOption);
            return cliUsageError(QStringLiteral("%1%2 needs a file name")
                                     .arg(name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--"), name));
        }
    }
    if (args.isSet("timeout") && !parseTimeout(args.value("timeout"), &out->timeout))
        return cliUsageError(QStringLiteral("--timeout needs a whole number of seconds from 0 to %1")
                                 .arg(UploadDriver::kMaxTimeoutSeconds));
    out->yes = args.isSet("yes");
    out->vehicle = args.value("vehicle").trimmed();
    if (args.isSet("vehicle") && out->vehicle.isEmpty())
        return cliUsageError(QStringLiteral("--vehicle needs a tag"));
    return 0;
}

// Why the file at `path` cannot be written, in the user's own spelling of
// it; empty when it can. Checked before the port is opened, so that a run
// that cannot keep its result never talks to the module.
QString outputProblem(const QString &path)
{
    const QFileInfo file(path);
    const QString folder = file.path();  // as typed: "nodir" for nodir/x.cal
    const QString folderShown =
        folder == QLatin1String(".") ? QStringLiteral("the current folder") : QStringLiteral("the folder ") + folder;
    const QFileInfo dir(folder);
    if (!dir.exists())
        return folderShown + QStringLiteral(" does not exist");
    if (!dir.isDir())
        return folder + QStringLiteral(" is not a folder");
    if (file.exists() && file.isDir())
        return QStringLiteral("it is a folder");
    if (file.exists() && !file.isFile())
        return QStringLiteral("it is not a regular file");
    // The file is replaced through a temporary file beside it.
    if (::access(QFile::encodeName(folder).constData(), W_OK | X_OK) != 0)
        return folderShown + QStringLiteral(" cannot be written to: ") + QString::fromLocal8Bit(std::strerror(errno));
    if (file.exists() && ::access(QFile::encodeName(path).constData(), W_OK) != 0)
        return QStringLiteral("it cannot be written to: ") + QString::fromLocal8Bit(std::strerror(errno));
    return QString();
}

QStringList portDevices(const QString &port)
{
    return {port, QStringLiteral("/dev/") + port};
}

void printLog(UploadDriver &driver)
{
    driver.onLog = [](const QString &line) { cliOut() << line << Qt::endl; };
    auto lastTenth = std::make_shared<int>(-1);
    driver.onProgress = [lastTenth](double fraction) {
        const int tenth = static_cast<int>(fraction * 10);
        if (tenth != *lastTenth) {
            *lastTenth = tenth;
            cliOut() << "progress: " << tenth * 10 << '%' << Qt::endl;
        }
    };
}

// Opens and compiles the setup as the editor does, in memory: nothing is left
// in $TMPDIR. Status 0 or cliFail's. With `checked`, a setup with errors is
// refused before anything is compiled.
int compileSetup(const QString &setup, QByteArray *image, QByteArray *calName, bool checked,
                 kelda::SetupView *view = nullptr)
{
    const QString shown = QDir::toNativeSeparators(setup);
    if (!QFileInfo::exists(setup))
        return cliFail(QStringLiteral("cannot open ") + shown, QStringLiteral("no such file"));
    PMModel model;
    if (!model.openSetup(setup)) {
        const QString why = model.lastError().isEmpty() ? QStringLiteral("not a setup file") : model.lastError();
        return cliFail(QStringLiteral("cannot open ") + shown, why);
    }
    if (checked) {
        if (const int refused = cliCheckGate(model, setup))
            return refused;
    }
    // Compiled first: nothing goes to the module from a setup that does not compile.
    QString why;
    if (!kelda::image::compileImage(model.session(), image, &why))
        return cliFail(QStringLiteral("cannot compile ") + shown,
                       why.isEmpty() ? QStringLiteral("unknown error") : why);
    *calName = kelda::upload::unpaddedName(model.fileName());
    if (view)
        *view = kelda::SetupView::read(model.session());
    return 0;
}

// What the module holds against the setup, as the upload dialog says it: the
// "holds …" or "differs" line, then each differing item on a line of its own.
QStringList comparedLines(const kelda::upload::ModuleContents &contents, const QString &setupName,
                          const QByteArray &image, const kelda::SetupView &view)
{
    QStringList lines{kelda::upload::holdsLine(contents, setupName)};
    if (contents.result != kelda::upload::ModuleContents::Result::Differs)
        return lines;
    if (contents.empty)
        return lines << QStringLiteral("the module holds no calibration: every item will be written");
    return lines + kelda::image::imageDifferences(contents.image, image, view);
}

void printCompared(const QStringList &lines, const QString &indent)
{
    for (qsizetype i = 0; i < lines.size(); ++i)
        cliOut() << indent << (i ? QStringLiteral("  ") : QString()) << lines[i] << '\n';
    cliOut().flush();
}

// Printed before the first byte is written: what goes where, and what it changes.
void printUploadSummary(const UploadDriver &driver, const QString &setup, const QString &port,
                        const QStringList &compared)
{
    cliOut() << "Upload summary:\n"
             << "  setup: " << QDir::toNativeSeparators(QFileInfo(setup).absoluteFilePath())
             << " (saved: the file is uploaded as it is on disk)\n"
             << "  module: " << driver.moduleIdentity() << " on " << port << '\n'
             << "  the module " << compared.value(0) << '\n';
    if (compared.value(0).startsWith(QLatin1String("holds")))
        cliOut() << "  nothing will change on the module\n";
    else if (compared.size() > 1)
        cliOut() << "  will change on the module:\n";
    for (const QString &line : compared.mid(1))
        cliOut() << "    " << line << '\n';
    cliOut().flush();
}

int runPorts(const CliArgs &)
{
    for (const QString &name : UploadDriver::portNames())
        cliOut() << name << '\n';
    cliOut().flush();
    return 0;
}

int runUpload(const CliArgs &args)
{
    EcuArgs a;
    if (const int rc = ecuArgs(args, "backup", &a))
        return rc;
    const QString shown = QDir::toNativeSeparators(a.file);
    if (!a.output.isEmpty()) {
        const QString clash = kelda::fileio::clashingInput(a.output, QStringList{a.file} + portDevices(a.port));
        if (!clash.isEmpty())
            return cliFail(QStringLiteral("cannot back up into %1").arg(a.output),
                           QStringLiteral("it is %1, an input of this upload").arg(clash));
        if (const QString why = outputProblem(a.output); !why.isEmpty())
            return cliFail(QStringLiteral("cannot write ") + a.output, why);
    }
    UploadDriver::Options options;
    kelda::SetupView view;
    if (const int rc = compileSetup(a.file, &options.image, &options.calName, true, &view))
        return rc;

    options.task = UploadDriver::Task::Upload;
    options.compareFirst = true;
    options.historyFile = a.file;
    options.vehicle = a.vehicle;
    options.port = a.port;
    options.outputPath = a.output;
    options.intLogSetupOk = a.yes;
    options.timeoutSeconds = a.timeout;
    UploadDriver driver(options);
    printLog(driver);
    const QString setupName = QFileInfo(a.file).fileName();
    driver.onCompared = [&](const kelda::upload::ModuleContents &c) {
        printUploadSummary(driver, a.file, a.port, comparedLines(c, setupName, options.image, view));
    };
    if (!driver.run())
        return cliFail(QStringLiteral("upload of %1 to %2 failed").arg(shown, a.port), driver.failure());
    return 0;
}

int runRead(const CliArgs &args)
{
    EcuArgs a;
    if (const int rc = ecuArgs(args, "o", &a))
        return rc;
    const QString clash = kelda::fileio::clashingInput(a.output, portDevices(a.port));
    if (!clash.isEmpty())
        return cliFail(QStringLiteral("cannot read into %1").arg(a.output),
                       QStringLiteral("it is the port %1").arg(clash));
    if (const QString why = outputProblem(a.output); !why.isEmpty())
        return cliFail(QStringLiteral("cannot write ") + a.output, why);

    UploadDriver::Options options;
    options.task = UploadDriver::Task::Read;
    options.vehicle = a.vehicle;
    options.port = a.port;
    options.outputPath = a.output;
    options.timeoutSeconds = a.timeout;
    UploadDriver driver(options);
    printLog(driver);
    if (!driver.run())
        return cliFail(QStringLiteral("cannot read the calibration on %1 into %2").arg(a.port, a.output),
                       driver.failure());
    return 0;
}

int runRestore(const CliArgs &args)
{
    EcuArgs a;
    if (const int rc = ecuArgs(args, nullptr, &a))
        return rc;
    const QString shown = QDir::toNativeSeparators(a.file);
    // Bounded like every input: a device or a pipe is refused unread. Larger
    // than any module's calibration space, the limit only stops runaway input.
    UploadDriver::Options options;
    QString why;
    if (!QFileInfo::exists(a.file))
        return cliFail(QStringLiteral("cannot open %1").arg(shown), QStringLiteral("no such file"));
    if (!kelda::fileio::readInput(a.file, STRATA_MAX_FILE_SIZE, &options.calibration, &why))
        return cliFail(QStringLiteral("cannot read %1").arg(shown), why);

    // A file the export wrote holds the setup's name padded its own way and
    // may carry older bytes behind the image: the module gets what an upload
    // of that setup stores, so that verify then finds it.
    if (const auto exported = kelda::image::readExportedCalibration(options.calibration)) {
        options.restoreAsUpload = true;
        options.calName = exported->name;
        options.image = exported->image;
        cliOut() << shown << " holds the name and image of a setup as export writes them: writing the name \""
                 << QString::fromLatin1(exported->name) << "\" and the image of " << exported->image.size()
                 << " bytes as an upload does." << Qt::endl;
    }
    options.task = UploadDriver::Task::Restore;
    options.historyFile = a.file;
    options.vehicle = a.vehicle;
    options.port = a.port;
    options.intLogSetupOk = a.yes;
    options.timeoutSeconds = a.timeout;
    UploadDriver driver(options);
    printLog(driver);
    if (!driver.run())
        return cliFail(QStringLiteral("restore of %1 to %2 failed").arg(shown, a.port), driver.failure());
    return 0;
}

int runVerify(const CliArgs &args)
{
    EcuArgs a;
    if (const int rc = ecuArgs(args, nullptr, &a))
        return rc;
    const QString shown = QDir::toNativeSeparators(a.file);
    UploadDriver::Options options;
    kelda::SetupView view;
    if (const int rc = compileSetup(a.file, &options.image, &options.calName, false, &view))
        return rc;
    options.task = UploadDriver::Task::Verify;
    options.port = a.port;
    options.timeoutSeconds = a.timeout;
    options.compareFirst = args.isSet("diff");
    UploadDriver driver(options);
    printLog(driver);
    const QString setupName = QFileInfo(a.file).fileName();
    driver.onCompared = [&](const kelda::upload::ModuleContents &c) {
        printCompared(comparedLines(c, setupName, options.image, view), QString());
    };
    if (driver.run())
        return 0;
    if (driver.differs())
        return cliFail(QStringLiteral("the module on %1 does not hold %2").arg(a.port, shown), driver.failure());
    return cliFail(QStringLiteral("cannot verify %1 on %2").arg(shown, a.port), driver.failure());
}

const CliRegistration portsCommand{{
    .name = "ports",
    .usage = "kelda-cli ports",
    .summary = "list the ports a module can be reached on",
    .description = "Prints the name of every port that the upload dialog lists, one a line, in the same order: "
                   "the serial ports the system knows, then the ports named in CORLA_EXTRA_PORTS and the ports "
                   "file (such as the pseudo-terminal of lx2-emulator). With no port it prints nothing.",
    .statuses = {{0, "the list was printed"}},
    .run = &runPorts,
}};

const CliRegistration uploadCommand{{
    .name = "upload",
    .usage = "kelda-cli upload SETUP.kelda --port NAME [--yes] [--backup FILE.cal] [--vehicle TAG] "
             "[--timeout SECONDS]",
    .summary = "compile a setup and upload it to a module",
    .description = "Does what the editor's Upload does: opens and compiles the setup, connects to the module, "
                   "checks that its RUNE file names an LX2 with 3x firmware, writes the setup's file name and "
                   "the image into the calibration and uploads the blocks that differ from what the module "
                   "holds. Before anything is written it prints a summary: the setup file, the module's identity "
                   "and port, and what will change on the module, item by item (as verify --diff names them). "
                   "The library's log and the progress in steps of 10 % go to standard output; the last "
                   "line of a success is \"Upload Complete\". A setup with errors of the setup checks is refused "
                   "before the port is opened.",
    .arguments = {{"SETUP.kelda", "the setup file"}},
    .options = {kPortOption,
                kYesOption,
                {"backup", "FILE.cal",
                 "first read the module's calibration into this file; nothing is written "
                 "to the module unless that succeeds"},
                kVehicleOption,
                kTimeoutOption},
    .statuses = {{0, "the module verified and committed the calibration, or held it already"},
                 {1,
                  "the setup cannot be opened, has errors or cannot be compiled, or the upload failed (the "
                  "line says what the module holds then)"}},
    .run = &runUpload,
}};

const CliRegistration readCommand{{
    .name = "read",
    .usage = "kelda-cli read --port NAME -o FILE.cal [--vehicle TAG] [--timeout SECONDS]",
    .summary = "read the calibration a module holds into a file",
    .description = "Reads the calibration the module has stored into FILE.cal, every byte checked against the "
                   "CRC-32 the module reports. The file is written atomically; kelda-cli restore writes it back.",
    .options = {kPortOption, {"o,output", "FILE.cal", "the file to write", true}, kVehicleOption, kTimeoutOption},
    .statuses = {{0, "the file was written"},
                 {1,
                  "the module holds no calibration, cannot send it back or does not answer, or the file "
                  "cannot be written"}},
    .run = &runRead,
}};

const CliRegistration restoreCommand{{
    .name = "restore",
    .usage = "kelda-cli restore FILE.cal --port NAME [--yes] [--vehicle TAG] [--timeout SECONDS]",
    .summary = "write a calibration read by read or --backup back into a module",
    .description = "Writes the calibration file back into the module, whole from address 0, with the checks, "
                   "questions and verification of an upload. A file written by export (a setup's name field and "
                   "image) is written as an upload of that setup writes it: the name padded with spaces to the "
                   "module's name field, the image at its own length, nothing else, so that verify of the setup "
                   "then succeeds. An empty file, or one larger than the module's calibration space, is refused "
                   "before anything is written.",
    .arguments = {{"FILE.cal", "the calibration file"}},
    .options = {kPortOption, kYesOption, kVehicleOption, kTimeoutOption},
    .statuses = {{0, "the module verified and committed the calibration, or held it already"},
                 {1, "the file cannot be read, or the restore failed"}},
    .run = &runRestore,
}};

const CliRegistration verifyCommand{{
    .name = "verify",
    .usage = "kelda-cli verify SETUP.kelda --port NAME [--diff] [--timeout SECONDS]",
    .summary = "tell whether a module holds a setup",
    .description = "Compiles the setup, builds the calibration an upload would write and compares its length "
                   "and CRC-32 with what the module reports it holds; when they agree, the module's calibration "
                   "is read back and compared byte for byte (a module that cannot send it back is taken at its "
                   "length and CRC-32). Nothing is written. With --diff the module's image is compared by "
                   "content instead, its name field left out: block sums first, then only the differing blocks "
                   "are read; it prints \"holds SETUP.kelda\" or \"differs\" and then each differing item on a "
                   "line of its own, named from the setup.",
    .arguments = {{"SETUP.kelda", "the setup file"}},
    .options = {kPortOption,
                {"diff", nullptr,
                 "compare by content (a renamed copy of the setup holds) and name every item that differs"},
                kTimeoutOption},
    .statuses = {{0, "the module holds exactly this setup's calibration (with --diff: its image, whatever the name)"},
                 {1,
                  "it holds something else, or the setup does not compile, or the module is not a "
                  "compatible LX2 or cannot be reached"}},
    .run = &runVerify,
}};

}  // namespace
