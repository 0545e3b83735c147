#include "history.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonValue>
#include <QSysInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "settings.h"

namespace kelda::history {

namespace {

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

QJsonValue textOrNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

// An optional text field: absent or null reads as empty.
bool optionalText(const QJsonObject &object, const char *key, QString *out)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull()) {
        out->clear();
        return true;
    }
    if (!value.isString())
        return false;
    *out = value.toString();
    return true;
}

bool optionalNumber(const QJsonObject &object, const char *key, std::optional<uint32_t> *out)
{
    const QJsonValue value = object.value(QLatin1String(key));
    out->reset();
    if (value.isUndefined() || value.isNull())
        return true;
    const double n = value.toDouble(-1);
    if (!value.isDouble() || n < 0 || n > 4294967295.0 || n != double(qint64(n)))
        return false;
    *out = uint32_t(n);
    return true;
}

bool writeAll(int fd, const QByteArray &bytes)
{
    // One write() for the whole line: a process killed meanwhile leaves the
    // line whole or absent. A short write only happens on a full disk.
    ssize_t n;
    do
        n = ::write(fd, bytes.constData(), size_t(bytes.size()));
    while (n < 0 && errno == EINTR);
    if (n == bytes.size())
        return true;
    if (n >= 0)
        errno = ENOSPC;
    return false;
}

void syncFolder(const QString &folder)
{
    const int dir = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

}  // namespace

QString defaultPath()
{
    const auto settings = kelda::settings::open();
    return QFileInfo(settings->fileName()).absolutePath() + QStringLiteral("/history.jsonl");
}

Entry started(const QString &operation, const QString &via)
{
    Entry entry;
    entry.time = QDateTime::currentDateTimeUtc();
    entry.operation = operation;
    entry.via = via;
    entry.host = QSysInfo::machineHostName();
    return entry;
}

QString sha256Of(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

QString sha256OfFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file))
        return QString();
    return QString::fromLatin1(hash.result().toHex());
}

QJsonObject toJson(const Entry &entry)
{
    QJsonObject o;
    o.insert(QStringLiteral("time"), entry.time.toUTC().toString(Qt::ISODateWithMs));
    o.insert(QStringLiteral("operation"), entry.operation);
    o.insert(QStringLiteral("outcome"), entry.ok ? QStringLiteral("ok") : QStringLiteral("failed"));
    o.insert(QStringLiteral("reason"), textOrNull(entry.reason));
    o.insert(QStringLiteral("via"), textOrNull(entry.via));
    o.insert(QStringLiteral("host"), textOrNull(entry.host));
    o.insert(QStringLiteral("port"), textOrNull(entry.port));
    o.insert(QStringLiteral("module"), textOrNull(entry.moduleWord));
    o.insert(QStringLiteral("firmware"), textOrNull(entry.firmwareWord));
    o.insert(QStringLiteral("rune"), textOrNull(entry.rune));
    o.insert(QStringLiteral("crc"), entry.crc ? QJsonValue(crcText(*entry.crc)) : QJsonValue(QJsonValue::Null));
    o.insert(QStringLiteral("length"), entry.length ? QJsonValue(qint64(*entry.length)) : QJsonValue(QJsonValue::Null));
    o.insert(QStringLiteral("file"), textOrNull(entry.file));
    o.insert(QStringLiteral("sha256"), textOrNull(entry.sha256));
    o.insert(QStringLiteral("vehicle"), textOrNull(entry.vehicle));
    return o;
}

bool fromJson(const QJsonObject &o, Entry *entry)
{
    Entry e;
    e.time = QDateTime::fromString(o.value(QLatin1String("time")).toString(), Qt::ISODateWithMs);
    e.operation = o.value(QLatin1String("operation")).toString();
    const QString outcome = o.value(QLatin1String("outcome")).toString();
    if (!e.time.isValid() || e.operation.isEmpty()
        || (outcome != QLatin1String("ok") && outcome != QLatin1String("failed")))
        return false;
    e.time = e.time.toUTC();
    e.ok = outcome == QLatin1String("ok");
    QString crc;
    if (!optionalText(o, "reason", &e.reason) || !optionalText(o, "via", &e.via) || !optionalText(o, "host", &e.host)
        || !optionalText(o, "port", &e.port) || !optionalText(o, "module", &e.moduleWord)
        || !optionalText(o, "firmware", &e.firmwareWord) || !optionalText(o, "rune", &e.rune)
        || !optionalText(o, "crc", &crc) || !optionalNumber(o, "length", &e.length) || !optionalText(o, "file", &e.file)
        || !optionalText(o, "sha256", &e.sha256) || !optionalText(o, "vehicle", &e.vehicle))
        return false;
    if (!crc.isEmpty()) {
        e.crc = parseCrc(crc);
        if (!e.crc)
            return false;
    }
    *entry = e;
    return true;
}

bool append(const Entry &entry, QString *why, const QString &path)
{
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder)) {
        *why = QStringLiteral("cannot make the folder ") + folder;
        return false;
    }
    QByteArray line = QJsonDocument(toJson(entry)).toJson(QJsonDocument::Compact) + '\n';
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        *why = systemError();
        return false;
    }
    // A line cut short by an older crash keeps to itself, so that this one
    // still reads as a whole line.
    struct stat st { };
    const bool created = ::fstat(fd, &st) == 0 && st.st_size == 0;
    char last = '\n';
    if (st.st_size > 0 && ::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n')
        line.prepend('\n');
    bool ok = writeAll(fd, line) && ::fsync(fd) == 0;
    if (!ok)
        *why = systemError();
    if (::close(fd) != 0 && ok) {
        *why = systemError();
        ok = false;
    }
    if (ok && created)
        syncFolder(folder);  // the new file's name survives a power cut too
    return ok;
}

ReadResult read(const QString &path)
{
    ReadResult result;
    QFile file(path);
    if (!file.exists())
        return result;
    if (!file.open(QIODevice::ReadOnly)) {
        result.error = file.errorString();
        return result;
    }
    const QByteArray all = file.readAll();
    const QList<QByteArray> lines = all.split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        if (line.isEmpty())
            continue;
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
        Entry entry;
        if (error.error == QJsonParseError::NoError && doc.isObject() && fromJson(doc.object(), &entry)) {
            result.entries << entry;
            continue;
        }
        // Most likely a line cut short by a power cut or a full disk; the rest
        // of the history still counts.
        result.notes << QStringLiteral("line %1 of %2 is not a complete entry and was skipped")
                            .arg(i + 1)
                            .arg(QDir::toNativeSeparators(path));
    }
    return result;
}

std::optional<uint32_t> parseCrc(const QString &text)
{
    QString digits = text.trimmed();
    if (digits.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        digits = digits.mid(2);
    if (digits.isEmpty() || digits.size() > 8)
        return std::nullopt;
    bool ok = false;
    const uint value = digits.toUInt(&ok, 16);
    if (!ok)
        return std::nullopt;
    return uint32_t(value);
}

QString crcText(uint32_t crc)
{
    return QStringLiteral("%1").arg(crc, 8, 16, QLatin1Char('0'));
}

QList<Entry> withCrc(const QList<Entry> &entries, uint32_t crc)
{
    QList<Entry> out;
    for (const Entry &e : entries)
        if (e.crc == crc)
            out << e;
    return out;
}

std::optional<Entry> lastWritten(const QList<Entry> &entries, uint32_t crc)
{
    for (auto it = entries.crbegin(); it != entries.crend(); ++it) {
        const bool writes = it->operation == QLatin1String(kUpload) || it->operation == QLatin1String(kRestore);
        if (writes && it->ok && it->crc == crc)
            return *it;
    }
    return std::nullopt;
}

}  // namespace kelda::history
