#include "setupbuilder.h"

#include <QTest>

namespace kelda::test {

int SetupBuilder::add(Mode mode)
{
    model.setMode(int(mode));
    const int row = model.rowCount();
    model.insertRows(row, 1);
    return row;
}

bool SetupBuilder::set(Mode mode, int row, int column, const QVariant &value)
{
    model.setMode(int(mode));
    return model.setData(model.index(row, column), value, Qt::EditRole);
}

int SetupBuilder::timer(double seconds)
{
    const int row = add(Mode::Timers);
    set(Mode::Timers, row, 1, seconds);
    return row;
}

int SetupBuilder::canInput(const QString &id, const QString &select, int data, const QString &compare)
{
    const int row = add(Mode::CanInputs);
    set(Mode::CanInputs, row, 1, id);
    set(Mode::CanInputs, row, 2, select);
    set(Mode::CanInputs, row, 3, compare);
    set(Mode::CanInputs, row, 4, data);
    return row;
}

int SetupBuilder::canOutput(const QString &id, const QString &select, int data)
{
    const int row = add(Mode::CanOutputs);
    set(Mode::CanOutputs, row, 1, id);
    set(Mode::CanOutputs, row, 2, select);
    set(Mode::CanOutputs, row, 3, data);
    return row;
}

void SetupBuilder::lx1Mask(int row, int module, uint8_t mask)
{
    set(Mode::Lx1Outputs, row, 2 + module, QString::number(mask, 2));
}

bool SetupBuilder::input(int row, int k, const QString &text, const QString &condition, const QString &join)
{
    model.setMode(int(Mode::Events));
    if (!model.setData(model.index(row, 2 + 3 * k), text))
        return false;
    if (!condition.isEmpty())
        model.setData(model.index(row, 3 + 3 * k), condition);
    if (!join.isEmpty() && k < 2)
        model.setData(model.index(row, 4 + 3 * k), join);
    return true;
}

bool SetupBuilder::input(int event, int k, kelda::ItemType type, int targetRow, const char *condition, const char *join)
{
    model.setMode(int(Mode::Events));
    if (!model.setEventInput(event, k, PMModel::typePrefix(type) + name(type, targetRow)))
        return false;
    if (!model.setData(model.index(event, 3 + 3 * k), QString::fromLatin1(condition)))
        return false;
    return k == 2 || model.setData(model.index(event, 4 + 3 * k), QString::fromLatin1(join));
}

bool SetupBuilder::join(int row, int k, const QString &join)
{
    model.setMode(int(Mode::Events));
    return model.setData(model.index(row, 4 + 3 * k), join);
}

bool SetupBuilder::entry(Mode mode, int row, int list, const QString &name)
{
    model.setMode(int(mode));
    if (!model.addListEntry(row, list))
        return false;
    if (name.isEmpty())
        return true;
    return model.setListEntry(row, list, model.listEntryCount(row, list) - 1, name);
}

bool SetupBuilder::entry(Mode mode, int owner, int list, kelda::ItemType type, int targetRow)
{
    model.setMode(int(mode));
    const int at = model.listEntryCount(owner, list);
    return model.addListEntry(owner, list) && model.setListEntry(owner, list, at, name(type, targetRow));
}

void addRows(PMModel &model, int mode, int count)
{
    model.setMode(mode);
    for (int i = 0; i < count; ++i)
        QVERIFY(model.insertRows(0, 1));
}

bool addRawItems(StoreSession s, kelda::ItemType type, int count)
{
    return STRATA_GotoRoot(s) && STRATA_OpenItem(kelda::toU16(kelda::ItemType::Setup), 0, s)
        && STRATA_InsertItemBlocks(kelda::toU16(type), uint16_t(count), s);
}

}  // namespace kelda::test
