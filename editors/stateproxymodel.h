// StateProxyModel: one output list of one state (LX2 LEDs, LX1 outputs or
// CAN outputs).
#pragma once

#include "entrylistmodel.h"

class StateProxyModel : public EntryListModel
{
    Q_OBJECT

public:
    explicit StateProxyModel(QObject *parent = nullptr);

    // Output names; these types carry no prefix.
    QStringList choices() const override;

protected:
    const char *headerText(int kind) const override;
};
