// A real lx2-emulator on a pseudo-terminal of its own, and the environment
// that makes the ECU library see only the ports and RUNE files a test names.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

namespace kelda::test {

class EmulatorProcess
{
public:
    EmulatorProcess() = default;
    // Starts at once; path() stays empty when the emulator did not come up.
    explicit EmulatorProcess(const QStringList &args, qint64 fileSizeLimit = -1) { start(args, fileSizeLimit); }
    EmulatorProcess(const EmulatorProcess &) = delete;
    EmulatorProcess &operator=(const EmulatorProcess &) = delete;
    ~EmulatorProcess() { stop(); }

    // Starts the emulator with these options; the path of its terminal is
    // the first line it prints. fileSizeLimit >= 0: like a full disk, no file
    // of the emulator grows past it (RLIMIT_FSIZE: writes fail with EFBIG,
    // for root as well).
    bool start(const QStringList &args, qint64 fileSizeLimit = -1);
    void stop();

    QString path() const { return path_; }
    // The lines it printed after the path, as far as they have arrived (with
    // --stats, one per COMMIT); the event loop brings in more, so wait with QTRY.
    QStringList printedLines();

private:
    QProcess process_;
    QString path_;
    QStringList printed_;
};

// No system ports, no ports file, the installed RUNE files and the tests' own
// (tests/data/ecu/runes-lower), settings in configDir.
void isolateCorla(const QString &configDir);

// The ports the library lists, in this order.
void setPorts(const QStringList &paths);

}  // namespace kelda::test
