// StateDelegate: the combo box of target names in the states editor's lists.
#pragma once

#include "entrylistdelegate.h"

class StateDelegate : public EntryListDelegate
{
    Q_OBJECT

public:
    explicit StateDelegate(QObject *parent = nullptr) : EntryListDelegate(parent) { }
};
