// EntryListDelegate: the combo box of target names in the lists of the events
// and states editors, filled from the list's own choices.
#pragma once

#include <QStyledItemDelegate>

class EntryListDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    explicit EntryListDelegate(QObject *parent = nullptr);

    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    void setEditorData(QWidget *editor, const QModelIndex &index) const override;
    void setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const override;
    void updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                              const QModelIndex &index) const override;
};
