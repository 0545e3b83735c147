// The image compiler without a file: what PMModel::writeRawImage writes, in
// memory, for those that only need the bytes or the size (setup checks,
// reports, comparisons).
#pragma once

#include <QByteArray>
#include <QString>

#include "strata.h"

namespace kelda::image {

// Compiles the setup of the session into *image. False with *error set when
// the setup cannot be represented; *size (when given) is then the size the
// image would have had, or -1 when the compiler stopped before the end.
bool compileImage(StoreSession session, QByteArray *image, QString *error, qsizetype *size = nullptr);

}  // namespace kelda::image
