#include "viewhelpers.h"

#include <QAbstractItemModel>

namespace kelda::test {

QStringList columnTexts(const QAbstractItemModel *model, int column)
{
    QStringList out;
    for (int r = 0; r < model->rowCount(); ++r)
        out << model->index(r, column).data().toString();
    return out;
}

}  // namespace kelda::test
