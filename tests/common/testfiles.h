// Whole files in and out, and byte patterns to put in them.
#pragma once

#include <QByteArray>
#include <QString>

namespace kelda::test {

// The file's bytes; empty when it cannot be opened.
QByteArray readFile(const QString &path);

// Replaces the file's contents; false unless every byte was written.
bool writeFile(const QString &path, const QByteArray &bytes);

// A byte pattern that no two offsets share within 251 bytes, so shifted or
// truncated copies show.
QByteArray patternImage(int size, int seed = 7);

}  // namespace kelda::test
