// StateDelegate: the combo box of target names in the states editor's lists.
#pragma once

#include <QStyledItemDelegate>

class StateDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    explicit StateDelegate(QObject *parent = nullptr);

    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &option,
                          const QModelIndex &index) const override;
    void setEditorData(QWidget *editor, const QModelIndex &index) const override;
    void setModelData(QWidget *editor, QAbstractItemModel *model,
                      const QModelIndex &index) const override;
    void updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                              const QModelIndex &index) const override;
};
