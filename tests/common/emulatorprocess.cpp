#include "emulatorprocess.h"

#include <QDeadlineTimer>
#include <QFile>

#include "testenv.h"
#include "testpaths.h"

#include <sys/resource.h>

namespace kelda::test {

namespace {
// Generous: other builds may be loading the machine.
constexpr int kStartMs = 10000;
}  // namespace

bool EmulatorProcess::start(const QStringList &args, qint64 fileSizeLimit)
{
    process_.setProgram(emulatorProgram());
    process_.setArguments(args);
    process_.setProcessChannelMode(QProcess::SeparateChannels);
    if (fileSizeLimit >= 0)
        process_.setChildProcessModifier([fileSizeLimit] {
            const rlimit limit{rlim_t(fileSizeLimit), rlim_t(fileSizeLimit)};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        });
    process_.start();
    if (!process_.waitForStarted(kStartMs))
        return false;
    const QDeadlineTimer deadline(kStartMs);
    while (!process_.canReadLine() && !deadline.hasExpired())
        process_.waitForReadyRead(100);
    if (!process_.canReadLine())
        return false;
    path_ = QString::fromLocal8Bit(process_.readLine()).trimmed();
    return !path_.isEmpty();
}

QStringList EmulatorProcess::printedLines()
{
    while (process_.canReadLine())
        printed_ << QString::fromLocal8Bit(process_.readLine()).trimmed();
    return printed_;
}

void EmulatorProcess::stop()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.terminate();
    if (!process_.waitForFinished(3000)) {
        process_.kill();
        process_.waitForFinished(3000);
    }
}

void isolateCorla(const QString &configDir)
{
    qputenv("CORLA_NO_SYSTEM_PORTS", "1");
    qputenv("CORLA_EXTRA_PORTS", "");
    qputenv("CORLA_PORTS_FILE", QFile::encodeName(configDir + QStringLiteral("/no-ports-file")));
    qputenv("CORLA_RUNE_PATH",
            QFile::encodeName(runeFolder() + QLatin1Char(':') + dataFolder() + QStringLiteral("/ecu/runes-lower")));
    useConfigFolder(configDir);
}

void setPorts(const QStringList &paths)
{
    qputenv("CORLA_EXTRA_PORTS", QFile::encodeName(paths.join(QLatin1Char(':'))));
}

}  // namespace kelda::test
