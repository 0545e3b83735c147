// Builds setups through PMModel as a user would: add rows, edit cells, point
// event inputs and list entries at items. Also what the editor cannot make.
#pragma once

#include <QString>
#include <QVariant>

#include <cstdint>

#include "pmmodel.h"
#include "schema.h"
#include "strata.h"

namespace kelda::test {

class SetupBuilder
{
public:
    explicit SetupBuilder(PMModel &m) : model(m) { }

    // Appends a row to the table of the mode and returns it (rows always go
    // to the end, as the main window's "Add" puts them).
    int add(Mode mode);
    bool set(Mode mode, int row, int column, const QVariant &value);
    QString name(kelda::ItemType type, int row) const { return model.itemName(type, row); }

    int timer(double seconds = 0.5);
    int canInput(const QString &id, const QString &select = QStringLiteral("Word 1"), int data = 0,
                 const QString &compare = QStringLiteral("="));
    int canOutput(const QString &id, const QString &select = QStringLiteral("Word 1"), int data = 0);
    int event() { return add(Mode::Events); }
    int state() { return add(Mode::States); }
    int lx1Output() { return add(Mode::Lx1Outputs); }
    // The LX1 module's channel mask of an LX1 output row.
    void lx1Mask(int row, int module, uint8_t mask);

    // Input k of an event as the table shows it: the prefixed text, its
    // condition and its join text; only the target has to be taken.
    bool input(int row, int k, const QString &text, const QString &condition = QString(),
               const QString &join = QString());
    // Input k of an event pointed at item targetRow of the type; condition and
    // join must be taken too (the last input has no join). Inputs after the
    // first need the join before them set first.
    bool input(int event, int k, kelda::ItemType type, int targetRow, const char *condition, const char *join = "NONE");
    bool join(int row, int k, const QString &join);

    // Appends an entry to a list of an event (Mode::Events) or state
    // (Mode::States); an empty name leaves it pointing at nothing.
    bool entry(Mode mode, int row, int list, const QString &name = QString());
    // Appends an entry pointing at item targetRow of the list's target type.
    bool entry(Mode mode, int owner, int list, kelda::ItemType type, int targetRow);

    PMModel &model;
};

// Appends count rows to the table of the mode, as the main window's "Add" does.
void addRows(PMModel &model, int mode, int count);

// More items than the editor lets one make (and than an image can hold), put
// straight into the setup in the store.
bool addRawItems(StoreSession s, kelda::ItemType type, int count);

}  // namespace kelda::test
