#include "subitemdelegate.h"

#include <QComboBox>

#include "eventproxymodel.h"

SubItemDelegate::SubItemDelegate(QObject *parent)
    : QStyledItemDelegate(parent)
{
}

QWidget *SubItemDelegate::createEditor(QWidget *parent, const QStyleOptionViewItem &,
                                       const QModelIndex &index) const
{
    auto combo = new QComboBox(parent);
    if (auto list = qobject_cast<const EventProxyModel *>(index.model()))
        combo->insertItems(0, list->choices());
    return combo;
}

void SubItemDelegate::setEditorData(QWidget *editor, const QModelIndex &index) const
{
    if (auto combo = qobject_cast<QComboBox *>(editor)) {
        const QString name = index.model()->data(index, Qt::EditRole).toString();
        const int found = combo->findText(name, Qt::MatchExactly | Qt::MatchCaseSensitive);
        if (found >= 0)
            combo->setCurrentIndex(found);
    }
}

void SubItemDelegate::setModelData(QWidget *editor, QAbstractItemModel *model,
                                   const QModelIndex &index) const
{
    if (auto combo = qobject_cast<QComboBox *>(editor))
        model->setData(index, combo->currentText(), Qt::EditRole);
}

void SubItemDelegate::updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                                           const QModelIndex &) const
{
    editor->setGeometry(option.rect);
}
