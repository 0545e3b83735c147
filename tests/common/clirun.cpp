#include "clirun.h"

#include <QProcess>

#include "testpaths.h"

namespace kelda::test {

CliRun runCli(const QStringList &args, int timeoutMs)
{
    QProcess p;
    p.start(cliProgram(), args);
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

QStringList outputLines(const QByteArray &out)
{
    QStringList lines = QString::fromUtf8(out).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

} // namespace kelda::test
