// kelda-cli run as the real program, to its end.
#pragma once

#include <QByteArray>
#include <QStringList>

class QProcess;

namespace kelda::test {

struct CliRun {
    int exitCode = -1;  // -1: it crashed or did not finish in time
    QByteArray out;
    QByteArray err;
};

// Runs kelda-cli with these arguments in the test's environment.
CliRun runCli(const QStringList &args, int timeoutMs = 60000);

// Runs kelda-cli with `input` on its standard input (then closed) and, when
// fileSizeLimit is not negative, no file growing past that many bytes
// (RLIMIT_FSIZE: a write fails with EFBIG as on a full disk, for root too).
CliRun runCliWith(const QStringList &args, const QByteArray &input, qint64 fileSizeLimit = -1, int timeoutMs = 60000);

// Waits for a started kelda-cli (or any program) and collects what it said;
// a process still running after timeoutMs is killed (exit code -1).
CliRun finishCli(QProcess &p, int timeoutMs = 60000);

// Standard output as lines, without the empty one after the last newline.
QStringList outputLines(const QByteArray &out);

}  // namespace kelda::test
