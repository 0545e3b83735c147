// The names of the items a module reports (MONITOR's kinds and numbers),
// taken from the setup the module runs: one mapping for kelda-cli monitor and
// force and the window's live view. Header only, so that keldaecu itself needs
// neither the simulator's names nor the store.
#pragma once

#include <QString>
#include <QStringList>

#include "corla.h"
#include "simnames.h"

namespace kelda::live {

// An LX1 channel as the simulator names it, "M.C" (1..8 each), from 0; -1 for none.
inline int channelOf(const QString &word)
{
    if (word.size() != 3 || word[1] != QLatin1Char('.') || word[0] < QLatin1Char('1') || word[0] > QLatin1Char('8')
        || word[2] < QLatin1Char('1') || word[2] > QLatin1Char('8'))
        return -1;
    return (word[0].unicode() - '1') * 8 + (word[2].unicode() - '1');
}

// The setup's rows of a reported kind; nullptr for LX1 channels and LEDs
// beyond the table (LEDs are the LED table's rows).
inline const QStringList *namesOf(const SimNames &n, uint8_t kind)
{
    switch (kind) {
    case CORLA_LIVE_KEY:
        return &n.keys;
    case CORLA_LIVE_SWITCH:
        return &n.switches;
    case CORLA_LIVE_CANINPUT:
        return &n.canInputs;
    case CORLA_LIVE_TIMER:
        return &n.timers;
    case CORLA_LIVE_STATE:
        return &n.states;
    case CORLA_LIVE_LED:
        return &n.leds;
    case CORLA_LIVE_OUTPUT:
        return &n.outputs;
    case CORLA_LIVE_CANOUTPUT:
        return &n.canOutputs;
    default:
        return nullptr;
    }
}

// Names of the items a module reports, from a setup; without one, none.
struct LiveNames {
    bool loaded = false;
    SimNames names;
    // The item's name (item from 0; an LX1 channel as M.C); null without a setup.
    QString name(uint8_t kind, int item) const
    {
        if (!loaded)
            return QString();
        if (kind == CORLA_LIVE_LX1)
            return QStringLiteral("%1.%2").arg(item / 8 + 1).arg(item % 8 + 1);
        const QStringList *list = namesOf(names, kind);
        return list && item < list->size() ? list->at(item) : QString();
    }
    // The item a name gives (exactly one row of the table has it); -1 for none.
    int find(uint8_t kind, const QString &name) const
    {
        if (kind == CORLA_LIVE_LX1)
            return channelOf(name);
        const QStringList *list = namesOf(names, kind);
        if (!loaded || !list || list->count(name) != 1)
            return -1;
        return int(list->indexOf(name));
    }
};

}  // namespace kelda::live
