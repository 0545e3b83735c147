#include "setupexport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <fcntl.h>
#include <unistd.h>

#include "imageformat.h"
#include "pmmodel.h"

namespace kelda::image {

namespace {

// After a rename the folder entry itself must reach the disk too.
void syncFolder(const QString &folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

bool fail(QString *error, const QString &why)
{
    if (error)
        *error = why;
    return false;
}

} // namespace

QByteArray calibrationName(const QString &setupPath)
{
    QByteArray name = QFileInfo(setupPath).fileName().toLatin1().left(kCalNameSize);
    while (name.size() < kCalNameSize)
        name.append(kCalNamePad);
    return name;
}

bool exportSetup(PMModel &model, const QString &calFile, QString *error)
{
    const QFileInfo calInfo(calFile);
    const QString folder = calInfo.absolutePath();
    const QString rawPath = folder + QLatin1Char('/') + QLatin1String(kRawImageFileName);

    if (!model.writeRawImage(rawPath))
        return fail(error, QStringLiteral("the setup cannot be compiled: %1").arg(model.imageError()));

    QFile raw(rawPath);
    if (!raw.open(QIODevice::ReadOnly))
        return fail(error, QStringLiteral("cannot read %1: %2").arg(QDir::toNativeSeparators(rawPath),
                                                                    raw.errorString()));
    const QByteArray image = raw.readAll();
    if (raw.error() != QFileDevice::NoError)
        return fail(error, QStringLiteral("cannot read %1: %2").arg(QDir::toNativeSeparators(rawPath),
                                                                    raw.errorString()));
    raw.close();

    // Patch a copy and replace the file atomically: a failure half-way must
    // not leave a calibration that is neither the old one nor the new one.
    // The file is replaced by rename, which a read-only file would not stop.
    if (calInfo.exists() && !calInfo.isWritable())
        return fail(error, QStringLiteral("cannot write %1: the file is read-only").arg(QDir::toNativeSeparators(calFile)));

    QByteArray cal;
    if (calInfo.exists()) {
        QFile existing(calFile);
        if (!existing.open(QIODevice::ReadOnly))
            return fail(error, QStringLiteral("cannot read %1: %2").arg(QDir::toNativeSeparators(calFile),
                                                                        existing.errorString()));
        cal = existing.readAll();
        if (existing.error() != QFileDevice::NoError)
            return fail(error, QStringLiteral("cannot read %1: %2").arg(QDir::toNativeSeparators(calFile),
                                                                        existing.errorString()));
    }
    const qsizetype end = kCalImageOffset + image.size();
    if (cal.size() < end)
        cal.append(QByteArray(end - cal.size(), '\0'));
    cal.replace(kCalNameOffset, kCalNameSize, calibrationName(model.fileName()));
    cal.replace(kCalImageOffset, image.size(), image);

    QSaveFile out(calFile);
    if (!out.open(QIODevice::WriteOnly))
        return fail(error, QStringLiteral("cannot write %1: %2").arg(QDir::toNativeSeparators(calFile),
                                                                     out.errorString()));
    if (out.write(cal) != cal.size() || !out.commit())
        return fail(error, QStringLiteral("cannot write %1: %2").arg(QDir::toNativeSeparators(calFile),
                                                                     out.errorString()));
    syncFolder(folder);
    return true;
}

} // namespace kelda::image
