// Export of the open setup into an LX2 calibration file: the raw image is
// compiled to "LX2Raw.bin" beside the calibration file, then the name field
// and the image are patched into a copy of the calibration file, which
// replaces it. The main window's export command and kelda-cli share this code.
#pragma once

#include <QByteArray>
#include <QString>

class PMModel;

namespace kelda::image {

// The exported file's 8-byte name field: the first 8 bytes of the file name
// (last path component) in Latin-1, padded with 0x32 ('2'). An upload pads with
// spaces to the RUNE's size instead (upload::runeNameField): each follows its
// own format, so keep them apart.
QByteArray exportNameField(const QString &setupPath);

// Why exporting the setup at setupPath (may be empty: never saved) into
// calFile would overwrite one of the export's own inputs or outputs: calFile
// is the setup, or is the "LX2Raw.bin" the export writes beside it, or that
// "LX2Raw.bin" is the setup. Empty when there is no clash.
QString exportClash(const QString &setupPath, const QString &calFile);

// Refuses a clash (exportClash), compiles the model's setup, writes
// "LX2Raw.bin" and replaces calFile (created if missing; bytes outside the
// name field and the image are kept) by its patched copy, each through the
// one file writer. On failure returns false, leaves calFile byte for byte as
// it was and sets *error to the reason.
bool exportSetup(PMModel &model, const QString &calFile, QString *error);

}  // namespace kelda::image
