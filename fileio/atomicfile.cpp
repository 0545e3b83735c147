#include "atomicfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
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

}  // namespace

bool writeAtomically(const QString &path, const QByteArray &bytes, QString *error, QString *reasonOut)
{
    const QString target = resolvedPath(path);
    auto fail = [&](const QString &why) {
        if (error)
            *error = QStringLiteral("cannot write %1: %2").arg(target, why);
        if (reasonOut)
            *reasonOut = why;
        return false;
    };
    const QFileInfo targetInfo(target);
    const QByteArray folder = QFile::encodeName(targetInfo.absolutePath());
    const QByteArray targetName = QFile::encodeName(target);
    // Renaming over a device or a pipe would replace it with a plain file.
    struct stat old { };
    const bool exists = ::stat(targetName.constData(), &old) == 0;
    if (exists && !S_ISREG(old.st_mode))
        return fail(S_ISDIR(old.st_mode) ? QStringLiteral("it is a folder") : QStringLiteral("not a regular file"));
    // A rename would replace a read-only file as well; it is meant to stay.
    if (exists && ::access(targetName.constData(), W_OK) != 0)
        return fail(reason(errno));

    QByteArray temp = folder + "/." + QFile::encodeName(targetInfo.fileName()) + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return fail(
            QStringLiteral("cannot create a temporary file in %1: %2").arg(targetInfo.absolutePath(), reason(errno)));
    int err = 0;
    auto abandon = [&](const QString &why) {
        ::close(fd);
        ::unlink(temp.constData());
        return fail(why);
    };
    // The new file keeps the old one's permissions; a new one gets the usual ones.
    mode_t mode = 0;
    if (exists) {
        mode = old.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    if (::fchmod(fd, mode) != 0) {
        err = errno;
        return abandon(QStringLiteral("cannot set the permissions of the temporary file: %1").arg(reason(err)));
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
            return fail(QStringLiteral("cannot sync its folder: %1").arg(reason(err)));
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
