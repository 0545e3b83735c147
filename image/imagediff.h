// What differs between two compiled images — the one a module holds and the
// one the open setup compiles to — said by item. The module keeps no names:
// each record is taken by its number and named from the open setup, and its
// values are shown in the texts the editor shows (seconds, amperes, "Word 1",
// the option boxes' units).
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace kelda {
class SetupView;
}

namespace kelda::image {

// One line per differing item, in the order of the image's sections:
//   timer "Flash": run time 0.40 s on the module, 0.50 s in the setup
//   event "Beacons" is not on the module
//   the module's timer 4 is not in the setup: run time 1.00 s
// Records are matched within their section so that an item left out on one
// side does not make every item after it differ. Empty when the images say
// the same; a module image that cannot be read gives one line saying why.
QStringList imageDifferences(const QByteArray &moduleImage, const QByteArray &setupImage, const SetupView &setup);

}  // namespace kelda::image
