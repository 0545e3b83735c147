#include "atomicfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace kelda::fileio {

namespace {

QString reason(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

bool writeAll(int fd, const char *data, qsizetype size, int *err)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *err = errno;
            return false;
        }
        if (n == 0) {
            *err = ENOSPC;
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

// What reached the file is what we meant to write.
bool readsBack(int fd, const QByteArray &bytes, int *err)
{
    struct stat st { };
    if (::fstat(fd, &st) != 0) {
        *err = errno;
        return false;
    }
    if (st.st_size != bytes.size()) {
        *err = EIO;
        return false;
    }
    QByteArray back(bytes.size(), Qt::Uninitialized);
    qsizetype done = 0;
    while (done < back.size()) {
        const ssize_t n = ::pread(fd, back.data() + done, size_t(back.size() - done), off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *err = n < 0 ? errno : EIO;
            return false;
        }
        done += n;
    }
    if (back != bytes) {
        *err = EIO;
        return false;
    }
    return true;
}

// The file a path names once every link is followed; for a path that does
// not exist yet, its canonical folder and its name. Links are followed by
// hand so that a dangling one still leads to where a write would go.
QString resolvedPath(const QString &path)
{
    QString p = QFileInfo(path).absoluteFilePath();
    for (int hops = 0; hops < 40; ++hops) {
        const QFileInfo info(p);
        if (info.exists())
            return info.canonicalFilePath();
        if (!info.isSymLink())
            break;
        p = info.symLinkTarget();
    }
    const QFileInfo info(p);
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    return (folder.isEmpty() ? QDir::cleanPath(info.absolutePath()) : folder) + QLatin1Char('/') + info.fileName();
}

// The folder of a path as the user wrote it: "out" for "out/x.bin", "." for "x.bin".
QString folderOf(const QString &path)
{
    return QFileInfo(path).path();
}

// Why nothing can be written into the folder that would hold path (shown),
// or an empty text when it can.
QString folderProblem(const QByteArray &folder, const QString &shown)
{
    struct stat st { };
    if (::stat(folder.constData(), &st) != 0) {
        const int err = errno;
        if (err == ENOENT)
            return QStringLiteral("the folder %1 does not exist").arg(shown);
        if (err == ENOTDIR)
            return QStringLiteral("%1 is not a folder").arg(shown);
        return QStringLiteral("the folder %1 cannot be reached: %2").arg(shown, reason(err));
    }
    if (!S_ISDIR(st.st_mode))
        return QStringLiteral("%1 is not a folder").arg(shown);
    if (::access(folder.constData(), W_OK | X_OK) != 0)
        return QStringLiteral("the folder %1 cannot be written: %2").arg(shown, reason(errno));
    return QString();
}

// Where a write of path goes, and why it cannot, before anything is written.
struct Target {
    QString resolved;  // the file itself, links followed
    QString shownFolder;  // its folder as the user knows it
    bool exists = false;
    struct stat old { };
};

QString checkTarget(const QString &path, Target *t)
{
    if (path.isEmpty())
        return QStringLiteral("no file name");
    t->resolved = resolvedPath(path);
    // A link's target may live elsewhere; its folder is then named as resolved.
    t->shownFolder = QFileInfo(path).isSymLink() ? QFileInfo(t->resolved).path() : folderOf(path);
    const QByteArray targetName = QFile::encodeName(t->resolved);
    t->exists = ::stat(targetName.constData(), &t->old) == 0;
    // Renaming over a device or a pipe would replace it with a plain file.
    if (t->exists && !S_ISREG(t->old.st_mode))
        return S_ISDIR(t->old.st_mode) ? QStringLiteral("it is a folder") : QStringLiteral("not a regular file");
    const QString folder = folderProblem(QFile::encodeName(QFileInfo(t->resolved).path()), t->shownFolder);
    if (!folder.isEmpty())
        return folder;
    // A rename would replace a read-only file as well; it is meant to stay.
    if (t->exists && ::access(targetName.constData(), W_OK) != 0)
        return QStringLiteral("the file cannot be written: %1").arg(reason(errno));
    return QString();
}

long nameLimit(const QByteArray &folder)
{
    const long limit = ::pathconf(folder.constData(), _PC_NAME_MAX);
    return limit > 0 ? limit : 255;
}

const char kTempTag[] = ".kelda-";

// ".NAME.kelda-": the start of every temporary name for this target. A name
// too long to take the rest is shortened and a hash of the whole added, so
// that the temporary name never exceeds the limit the target's keeps.
QByteArray temporaryPrefix(const QByteArray &name, long nameMax)
{
    // ".", the tag, a process id of up to 10 digits, "-" and 6 random letters.
    const qsizetype room = nameMax - 1 - qsizetype(sizeof kTempTag - 1) - 10 - 1 - 6;
    QByteArray shortName = name;
    if (shortName.size() > room) {
        quint32 hash = 2166136261u;  // FNV-1a: stable from run to run
        for (const char c : name)
            hash = (hash ^ quint8(c)) * 16777619u;
        shortName =
            name.left(std::max<qsizetype>(0, room - 9)) + '~' + QByteArray::number(hash, 16).rightJustified(8, '0');
    }
    return '.' + shortName + kTempTag;
}

bool processRuns(qint64 pid)
{
    return pid > 0 && pid <= std::numeric_limits<pid_t>::max() && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

// Removes what a killed writer of this target left: our own pattern only,
// and only when its process is gone or the file is older than an hour.
void removeStaleTemporaries(const QByteArray &folder, const QByteArray &prefix)
{
    DIR *dir = ::opendir(folder.constData());
    if (!dir)
        return;
    const time_t now = ::time(nullptr);
    while (const dirent *e = ::readdir(dir)) {
        const QByteArray name(e->d_name);
        if (!name.startsWith(prefix))
            continue;
        const QByteArray rest = name.mid(prefix.size());  // PID-XXXXXX
        const qsizetype dash = rest.indexOf('-');
        bool ok = false;
        const qint64 pid = rest.left(dash).toLongLong(&ok);
        if (dash < 1 || !ok || rest.size() - dash - 1 != 6)
            continue;
        struct stat st { };
        const QByteArray full = folder + '/' + name;
        if (::lstat(full.constData(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        const bool old = now - st.st_mtime > 3600;
        if (old || (pid != ::getpid() && !processRuns(pid)))
            ::unlink(full.constData());
    }
    ::closedir(dir);
}

}  // namespace

bool checkOutput(const QString &path, QString *reasonOut)
{
    Target t;
    const QString why = checkTarget(path, &t);
    if (reasonOut)
        *reasonOut = why;
    return why.isEmpty();
}

bool writeAtomically(const QString &path, const QByteArray &bytes, QString *error, QString *reasonOut)
{
    auto fail = [&](const QString &why) {
        if (error)
            *error = QStringLiteral("cannot write %1: %2").arg(path, why);
        if (reasonOut)
            *reasonOut = why;
        return false;
    };
    Target t;
    if (const QString why = checkTarget(path, &t); !why.isEmpty())
        return fail(why);
    const QFileInfo targetInfo(t.resolved);
    const QByteArray folder = QFile::encodeName(targetInfo.absolutePath());
    const QByteArray targetName = QFile::encodeName(t.resolved);

    const QByteArray prefix = temporaryPrefix(QFile::encodeName(targetInfo.fileName()), nameLimit(folder));
    removeStaleTemporaries(folder, prefix);
    QByteArray temp = folder + '/' + prefix + QByteArray::number(qint64(::getpid())) + "-XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return fail(QStringLiteral("the folder %1 cannot be written: %2").arg(t.shownFolder, reason(errno)));
    int err = 0;
    auto abandon = [&](const QString &why) {
        ::close(fd);
        ::unlink(temp.constData());
        return fail(why);
    };
    // The new file keeps the old one's permissions; a new one gets the usual ones.
    mode_t mode = 0;
    if (t.exists) {
        mode = t.old.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    if (::fchmod(fd, mode) != 0) {
        err = errno;
        return abandon(QStringLiteral("its permissions cannot be set: %1").arg(reason(err)));
    }
    if (!writeAll(fd, bytes.constData(), bytes.size(), &err))
        return abandon(reason(err));
    if (::fsync(fd) != 0) {
        err = errno;
        return abandon(reason(err));
    }
    if (!readsBack(fd, bytes, &err))
        return abandon(QStringLiteral("the file does not read back as written: %1").arg(reason(err)));
    if (::close(fd) != 0) {
        err = errno;
        ::unlink(temp.constData());
        return fail(reason(err));
    }
    if (::rename(temp.constData(), targetName.constData()) != 0) {
        err = errno;
        ::unlink(temp.constData());
        return fail(QStringLiteral("cannot replace the file: %1").arg(reason(err)));
    }
    // The rename is durable only once the folder is synced too; some file
    // systems cannot sync a folder (EINVAL), the file itself already is.
    const int dirFd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        const int rc = ::fsync(dirFd);
        err = errno;
        ::close(dirFd);
        if (rc != 0 && err != EINVAL)
            return fail(QStringLiteral("the file is written, but its folder cannot be synced: %1").arg(reason(err)));
    }
    return true;
}

bool sameFile(const QString &a, const QString &b)
{
    if (a.isEmpty() || b.isEmpty())
        return false;
    struct stat sa {
    }, sb{};
    const bool haveA = ::stat(QFile::encodeName(a).constData(), &sa) == 0;
    const bool haveB = ::stat(QFile::encodeName(b).constData(), &sb) == 0;
    if (haveA && haveB)
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    return resolvedPath(a) == resolvedPath(b);
}

namespace {

// Standard input redirected from the file at output (`< tree.json`).
bool standardInputIs(const QString &output)
{
    struct stat in {
    }, out{};
    return ::fstat(STDIN_FILENO, &in) == 0 && S_ISREG(in.st_mode)
        && ::stat(QFile::encodeName(output).constData(), &out) == 0 && in.st_dev == out.st_dev
        && in.st_ino == out.st_ino;
}

}  // namespace

QString clashingInput(const QString &output, const QStringList &inputs)
{
    for (const QString &input : inputs)
        if (!input.isEmpty() && (sameFile(output, input) || (input == QLatin1String("-") && standardInputIs(output))))
            return input;
    return QString();
}

bool readInput(const QString &path, qint64 maxBytes, QByteArray *bytes, QString *reasonOut)
{
    auto fail = [reasonOut](const QString &why) {
        if (reasonOut)
            *reasonOut = why;
        return false;
    };
    int fd = STDIN_FILENO;
    const bool standardInput = path == QLatin1String("-");
    if (!standardInput) {
        const QByteArray name = QFile::encodeName(path);
        // Checked before opening: opening a device may act on it, and a pipe
        // blocks until a writer comes.
        struct stat st { };
        if (::stat(name.constData(), &st) != 0)
            return fail(reason(errno));
        if (!S_ISREG(st.st_mode))
            return fail(S_ISDIR(st.st_mode) ? QStringLiteral("it is a folder") : QStringLiteral("not a regular file"));
        // Non-blocking, and checked again on the open file, in case the path
        // was replaced in between.
        fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return fail(reason(errno));
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            return fail(QStringLiteral("not a regular file"));
        }
        if (st.st_size > maxBytes) {
            ::close(fd);
            return fail(QStringLiteral("larger than %1").arg(sizeText(maxBytes)));
        }
    }
    QByteArray data;
    // One byte more than allowed shows an input that is too large.
    const qint64 cap = maxBytes + 1;
    qint64 have = 0;
    int err = 0;
    for (;;) {
        if (data.size() - have < 65536)
            data.resize(qsizetype(std::min<qint64>(cap, std::max<qint64>(2 * data.size(), have + 65536))));
        const qint64 room = qint64(data.size()) - have;
        if (room <= 0)
            break;
        const ssize_t n = ::read(fd, data.data() + have, size_t(room));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            err = errno;
            break;
        }
        if (n == 0)
            break;
        have += n;
    }
    if (!standardInput)
        ::close(fd);
    if (err != 0)
        return fail(reason(err));
    if (have > maxBytes)
        return fail(QStringLiteral("larger than %1").arg(sizeText(maxBytes)));
    data.resize(qsizetype(have));
    *bytes = std::move(data);
    return true;
}

QString sizeText(qint64 bytes)
{
    constexpr qint64 kKiB = 1024, kMiB = 1024 * 1024;
    if (bytes >= kMiB && bytes % kMiB == 0)
        return QStringLiteral("%1 MiB").arg(bytes / kMiB);
    if (bytes >= kKiB && bytes % kKiB == 0)
        return QStringLiteral("%1 KiB").arg(bytes / kKiB);
    return QStringLiteral("%1 bytes").arg(bytes);
}

}  // namespace kelda::fileio
