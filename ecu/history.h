// The history of what went to and came from modules on this computer: every
// upload, read, restore and backup, by the window or kelda-cli, as one JSON
// line in history.jsonl beside the editor's settings. Appends survive the
// process being killed; a line cut short by an older crash is skipped when
// reading, never fatal.
#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace kelda::history {

struct Entry {
    QDateTime time;  // UTC
    QString operation;  // kUpload, kRead, kRestore, kBackup
    bool ok = false;
    QString reason;  // why it failed; empty on success
    QString via;  // "window" or "kelda-cli"
    QString host;  // the computer's name
    QString port;
    // What the module said it is (IDENTIFY), and the RUNE that describes it;
    // empty when it never answered.
    QString moduleWord;  // "0x4C32"
    QString firmwareWord;  // "0x3005"
    QString rune;  // "LX2 30v00"
    // The calibration written or read; absent when it never came to that.
    std::optional<uint32_t> crc;
    std::optional<uint32_t> length;
    QString file;  // the setup uploaded, or the calibration file read, written or restored
    QString sha256;  // of the file's bytes, lowercase hex; empty without a file
    QString vehicle;  // the user's tag, or empty
};

inline constexpr char kUpload[] = "upload";
inline constexpr char kRead[] = "read";
inline constexpr char kRestore[] = "restore";
inline constexpr char kBackup[] = "backup";

// $XDG_CONFIG_HOME/<organization>/history.jsonl: beside the settings file.
QString defaultPath();

// An entry with the time, host and `via` filled in.
Entry started(const QString &operation, const QString &via);

// SHA-256 of a file's bytes in lowercase hex; empty when it cannot be read.
QString sha256OfFile(const QString &path);
QString sha256Of(const QByteArray &bytes);

QJsonObject toJson(const Entry &entry);
// False when the object is not a history entry (a field missing or mistyped).
bool fromJson(const QJsonObject &object, Entry *entry);

// Appends one line: the file opened for appending, the line in one write(),
// then fsync. False (and why) when that fails; the caller goes on, since the
// history never stops an upload.
bool append(const Entry &entry, QString *why, const QString &path = defaultPath());

struct ReadResult {
    QList<Entry> entries;  // in the file's order, oldest first
    QStringList notes;  // one per line skipped
    QString error;  // the file exists but cannot be read
};
// A missing file is an empty history.
ReadResult read(const QString &path = defaultPath());

// "1a2b3c4d", "0x1A2B3C4D": the CRC-32; nullopt otherwise.
std::optional<uint32_t> parseCrc(const QString &text);
QString crcText(uint32_t crc);  // 8 lowercase hex digits

// Every entry for this calibration, oldest first.
QList<Entry> withCrc(const QList<Entry> &entries, uint32_t crc);
// The most recent successful upload or restore that wrote this calibration.
std::optional<Entry> lastWritten(const QList<Entry> &entries, uint32_t crc);

}  // namespace kelda::history
