#include "setupexport.h"

#include <QDir>
#include <QFileInfo>

#include "atomicfile.h"
#include "imagecompiler.h"
#include "imageformat.h"
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

// The length of the image at `at` in data by its header, or -1 when the header
// and the sections it describes are not those of an image.
qsizetype imageLength(const QByteArray &data, qsizetype at)
{
    const QByteArray image = data.mid(at);
    bool ok = true;
    auto word = [&](int k) {
        bool fits = false;
        const int v = headerWord(image, k, &fits);
        ok = ok && fits;
        return v;
    };
    auto count = [&](int offset) {
        bool fits = false;
        const int v = readU8(image, offset, &fits);
        ok = ok && fits;
        return v;
    };
    int h[kHeaderWordCount];
    for (int k = 0; k < kHeaderWordCount; ++k)
        h[k] = word(k);
    if (!ok || h[0] != kHeaderSize || h[1] != kHeaderSize)
        return -1;
    for (int k = 2; k < kHeaderWordCount; ++k)
        if (h[k] < h[k - 1])
            return -1;
    // Sections of fixed records must be exactly their count's size.
    const struct {
        int section, entry;
    } fixed[] = {{1, kTimerEntrySize},     {3, kCanInputEntrySize},   {4, kCanOutputEntrySize},
                 {7, kLx1OutputEntrySize}, {8, kIdentifierEntrySize}, {9, kIdentifierEntrySize}};
    for (const auto &f : fixed)
        if (h[f.section + 1] - h[f.section] != kCountSize + f.entry * count(h[f.section]))
            return -1;
    const int events = count(h[2]);
    const int states = count(h[6]);
    if (!ok || h[3] - h[2] < kCountSize + kOffsetSize * events || h[6] - h[5] < kOffsetSize * events
        || h[7] - h[6] < kCountSize + kOffsetSize * states)
        return -1;
    // Section 10 has no count: the module's options, then the PWM descriptors.
    const qsizetype length = h[10] + kOptionEntrySize * kOptionCount + kPwmDescriptorCount;
    return length <= image.size() ? length : -1;
}

}  // namespace

std::optional<ExportedCalibration> readExportedCalibration(const QByteArray &file)
{
    const qsizetype length = imageLength(file, kCalImageOffset);
    if (length < 0)
        return std::nullopt;
    return ExportedCalibration{nameFromExportField(file.mid(kCalNameOffset, kCalNameSize)),
                               file.mid(kCalImageOffset, length)};
}

QByteArray nameFromExportField(const QByteArray &field)
{
    qsizetype end = field.size();
    while (end > 0 && field[end - 1] == kCalNamePad)
        --end;
    if (end == 0)
        return QByteArray();
    for (qsizetype keep = field.size() - 1; keep >= end; --keep) {
        if (field.left(keep).toLower().endsWith(".kelda"))
            return field.left(keep);
    }
    return field;
}

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

bool exportSetup(StoreSession session, const QString &setupPath, const QString &calFile, QString *error)
{
    const QString clash = exportClash(setupPath, calFile);
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
    if (!compileImage(session, &image, &why))
        return fail(error, QStringLiteral("the setup cannot be compiled: %1").arg(why));
    if (!fileio::writeAtomically(rawPath, image, error))
        return false;

    const qsizetype end = kCalImageOffset + image.size();
    if (cal.size() < end)
        cal.append(QByteArray(end - cal.size(), '\0'));
    cal.replace(kCalNameOffset, kCalNameSize, exportNameField(setupPath));
    cal.replace(kCalImageOffset, image.size(), image);

    // Patched in memory, replaced whole: a failure leaves the old file as it
    // was, never a calibration that is neither the old one nor the new one.
    if (!fileio::writeAtomically(calFile, cal, error))
        return false;
    return true;
}

}  // namespace kelda::image
