#include "uploadcalibration.h"

#include <QFile>
#include <QFileInfo>

namespace kelda::upload {

bool isCompatibleEcu(const QString &runeName, const QString &runeVersion)
{
    return runeName.startsWith(QLatin1String("LX2"), Qt::CaseInsensitive)
        && runeVersion.startsWith(QLatin1Char('3'), Qt::CaseInsensitive);
}

QString incompatibleText(const QString &runeName, const QString &runeVersion)
{
    return QStringLiteral("This ECU (") + runeName + QLatin1Char(' ') + runeVersion
        + QStringLiteral(") is not compatible with this version of KELDA.\n"
                         "If this is a LX2, please upgrade the firmware to 30v00 or later.");
}

QByteArray runeNameField(const QByteArray &name, int size)
{
    if (size <= 0)
        return QByteArray();
    QByteArray field = name.left(size);
    if (field.size() < size)
        field.append(QByteArray(size - field.size(), ' '));
    return field;
}

QByteArray unpaddedName(const QString &setupPath)
{
    if (setupPath.isEmpty())
        return QByteArray();
    return QFileInfo(setupPath).fileName().toLatin1();
}

PreparedUpload prepareCalibration(const corla::Ecu &ecu, const QByteArray &calName, const QString &imagePath)
{
    PreparedUpload prepared;
    ecu.newCalibration();
    prepared.cal = ecu.calibration().toCal();
    const corla::Rune rune = ecu.rune();
    if (rune.isNull()) {
        prepared.result = PreparedUpload::Result::NoRune;
        prepared.detail = QStringLiteral("The module has no RUNE.");
        return prepared;
    }
    prepared.runeName = rune.name();
    prepared.runeVersion = rune.version();
    if (!isCompatibleEcu(prepared.runeName, prepared.runeVersion)) {
        prepared.result = PreparedUpload::Result::Incompatible;
        prepared.detail = incompatibleText(prepared.runeName, prepared.runeVersion);
        return prepared;
    }

    const uint32_t nameAddress = rune.calNameAddress();
    const uint16_t nameSize = rune.calNameSize();
    QFile image(imagePath);
    if (!image.open(QIODevice::ReadOnly)) {
        prepared.result = PreparedUpload::Result::ImageUnreadable;
        prepared.detail = QStringLiteral("Cannot read the image file %1: %2").arg(imagePath, image.errorString());
        return prepared;
    }
    const QByteArray bytes = image.readAll();
    image.close();

    const QByteArray nameField = runeNameField(calName, nameSize);
    if ((!nameField.isEmpty() && prepared.cal.writeRawData(nameAddress, nameField) != 0)
        || prepared.cal.writeRawData(imageAddress(nameAddress, nameSize), bytes) != 0) {
        prepared.result = PreparedUpload::Result::WriteFailed;
        prepared.detail = QStringLiteral("The image (%1 bytes) does not fit into the calibration of this module.")
                              .arg(bytes.size());
        return prepared;
    }
    prepared.result = PreparedUpload::Result::Ready;
    return prepared;
}

} // namespace kelda::upload
