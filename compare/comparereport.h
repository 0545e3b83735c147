// A comparison as text for people and as JSON for programs (docs/cli.md).
#pragma once

#include <QByteArray>
#include <QString>

#include "setupcompare.h"

namespace kelda::compare {

// Grouped by table: the table's name on a line, its differences indented
// below (notes as "note: ..."), then "Compiled images: ...". Setups that are
// the same give "The setups are the same." and the image line.
QString toText(const Comparison &comparison);

// One JSON document: { "format": "kelda-setup-diff", "version": 1, "old", "new",
// "same", "differences": [...], "image": {...} }, indented.
QByteArray toJson(const Comparison &comparison, const QString &oldName, const QString &newName);

}  // namespace kelda::compare
