// The store tree of a setup as JSON, both directions:
//   { "format": "kelda-setup-tree", "version": 1, "items": [ITEM, ...] }
//   ITEM = { "type": <item type>, "values": { "<value id>": VALUE, ... }, "children": [ITEM, ...] }
// Value kinds follow the width of each value id in the schema: text as a
// string of Latin-1 characters, the 8-byte mask block as 8 integers 0..255,
// one-byte ids as 0..255, 16-bit ids as 0..65535. Reference records are
// ordinary children of type 112.
#pragma once

#include <QByteArray>
#include <QString>

#include "strata.h"

namespace kelda {
class UniqueSession;
}

namespace kelda::setuptree {

inline constexpr char kFormat[] = "kelda-setup-tree";
inline constexpr int kVersion = 1;

// The whole session below its root, as an indented JSON document. False with
// *error set when a value in the store has a width the schema does not allow.
bool dump(StoreSession session, QByteArray *json, QString *error);

// A new session holding the tree of the JSON document. On any fault returns
// false with *error naming the JSON path of the offending element; *session
// is empty then.
bool load(const QByteArray &json, UniqueSession *session, QString *error);

// The file at latin1Path, as stored (without the editor's upgrade), dumped.
// False with *error; *opened says whether the store could open the file
// (*error is then the store's reason).
bool dumpFile(const QByteArray &latin1Path, QByteArray *json, QString *error, bool *opened);

// A setup file at latin1Path holding the tree of the JSON document. False
// with *error; *loaded says whether the document was sound (*error is then the
// store's reason for not saving).
bool loadFile(const QByteArray &json, const QByteArray &latin1Path, QString *error, bool *loaded);

}  // namespace kelda::setuptree
