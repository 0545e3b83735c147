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

QString noRuneText()
{
    corla::String folders;
    CORLA_Setup_GetRuneFolders(folders.get());
    QString text = QStringLiteral("RUNE file is not installed for this ECU.\n");
    if (folders.text().isEmpty())
        return text + QStringLiteral("No folder is set up for RUNE files.");
    return text + QStringLiteral("Copy the module's RUNE file into one of these folders:\n") + folders.text();
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

namespace {

// A new calibration for the connected module, if it is one we write to.
PreparedUpload checkModule(const corla::Ecu &ecu)
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
    prepared.result = PreparedUpload::Result::Ready;
    return prepared;
}

}  // namespace

PreparedUpload prepareRestore(const corla::Ecu &ecu, const QByteArray &calibration)
{
    PreparedUpload prepared = checkModule(ecu);
    if (prepared.result != PreparedUpload::Result::Ready)
        return prepared;
    if (calibration.isEmpty() || prepared.cal.writeRawData(0, calibration) != 0) {
        prepared.result = PreparedUpload::Result::WriteFailed;
        prepared.detail = calibration.isEmpty()
            ? QStringLiteral("The calibration file is empty.")
            : QStringLiteral("The calibration (%1 bytes) does not fit into the calibration of this module.")
                  .arg(calibration.size());
    }
    return prepared;
}

PreparedUpload prepareCalibration(const corla::Ecu &ecu, const QByteArray &calName, const QString &imagePath)
{
    PreparedUpload prepared = checkModule(ecu);
    if (prepared.result != PreparedUpload::Result::Ready)
        return prepared;
    QFile image(imagePath);
    if (!image.open(QIODevice::ReadOnly)) {
        prepared.result = PreparedUpload::Result::ImageUnreadable;
        prepared.detail = QStringLiteral("Cannot read the image file %1: %2").arg(imagePath, image.errorString());
        return prepared;
    }
    const QByteArray bytes = image.readAll();
    image.close();
    return prepareCalibration(ecu, calName, bytes);
}

PreparedUpload prepareCalibration(const corla::Ecu &ecu, const QByteArray &calName, const QByteArray &bytes)
{
    PreparedUpload prepared = checkModule(ecu);
    if (prepared.result != PreparedUpload::Result::Ready)
        return prepared;
    const corla::Rune rune = ecu.rune();
    const uint32_t nameAddress = rune.calNameAddress();
    const uint16_t nameSize = rune.calNameSize();
    const QByteArray nameField = runeNameField(calName, nameSize);
    if ((!nameField.isEmpty() && prepared.cal.writeRawData(nameAddress, nameField) != 0)
        || prepared.cal.writeRawData(imageAddress(nameAddress, nameSize), bytes) != 0) {
        prepared.result = PreparedUpload::Result::WriteFailed;
        prepared.detail =
            QStringLiteral("The image (%1 bytes) does not fit into the calibration of this module.").arg(bytes.size());
        return prepared;
    }
    prepared.result = PreparedUpload::Result::Ready;
    return prepared;
}

OfflineCalibration offlineCalibration(const QByteArray &calName, const QByteArray &image)
{
    OfflineCalibration out;
    corla::String path;
    corla::String info;
    if (CORLA_Setup_LocateRune(path.get(), kSeriesModuleWord, kSeriesFirmwareWord, info.get()) == 0) {
        out.detail = info.text();
        return out;
    }
    corla::Rune rune;
    if (rune.load(path.text()) != 0) {
        out.detail = QStringLiteral("the RUNE file %1 cannot be read: %2")
                         .arg(path.text(), corla::fromWide(CORLA_Rune_GetError(rune.get())));
        return out;
    }
    corla::Ecu ecu(CORLA_Ecu_Create());
    CORLA_Ecu_SetRune(ecu.get(), rune.get());
    const corla::Cal cal = ecu.newCalibration();
    const uint32_t nameAddress = rune.calNameAddress();
    const uint16_t nameSize = rune.calNameSize();
    const QByteArray nameField = runeNameField(calName, nameSize);
    if (cal.isNull() || (!nameField.isEmpty() && cal.writeRawData(nameAddress, nameField) != 0)
        || cal.writeRawData(imageAddress(nameAddress, nameSize), image) != 0) {
        out.detail = QStringLiteral("the image (%1 bytes) does not fit into the calibration of %2 %3")
                         .arg(image.size())
                         .arg(rune.name(), rune.version());
        return out;
    }
    out.made = true;
    out.rune = rune.name() + QLatin1Char(' ') + rune.version();
    out.length = CORLA_ICal_GetDataEnd(cal.get());
    out.crc = cal.crc32();
    return out;
}

void recordModule(corla::BasicEcuMediator &mediator, kelda::history::Entry *entry)
{
    uint32_t module = 0;
    uint32_t firmware = 0;
    if (!mediator.identity(&module, &firmware))
        return;
    const auto word = [](uint32_t w) {
        return QStringLiteral("0x") + QStringLiteral("%1").arg(w, 4, 16, QLatin1Char('0')).toUpper();
    };
    entry->moduleWord = word(module);
    entry->firmwareWord = word(firmware);
    const corla::Ecu ecu(mediator.ecu());
    const corla::Rune rune = ecu.rune();
    if (!rune.isNull())
        entry->rune = rune.name() + QLatin1Char(' ') + rune.version();
}

}  // namespace kelda::upload
