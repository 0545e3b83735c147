// Export of the open setup into an LX2 calibration file: the raw image is
// compiled to "LX2Raw.bin" beside the calibration file, then the name field
// and the image are patched into the calibration file. The main window's
// export command and kelda-cli share this code.
#pragma once

#include <QByteArray>
#include <QString>

class PMModel;

namespace kelda::image {

// The exported file's 8-byte name field: the first 8 bytes of the file name
// (last path component) in Latin-1, padded with 0x32 ('2'). An upload pads with
// spaces to the RUNE's size instead (upload::runeNameField): each follows its
// own format, so keep them apart.
QByteArray calibrationName(const QString &setupPath);

// Compiles the model's setup and patches calFile (created if missing; bytes
// outside the name field and the image are kept). On failure returns false,
// leaves calFile as it was and sets *error to the reason.
bool exportSetup(PMModel &model, const QString &calFile, QString *error);

} // namespace kelda::image
