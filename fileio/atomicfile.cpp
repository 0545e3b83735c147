#include "atomicfile.h"

#include <QFile>
#include <QFileInfo>

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
    struct stat st{};
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

} // namespace

bool writeAtomically(const QString &path, const QByteArray &bytes, QString *error)
{
    auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    // A link is followed, so the file it names is replaced, not the link.
    QFileInfo info(path);
    const QString target = info.isSymLink() ? info.symLinkTarget() : info.absoluteFilePath();
    const QFileInfo targetInfo(target);
    const QByteArray folder = QFile::encodeName(targetInfo.absolutePath());
    QByteArray temp = folder + "/." + QFile::encodeName(targetInfo.fileName()) + ".XXXXXX";

    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
        return fail(QStringLiteral("cannot create a temporary file in %1: %2")
                        .arg(targetInfo.absolutePath(), reason(errno)));
    int err = 0;
    auto abandon = [&](const QString &what) {
        ::close(fd);
        ::unlink(temp.constData());
        return fail(QStringLiteral("%1: %2").arg(what, reason(err)));
    };
    // The new file keeps the old one's permissions; a new one gets the usual ones.
    struct stat old{};
    mode_t mode = 0;
    if (::stat(QFile::encodeName(target).constData(), &old) == 0) {
        mode = old.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    if (::fchmod(fd, mode) != 0) {
        err = errno;
        return abandon(QStringLiteral("cannot set the permissions of the temporary file"));
    }
    if (!writeAll(fd, bytes.constData(), bytes.size(), &err))
        return abandon(QStringLiteral("cannot write %1").arg(target));
    if (::fsync(fd) != 0) {
        err = errno;
        return abandon(QStringLiteral("cannot write %1").arg(target));
    }
    if (!readsBack(fd, bytes, &err))
        return abandon(QStringLiteral("%1 does not read back as written").arg(target));
    if (::close(fd) != 0) {
        err = errno;
        ::unlink(temp.constData());
        return fail(QStringLiteral("cannot write %1: %2").arg(target, reason(err)));
    }
    if (::rename(temp.constData(), QFile::encodeName(target).constData()) != 0) {
        err = errno;
        ::unlink(temp.constData());
        return fail(QStringLiteral("cannot replace %1: %2").arg(target, reason(err)));
    }
    // The rename is durable only once the folder is synced too; some file
    // systems cannot sync a folder (EINVAL), the file itself already is.
    const int dirFd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY);
    if (dirFd >= 0) {
        const int rc = ::fsync(dirFd);
        err = errno;
        ::close(dirFd);
        if (rc != 0 && err != EINVAL)
            return fail(QStringLiteral("cannot sync the folder of %1: %2").arg(target, reason(err)));
    }
    return true;
}

bool sameFile(const QString &a, const QString &b)
{
    struct stat sa{}, sb{};
    if (::stat(QFile::encodeName(a).constData(), &sa) != 0 || ::stat(QFile::encodeName(b).constData(), &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

} // namespace kelda::fileio
