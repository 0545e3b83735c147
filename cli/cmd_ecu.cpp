// kelda-cli ports / upload: the upload dialog's work without a display.
#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>

#include "clicommand.h"
#include "pmmodel.h"

#include "uploadcalibration.h"
#include "uploaddriver.h"

namespace {

const char kPortsUsage[] = "kelda-cli ports";
const char kUploadUsage[] =
    "kelda-cli upload SETUP.kelda --port NAME [--yes] [--timeout SECONDS]";

bool wantsHelp(const QStringList &args)
{
    return args.contains(QLatin1String("--help")) || args.contains(QLatin1String("-h"));
}

int runPorts(const QStringList &args)
{
    if (wantsHelp(args)) {
        cliOut() << "usage: " << kPortsUsage << Qt::endl;
        return 0;
    }
    if (!args.isEmpty())
        return cliUsageError(QStringLiteral("ports takes no arguments"));
    for (const QString &name : kelda::upload::UploadDriver::portNames())
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
    QString setup;
    QString port;
    bool havePort = false;
    bool yes = false;
    int timeout = 0;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if (a == QLatin1String("--port")) {
            if (i + 1 >= args.size())
                return cliUsageError(QStringLiteral("--port needs a port name"));
            port = args.at(++i);
            havePort = true;
        } else if (a == QLatin1String("--timeout")) {
            bool ok = false;
            timeout = i + 1 < args.size() ? args.at(++i).toInt(&ok) : 0;
            if (!ok || timeout < 0)
                return cliUsageError(QStringLiteral("--timeout needs a number of seconds"));
        } else if (a == QLatin1String("--yes")) {
            yes = true;
        } else if (a.startsWith(QLatin1Char('-')) && a.size() > 1) {
            return cliUsageError(QStringLiteral("unknown option '%1'").arg(a));
        } else if (setup.isEmpty()) {
            setup = a;
        } else {
            return cliUsageError(QStringLiteral("too many file names"));
        }
    }
    if (setup.isEmpty())
        return cliUsageError(QStringLiteral("missing setup file name"));
    if (!havePort || port.isEmpty())
        return cliUsageError(QStringLiteral("missing --port NAME (see kelda-cli ports)"));

    const QString shown = QDir::toNativeSeparators(setup);
    if (!QFileInfo::exists(setup))
        return cliFail(QStringLiteral("cannot open %1").arg(shown), QStringLiteral("no such file"));
    PMModel model;
    if (!model.openSetup(setup)) {
        const QString why = model.lastError().isEmpty() ? QStringLiteral("not a setup file") : model.lastError();
        return cliFail(QStringLiteral("cannot open %1").arg(shown), why);
    }

    // Compiled first: nothing goes to the module from a setup that does not compile.
    QTemporaryFile image(QDir::tempPath() + QStringLiteral("/kelda-cli-upload-XXXXXX.bin"));
    if (!image.open())
        return cliFail(QStringLiteral("cannot upload %1").arg(shown),
                       QStringLiteral("cannot create a temporary file: %1").arg(image.errorString()));
    image.close();
    if (!model.writeRawImage(image.fileName())) {
        const QString why = model.imageError().isEmpty() ? QStringLiteral("unknown error") : model.imageError();
        return cliFail(QStringLiteral("cannot compile %1").arg(shown), why);
    }

    kelda::upload::UploadDriver::Options options;
    options.port = port;
    options.calName = kelda::upload::unpaddedName(model.fileName());
    options.imagePath = image.fileName();
    options.engineRunningOk = yes;
    options.intLogSetupOk = yes;
    options.timeoutSeconds = timeout;
    kelda::upload::UploadDriver driver(options);
    driver.onLog = [](const QString &line) { cliOut() << line << Qt::endl; };
    int lastTenth = -1;
    driver.onProgress = [&lastTenth](double fraction) {
        const int tenth = static_cast<int>(fraction * 10);
        if (tenth != lastTenth) {
            lastTenth = tenth;
            cliOut() << "progress: " << tenth * 10 << '%' << Qt::endl;
        }
    };
    if (!driver.run())
        return cliFail(QStringLiteral("upload of %1 to %2 failed").arg(shown, port), driver.failure());
    return 0;
}

CliCommand portsCommand("ports", kPortsUsage, &runPorts);
CliCommand uploadCommand("upload", kUploadUsage, &runUpload);

} // namespace
