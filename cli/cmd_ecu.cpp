// kelda-cli ports / upload / read / restore / verify: the upload dialog's
// work without a display, and the way back to what the module held.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <memory>

#include "atomicfile.h"
#include "checkgate.h"
#include "clicommand.h"
#include "pmmodel.h"

#include "uploadcalibration.h"
#include "uploaddriver.h"

using kelda::upload::UploadDriver;

namespace {

const char kPortsUsage[] = "kelda-cli ports";
const char kUploadUsage[] =
    "kelda-cli upload SETUP.kelda --port NAME [--yes] [--backup FILE.cal] [--timeout SECONDS]";
const char kReadUsage[] = "kelda-cli read --port NAME -o FILE.cal [--timeout SECONDS]";
const char kRestoreUsage[] = "kelda-cli restore FILE.cal --port NAME [--yes] [--timeout SECONDS]";
const char kVerifyUsage[] = "kelda-cli verify SETUP.kelda --port NAME [--timeout SECONDS]";

bool wantsHelp(const QStringList &args)
{
    return args.contains(QLatin1String("--help")) || args.contains(QLatin1String("-h"));
}

// The words of the ECU commands; which of them a command takes is its own.
struct EcuArgs {
    QString file;      // SETUP.kelda or FILE.cal
    QString port;
    QString output;    // -o or --backup
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
int parseArgs(const QStringList &args, const QString &outputOption, bool takesFile, bool takesYes, EcuArgs *out)
{
    bool havePort = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if (a == QLatin1String("--port")) {
            if (i + 1 >= args.size())
                return cliUsageError(QStringLiteral("--port needs a port name"));
            out->port = args.at(++i);
            havePort = true;
        } else if (!outputOption.isEmpty() && a == outputOption) {
            if (i + 1 >= args.size() || args.at(i + 1).isEmpty())
                return cliUsageError(QStringLiteral("%1 needs a file name").arg(outputOption));
            out->output = args.at(++i);
        } else if (a == QLatin1String("--timeout")) {
            if (i + 1 >= args.size() || !parseTimeout(args.at(++i), &out->timeout))
                return cliUsageError(QStringLiteral("--timeout needs a whole number of seconds from 0 to %1")
                                         .arg(UploadDriver::kMaxTimeoutSeconds));
        } else if (takesYes && a == QLatin1String("--yes")) {
            out->yes = true;
        } else if (a.startsWith(QLatin1Char('-')) && a.size() > 1) {
            return cliUsageError(QStringLiteral("unknown option '%1'").arg(a));
        } else if (takesFile && out->file.isEmpty()) {
            out->file = a;
        } else {
            return cliUsageError(takesFile ? QStringLiteral("too many file names")
                                           : QStringLiteral("unexpected argument '%1'").arg(a));
        }
    }
    if (takesFile && out->file.isEmpty())
        return cliUsageError(QStringLiteral("missing file name"));
    if (!havePort || out->port.isEmpty())
        return cliUsageError(QStringLiteral("missing --port NAME (see kelda-cli ports)"));
    return 0;
}

// An output that is one of the inputs (the setup, the port's device) is refused
// before anything is read or written.
QString clashingInput(const QString &output, const QStringList &inputs)
{
    for (const QString &input : inputs)
        if (!input.isEmpty() && kelda::fileio::sameFile(output, input))
            return input;
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

// Opens and compiles the setup as the editor does; status 0 or cliFail's.
// With `checked`, a setup with errors is refused before anything is compiled.
int compileSetup(const QString &setup, QTemporaryFile *image, QByteArray *calName, bool checked)
{
    const QString shown = QDir::toNativeSeparators(setup);
    if (!QFileInfo::exists(setup))
        return cliFail(QStringLiteral("cannot open %1").arg(shown), QStringLiteral("no such file"));
    PMModel model;
    if (!model.openSetup(setup)) {
        const QString why = model.lastError().isEmpty() ? QStringLiteral("not a setup file") : model.lastError();
        return cliFail(QStringLiteral("cannot open %1").arg(shown), why);
    }
    if (checked) {
        if (const int refused = cliCheckGate(model, setup))
            return refused;
    }
    // Compiled first: nothing goes to the module from a setup that does not compile.
    if (!image->open())
        return cliFail(QStringLiteral("cannot use %1").arg(shown),
                       QStringLiteral("cannot create a temporary file: %1").arg(image->errorString()));
    image->close();
    if (!model.writeRawImage(image->fileName())) {
        const QString why = model.imageError().isEmpty() ? QStringLiteral("unknown error") : model.imageError();
        return cliFail(QStringLiteral("cannot compile %1").arg(shown), why);
    }
    *calName = kelda::upload::unpaddedName(model.fileName());
    return 0;
}

QTemporaryFile *newImageFile()
{
    return new QTemporaryFile(QDir::tempPath() + QStringLiteral("/kelda-cli-upload-XXXXXX.bin"));
}

int runPorts(const QStringList &args)
{
    if (wantsHelp(args)) {
        cliOut() << "usage: " << kPortsUsage << Qt::endl;
        return 0;
    }
    if (!args.isEmpty())
        return cliUsageError(QStringLiteral("ports takes no arguments"));
    for (const QString &name : UploadDriver::portNames())
        cliOut() << name << '\n';
    cliOut().flush();
    return 0;
}

int runUpload(const QStringList &args)
{
    if (wantsHelp(args)) {
        cliOut() << "usage: " << kUploadUsage << Qt::endl;
        return 0;
    }
    EcuArgs a;
    if (const int rc = parseArgs(args, QStringLiteral("--backup"), true, true, &a))
        return rc;
    const QString shown = QDir::toNativeSeparators(a.file);
    if (!a.output.isEmpty()) {
        const QString clash = clashingInput(a.output, QStringList{a.file} + portDevices(a.port));
        if (!clash.isEmpty())
            return cliFail(QStringLiteral("cannot back up into %1").arg(a.output),
                           QStringLiteral("it is %1, an input of this upload").arg(clash));
    }
    std::unique_ptr<QTemporaryFile> image(newImageFile());
    UploadDriver::Options options;
    if (const int rc = compileSetup(a.file, image.get(), &options.calName, true))
        return rc;

    options.task = UploadDriver::Task::Upload;
    options.port = a.port;
    options.imagePath = image->fileName();
    options.outputPath = a.output;
    options.intLogSetupOk = a.yes;
    options.timeoutSeconds = a.timeout;
    UploadDriver driver(options);
    printLog(driver);
    if (!driver.run())
        return cliFail(QStringLiteral("upload of %1 to %2 failed").arg(shown, a.port), driver.failure());
    return 0;
}

int runRead(const QStringList &args)
{
    if (wantsHelp(args)) {
        cliOut() << "usage: " << kReadUsage << Qt::endl;
        return 0;
    }
    EcuArgs a;
    if (const int rc = parseArgs(args, QStringLiteral("-o"), false, false, &a))
        return rc;
    if (a.output.isEmpty())
        return cliUsageError(QStringLiteral("missing -o FILE"));
    const QString clash = clashingInput(a.output, portDevices(a.port));
    if (!clash.isEmpty())
        return cliFail(QStringLiteral("cannot read into %1").arg(a.output), QStringLiteral("it is the port %1").arg(clash));

    UploadDriver::Options options;
    options.task = UploadDriver::Task::Read;
    options.port = a.port;
    options.outputPath = a.output;
    options.timeoutSeconds = a.timeout;
    UploadDriver driver(options);
    printLog(driver);
    if (!driver.run())
        return cliFail(QStringLiteral("cannot read the calibration on %1 into %2").arg(a.port, a.output), driver.failure());
    return 0;
}

int runRestore(const QStringList &args)
{
    if (wantsHelp(args)) {
        cliOut() << "usage: " << kRestoreUsage << Qt::endl;
        return 0;
    }
    EcuArgs a;
    if (const int rc = parseArgs(args, QString(), true, true, &a))
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

    options.task = UploadDriver::Task::Restore;
    options.port = a.port;
    options.intLogSetupOk = a.yes;
    options.timeoutSeconds = a.timeout;
    UploadDriver driver(options);
    printLog(driver);
    if (!driver.run())
        return cliFail(QStringLiteral("restore of %1 to %2 failed").arg(shown, a.port), driver.failure());
    return 0;
}

int runVerify(const QStringList &args)
{
    if (wantsHelp(args)) {
        cliOut() << "usage: " << kVerifyUsage << Qt::endl;
        return 0;
    }
    EcuArgs a;
    if (const int rc = parseArgs(args, QString(), true, false, &a))
        return rc;
    const QString shown = QDir::toNativeSeparators(a.file);
    std::unique_ptr<QTemporaryFile> image(newImageFile());
    UploadDriver::Options options;
    if (const int rc = compileSetup(a.file, image.get(), &options.calName, false))
        return rc;
    options.task = UploadDriver::Task::Verify;
    options.port = a.port;
    options.imagePath = image->fileName();
    options.timeoutSeconds = a.timeout;
    UploadDriver driver(options);
    printLog(driver);
    if (driver.run())
        return 0;
    if (driver.differs())
        return cliFail(QStringLiteral("the module on %1 does not hold %2").arg(a.port, shown), driver.failure());
    return cliFail(QStringLiteral("cannot verify %1 on %2").arg(shown, a.port), driver.failure());
}

CliCommand portsCommand("ports", kPortsUsage, &runPorts);
CliCommand uploadCommand("upload", kUploadUsage, &runUpload);
CliCommand readCommand("read", kReadUsage, &runRead);
CliCommand restoreCommand("restore", kRestoreUsage, &runRestore);
CliCommand verifyCommand("verify", kVerifyUsage, &runVerify);

} // namespace
