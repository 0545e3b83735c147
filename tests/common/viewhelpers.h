// Finding form widgets by object name, and reading a column of a model.
#pragma once

#include <QObject>
#include <QStringList>

class QAbstractItemModel;

namespace kelda::test {

// A form widget by its object name; warns when it is missing, so that the
// failing check that follows names it.
template <class T>
T *child(QObject &parent, const char *name)
{
    T *found = parent.findChild<T *>(QLatin1String(name));
    if (!found)
        qWarning("no %s named %s", T::staticMetaObject.className(), name);
    return found;
}

template <class T>
T *child(QObject *parent, const char *name)
{
    return child<T>(*parent, name);
}

// The display texts of one column, top to bottom.
QStringList columnTexts(const QAbstractItemModel *model, int column = 0);

}  // namespace kelda::test
