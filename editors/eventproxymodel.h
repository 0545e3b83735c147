// EventProxyModel: one action list of one event (states to set or clear,
// timers to start or stop) as a one-column table. Reads and writes go
// straight to the setup through PMModel; nothing is kept here.
#pragma once

#include <QAbstractTableModel>
#include <QPointer>
#include <QStringList>

#include "pmmodel.h"

class EventProxyModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    explicit EventProxyModel(QObject *parent = nullptr);

    // Binds this table to list `kind` (EventList) of event `row` of `model`.
    void setList(int kind, int row, PMModel *model);
    int kind() const { return m_kind; }
    int row() const { return m_row; }
    PMModel *model() const { return m_model; }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    bool addEntry(int row, int kind);
    bool removeEntry(int row, int kind, int entry);
    // Target names without their four-character type prefix.
    QStringList choices() const;

private:
    int m_kind = 0;
    int m_row = -1;
    QPointer<PMModel> m_model;  // not owned
};
