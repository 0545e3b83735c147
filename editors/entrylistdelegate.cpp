#include "entrylistdelegate.h"

#include <QComboBox>

#include "entrylistmodel.h"

EntryListDelegate::EntryListDelegate(QObject *parent) : QStyledItemDelegate(parent)
{ }

QWidget *EntryListDelegate::createEditor(QWidget *parent, const QStyleOptionViewItem &, const QModelIndex &index) const
{
    auto combo = new QComboBox(parent);
    if (auto list = qobject_cast<const EntryListModel *>(index.model()))
        combo->insertItems(0, list->choices());
    return combo;
}

void EntryListDelegate::setEditorData(QWidget *editor, const QModelIndex &index) const
{
    if (auto combo = qobject_cast<QComboBox *>(editor)) {
        const QString name = index.model()->data(index, Qt::EditRole).toString();
        const int found = combo->findText(name, Qt::MatchExactly | Qt::MatchCaseSensitive);
        if (found >= 0)
            combo->setCurrentIndex(found);
    }
}

void EntryListDelegate::setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const
{
    if (auto combo = qobject_cast<QComboBox *>(editor))
        model->setData(index, combo->currentText(), Qt::EditRole);
}

void EntryListDelegate::updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                                             const QModelIndex &) const
{
    editor->setGeometry(option.rect);
}
