// Export of the open setup into an LX2 calibration file: the raw image is
// compiled to "LX2Raw.bin" beside the calibration file, then the name field
// and the image are patched into a copy of the calibration file, which
// replaces it. The main window's export command and kelda-cli share this code.
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

#include "strata.h"

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

// Refuses a clash (exportClash), compiles the session's setup (saved at
// setupPath; empty when never saved), writes
// "LX2Raw.bin" and replaces calFile (created if missing; bytes outside the
// name field and the image are kept) by its patched copy, each through the
// one file writer. On failure returns false, leaves calFile byte for byte as
// it was and sets *error to the reason.
bool exportSetup(StoreSession session, const QString &setupPath, const QString &calFile, QString *error);

// What a calibration file written by the export holds: the setup's name as
// an upload sends it (the name field without its padding) and the image, cut
// to the length its own header gives (an export into a longer file leaves
// that file's older bytes behind it).
struct ExportedCalibration {
    QByteArray name;
    QByteArray image;
};
// Recognises the export's layout: a well-formed image header at the image's
// offset whose sections fit the file. Nothing when the file is not laid out
// so (a calibration read back from a module of another kind, any other file).
std::optional<ExportedCalibration> readExportedCalibration(const QByteArray &file);

// The setup name in an exported name field. The field pads a short name with
// '2', which a name can also hold. Setups are saved with the extension
// ".kelda", so a name shorter than the field is almost always one letter and
// ".kelda": trailing '2's are taken as padding when what is left ends in
// ".kelda", or when the field holds nothing else (a setup never saved);
// otherwise the field is the first 8 bytes of a longer name.
QByteArray nameFromExportField(const QByteArray &field);

}  // namespace kelda::image
