// PMDelegate: the in-cell editors of the main tables. The model decides the
// kind of editor per cell; the delegate only builds it and moves the value.
#pragma once

#include <QStyledItemDelegate>

class PMModel;

class PMDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    explicit PMDelegate(QObject *parent = nullptr);

    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    void setEditorData(QWidget *editor, const QModelIndex &index) const override;
    void setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const override;
    void updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                              const QModelIndex &index) const override;

    // The PMModel behind an index, looking through one sort/filter proxy.
    static const PMModel *pmModel(const QModelIndex &index);

signals:
    // The model refused what an editor of `view` committed; `reason` says why.
    void commitRefused(QWidget *view, const QString &reason) const;
};
