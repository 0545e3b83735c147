// The names of a setup's rows, for the window, traces and scripts. They come
// from the store session; the engine itself needs only the image.
#pragma once

#include <QStringList>

#include "storecursor.h"

namespace kelda {

// The names of every row a simulation shows or a script addresses, read once.
struct SimNames {
    QStringList keys, switches, canInputs, states, timers, outputs, leds, events, canOutputs;
};
SimNames simNames(StoreSession session);

}  // namespace kelda
