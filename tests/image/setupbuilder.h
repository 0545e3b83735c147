// Builds setups through PMModel as a user would: add rows, edit cells, point
// event inputs and list entries at items.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include "pmmodel.h"

class SetupBuilder
{
public:
    explicit SetupBuilder(PMModel &m) : model(m) {}

    int add(Mode mode)
    {
        model.setMode(int(mode));
        model.insertRows(0, 1);
        return model.rowCount() - 1;
    }
    bool set(Mode mode, int row, int column, const QVariant &value)
    {
        model.setMode(int(mode));
        return model.setData(model.index(row, column), value, Qt::EditRole);
    }
    int timer(double seconds = 0.5)
    {
        const int row = add(Mode::Timers);
        set(Mode::Timers, row, 1, seconds);
        return row;
    }
    int canInput(const QString &id, const QString &select = QStringLiteral("Word 1"), int data = 0,
                 const QString &compare = QStringLiteral("="))
    {
        const int row = add(Mode::CanInputs);
        set(Mode::CanInputs, row, 1, id);
        set(Mode::CanInputs, row, 2, select);
        set(Mode::CanInputs, row, 3, compare);
        set(Mode::CanInputs, row, 4, data);
        return row;
    }
    int canOutput(const QString &id, const QString &select = QStringLiteral("Word 1"), int data = 0)
    {
        const int row = add(Mode::CanOutputs);
        set(Mode::CanOutputs, row, 1, id);
        set(Mode::CanOutputs, row, 2, select);
        set(Mode::CanOutputs, row, 3, data);
        return row;
    }
    int event() { return add(Mode::Events); }
    int state() { return add(Mode::States); }
    int lx1Output() { return add(Mode::Lx1Outputs); }

    // Input k: the prefixed text, its condition text and its join text.
    bool input(int row, int k, const QString &text, const QString &condition = QString(),
               const QString &join = QString())
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
    bool join(int row, int k, const QString &join)
    {
        model.setMode(int(Mode::Events));
        return model.setData(model.index(row, 4 + 3 * k), join);
    }
    // Appends an entry to a list of an event (Mode::Events) or state (Mode::States);
    // an empty name leaves it pointing at nothing.
    bool entry(Mode mode, int row, int list, const QString &name = QString())
    {
        model.setMode(int(mode));
        if (!model.addListEntry(row, list))
            return false;
        if (name.isEmpty())
            return true;
        return model.setListEntry(row, list, model.listEntryCount(row, list) - 1, name);
    }

    PMModel &model;
};

inline QByteArray readAll(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray("<cannot open>");
    return f.readAll();
}

inline QByteArray hex(const char *spaced)
{
    return QByteArray::fromHex(QByteArray(spaced).replace(' ', ""));
}
