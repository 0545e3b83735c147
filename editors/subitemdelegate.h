// SubItemDelegate: the combo box of target names in the events editor's lists.
#pragma once

#include "entrylistdelegate.h"

class SubItemDelegate : public EntryListDelegate
{
    Q_OBJECT

public:
    explicit SubItemDelegate(QObject *parent = nullptr) : EntryListDelegate(parent) { }
};
