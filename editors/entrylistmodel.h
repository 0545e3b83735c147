// EntryListModel: one reference list of one event or state as a one-column
// table. Reads and writes go straight to the setup through PMModel; nothing is
// kept here. EventProxyModel and StateProxyModel say which lists exist, what
// their headers are and which names a list may point at.
#pragma once

#include <QAbstractTableModel>
#include <QPointer>
#include <QStringList>

#include "pmmodel.h"

class EntryListModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    explicit EntryListModel(QObject *parent = nullptr);

    // Binds this table to list `kind` of row `row` of `model`.
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
    // The names an entry of this list may point at, as the combo box offers them.
    virtual QStringList choices() const = 0;

protected:
    // Header of list `kind`, or null for a kind that does not exist.
    virtual const char *headerText(int kind) const = 0;

    int m_kind = 0;
    int m_row = -1;
    QPointer<PMModel> m_model;  // not owned
};
