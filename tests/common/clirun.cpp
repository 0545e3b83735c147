#include "clirun.h"

#include <QProcess>

#include "testpaths.h"

#include <csignal>
#include <sys/resource.h>

namespace kelda::test {

CliRun finishCli(QProcess &p, int timeoutMs)
{
    CliRun r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    if (p.exitStatus() == QProcess::NormalExit)
        r.exitCode = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

CliRun runCli(const QStringList &args, int timeoutMs)
{
    QProcess p;
    p.start(cliProgram(), args);
    return finishCli(p, timeoutMs);
}

CliRun runCliWith(const QStringList &args, const QByteArray &input, qint64 fileSizeLimit, int timeoutMs)
{
    QProcess p;
    if (fileSizeLimit >= 0)
        p.setChildProcessModifier([fileSizeLimit] {
            std::signal(SIGXFSZ, SIG_IGN);  // a write fails instead of ending the process
            const rlimit limit{rlim_t(fileSizeLimit), rlim_t(fileSizeLimit)};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        });
    p.start(cliProgram(), args);
    if (p.waitForStarted(timeoutMs)) {
        p.write(input);
        p.closeWriteChannel();
    }
    return finishCli(p, timeoutMs);
}

QStringList outputLines(const QByteArray &out)
{
    QStringList lines = QString::fromUtf8(out).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

}  // namespace kelda::test
