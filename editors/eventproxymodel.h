// EventProxyModel: one action list of one event (states to set or clear,
// timers to start or stop).
#pragma once

#include "entrylistmodel.h"

class EventProxyModel : public EntryListModel
{
    Q_OBJECT

public:
    explicit EventProxyModel(QObject *parent = nullptr);

    // State or timer names without their four-character type prefix.
    QStringList choices() const override;

protected:
    const char *headerText(int kind) const override;
};
