// Replacing a file so that a failure at any point leaves the old one
// byte-identical and a power loss after success cannot lose the new one.
#pragma once

#include <QByteArray>
#include <QString>

namespace kelda::fileio {

// Writes bytes to a temporary file in the folder of path, checks every write
// and reads the file back, syncs it, renames it over path and syncs the
// folder. On failure the temporary file is removed, path is untouched and
// error (may be null) receives the system's reason.
bool writeAtomically(const QString &path, const QByteArray &bytes, QString *error);

// True when both paths name the same existing file (links and different
// spellings included).
bool sameFile(const QString &a, const QString &b);

} // namespace kelda::fileio
