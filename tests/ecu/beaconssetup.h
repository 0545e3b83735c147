// The sample setup of the live view's tests and screenshot.
#pragma once

#include <QStringList>

#include "pmcolumns.h"
#include "pmmodel.h"
#include "setupbuilder.h"

namespace kelda::test {

// Key "Beacons" held with switch "Ignition" on sets "Beacons on"; while it is
// set "Beacon flash" turns over every time timer "Flash" stops, lighting LED 1
// and LX1-1 channels 1 and 2. The changed copy runs "Flash" 0.4 s and has no
// event "Flash off".
inline bool buildBeacons(PMModel &model, bool changed)
{
    model.newSetup();
    SetupBuilder b(model);
    using T = kelda::ItemType;
    enum { Set, Clear, Start };
    bool ok = b.set(Mode::Keypad, 0, KeypadCol::Name, QStringLiteral("Beacons"));
    ok = ok && b.set(Mode::Switches, 0, SwitchCol::Name, QStringLiteral("Ignition"));
    const int flash = b.timer(changed ? 0.4 : 0.5);
    ok = ok && b.set(Mode::Timers, flash, TimerCol::Name, QStringLiteral("Flash"));
    for (const char *name : {"Beacons on", "Beacon flash"})
        ok = ok && b.set(Mode::States, b.state(), StateCol::Name, QString::fromLatin1(name));
    const int events = changed ? 2 : 3;
    for (int e = 0; e < events; ++e)
        ok =
            ok && b.set(Mode::Events, b.event(), EventCol::Name, QStringList{"Beacons up", "Flash on", "Flash off"}[e]);
    const int lamp = b.lx1Output();
    b.lx1Mask(lamp, 0, 0x03);
    ok = ok && b.input(0, 0, T::KeypadKey, 0, "Pressed", "AND") && b.input(0, 1, T::Switch, 0, "High")
        && b.entry(Mode::Events, 0, Set, T::State, 0);
    ok = ok && b.input(1, 0, T::Timer, flash, "Stopped", "AND") && b.input(1, 1, T::State, 1, "Cleared", "AND")
        && b.input(1, 2, T::State, 0, "Set") && b.entry(Mode::Events, 1, Set, T::State, 1)
        && b.entry(Mode::Events, 1, Start, T::Timer, flash);
    if (!changed)
        ok = ok && b.input(2, 0, T::Timer, flash, "Stopped", "AND") && b.input(2, 1, T::State, 1, "Set")
            && b.entry(Mode::Events, 2, Clear, T::State, 1) && b.entry(Mode::Events, 2, Start, T::Timer, flash);
    return ok && b.entry(Mode::States, 1, 0, T::Lx2Led, 0) && b.entry(Mode::States, 1, 1, T::Lx1Output, lamp);
}

}  // namespace kelda::test
