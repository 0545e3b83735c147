#include "setupexport.h"

#include <QDir>
#include <QFileInfo>

#include "atomicfile.h"
#include "imagecompiler.h"
#include "imageformat.h"
#include "pmmodel.h"
#include "strata.h"

namespace kelda::image {

namespace {

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

bool fail(QString *error, const QString &why)
{
    if (error)
        *error = why;
    return false;
}

// Beside the calibration file, spelt as the user spelt its folder.
QString rawImagePath(const QString &calFile)
{
    const QString folder = QFileInfo(calFile).path();
    return folder == QLatin1String(".") ? QLatin1String(kRawImageFileName)
                                        : folder + QLatin1Char('/') + QLatin1String(kRawImageFileName);
}

}  // namespace

QByteArray exportNameField(const QString &setupPath)
{
    QByteArray name = QFileInfo(setupPath).fileName().toLatin1().left(kCalNameSize);
    while (name.size() < kCalNameSize)
        name.append(kCalNamePad);
    return name;
}

QString exportClash(const QString &setupPath, const QString &calFile)
{
    const QString rawPath = rawImagePath(calFile);
    if (fileio::sameFile(calFile, setupPath))
        return QStringLiteral("%1 is the setup being exported").arg(shown(calFile));
    if (QFileInfo(calFile).fileName() == QLatin1String(kRawImageFileName) || fileio::sameFile(calFile, rawPath))
        return QStringLiteral("%1 is the raw image file %2 that the export writes beside the calibration file")
            .arg(shown(calFile), QLatin1String(kRawImageFileName));
    if (fileio::sameFile(rawPath, setupPath))
        return QStringLiteral("%1, which the export writes beside the calibration file, is the setup being exported")
            .arg(shown(rawPath));
    return QString();
}

bool exportSetup(PMModel &model, const QString &calFile, QString *error)
{
    const QString clash = exportClash(model.fileName(), calFile);
    if (!clash.isEmpty())
        return fail(error, clash);
    const QString rawPath = rawImagePath(calFile);

    // The old calibration first: one that cannot be read is not replaced.
    // Bytes outside the name field and the image are kept, so it is read
    // whole; a calibration is small, the setup file's limit is ample.
    QByteArray cal;
    if (QFileInfo::exists(calFile)) {
        QString why;
        if (!fileio::readInput(calFile, STRATA_MAX_FILE_SIZE, &cal, &why))
            return fail(error, QStringLiteral("cannot read %1: %2").arg(shown(calFile), why));
    }

    // Compiled as writeRawImage does; a failed write is reported as such.
    QByteArray image;
    QString why;
    if (!compileImage(model.session(), &image, &why))
        return fail(error, QStringLiteral("the setup cannot be compiled: %1").arg(why));
    if (!fileio::writeAtomically(rawPath, image, error))
        return false;

    const qsizetype end = kCalImageOffset + image.size();
    if (cal.size() < end)
        cal.append(QByteArray(end - cal.size(), '\0'));
    cal.replace(kCalNameOffset, kCalNameSize, exportNameField(model.fileName()));
    cal.replace(kCalImageOffset, image.size(), image);

    // Patched in memory, replaced whole: a failure leaves the old file as it
    // was, never a calibration that is neither the old one nor the new one.
    if (!fileio::writeAtomically(calFile, cal, error))
        return false;
    return true;
}

}  // namespace kelda::image
