// What an upload writes and checks, shared by the upload dialog and kelda-cli,
// so that both send the module exactly the same calibration.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

#include "corla_basicecumediator.h"
#include "corla_handles.h"
#include "history.h"

namespace kelda::upload {

// Library completion code of a finished transaction and the statuses we act on.
inline constexpr int kCodeFinished = 2;
inline constexpr int kStatusOk = 0;
inline constexpr int kStatusNoRune = 5;

// The message boxes of an upload: titles and texts as the user sees them.
inline constexpr char kNoRuneTitle[] = "No RUNE";
// "RUNE file is not installed for this ECU." and the folders RUNE files are
// looked for in, one a line.
QString noRuneText();
inline constexpr char kIncompatibleTitle[] = "Incompatible ECU";
inline constexpr char kCompleteTitle[] = "OK";
inline constexpr char kCompleteText[] = "Upload Complete";

// Only an LX2 with 3x firmware runs our images; case is not significant.
bool isCompatibleEcu(const QString &runeName, const QString &runeVersion);
QString incompatibleText(const QString &runeName, const QString &runeVersion);

// The module's name field: the name right-padded with spaces to the RUNE's
// name size, or cut to it. Not the exported file's field (8 bytes padded with
// '2', image::exportNameField): each follows its own format, so keep them apart.
QByteArray runeNameField(const QByteArray &name, int size);

// The name an upload sends, before runeNameField fits it: the setup's file
// name (with extension, without folder) in Latin-1, neither padded nor cut;
// empty for a setup never saved.
QByteArray unpaddedName(const QString &setupPath);

// Where the image goes: right behind the name field.
inline uint32_t imageAddress(uint32_t nameAddress, uint16_t nameSize)
{
    return nameAddress + nameSize;
}

// The calibration of an upload, written into the ECU's fresh calibration once
// the module has been checked.
struct PreparedUpload {
    enum class Result {
        Ready,  // cal holds name and image
        NoRune,  // the connected module has no RUNE
        Incompatible,  // not an LX2 with 3x firmware
        ImageUnreadable,  // the image file cannot be read
        WriteFailed,  // the calibration refused a write (e.g. too large for the module)
    };
    Result result = Result::NoRune;
    QString runeName;
    QString runeVersion;
    QString detail;  // what went wrong, for the log
    corla::Cal cal;
};

// The upload's checks and contents, in order: new calibration, RUNE name and
// version, the name field at the RUNE's name address, the image right behind it.
PreparedUpload prepareCalibration(const corla::Ecu &ecu, const QByteArray &calName, const QString &imagePath);
// The same with the image's bytes (a restored export).
PreparedUpload prepareCalibration(const corla::Ecu &ecu, const QByteArray &calName, const QByteArray &image);

// The same checks, then a calibration read back from a module (kelda-cli
// read) written whole from address 0.
PreparedUpload prepareRestore(const corla::Ecu &ecu, const QByteArray &calibration);

// The calibration an upload of a setup would write, made without a module:
// the installed RUNE of the LX2 series that KELDA uploads to gives the
// addresses, the ECU library lays out and checksums the calibration. Its
// CRC-32 is the one `kelda-cli verify` compares and the module reports after
// the upload. Which RUNE stands for the series:
//
//   module word | firmware word | RUNE found for it
//   0x4C32      | 0x3000        | "LX2 30v..." (runes/lx2-30v.rune)
//
// Assumed: every 3x firmware keeps the name and image at the addresses of 30v00.
inline constexpr uint32_t kSeriesModuleWord = 0x4C32;
inline constexpr uint32_t kSeriesFirmwareWord = 0x3000;

struct OfflineCalibration {
    bool made = false;  // false: no RUNE installed, or the image does not fit
    QString rune;  // "LX2 30v00" when made
    QString detail;  // why not made: where RUNE files were looked for, or what refused the image
    uint32_t length = 0;  // bytes an upload sends
    uint32_t crc = 0;  // their CRC-32
};
OfflineCalibration offlineCalibration(const QByteArray &calName, const QByteArray &image);

// The module's identity words (its last IDENTIFY through the mediator) and
// the RUNE it is connected with, into a history entry; left empty when the
// module never answered.
void recordModule(corla::BasicEcuMediator &mediator, kelda::history::Entry *entry);

}  // namespace kelda::upload
