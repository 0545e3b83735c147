// PMModel: the Qt model interface. Every answer about a cell is a lookup in
// the column table (pmcolumns.cpp); this file only announces what changed.
#include "pmmodel.h"
#include "pmmodel_p.h"

#include <QStringList>

using namespace kelda;
using namespace kelda::detail;

PMModel::PMModel(QObject *parent) : QAbstractTableModel(parent)
{
    m_mode = 0;
    m_modified = false;
    createSetup();
}

PMModel::~PMModel() = default;

ItemType PMModel::itemTypeOfMode(int mode)
{
    const ModeSpec *m = modeSpec(mode);
    return m ? m->type : ItemType::None;
}

ItemType PMModel::modeItemType() const
{
    return itemTypeOfMode(m_mode);
}

int PMModel::itemCount(ItemType type) const
{
    StoreCursor c(liveSession());
    if (type == ItemType::None || !c.setup())
        return 0;
    return c.count(type);
}

int PMModel::rowCount(const QModelIndex &parent) const
{
    // A flat table: no item has children.
    if (parent.isValid())
        return 0;
    return itemCount(modeItemType());
}

int PMModel::columnCount(const QModelIndex &parent) const
{
    const ModeSpec *m = modeSpec(m_mode);
    if (parent.isValid() || !m)
        return 0;
    return int(m->columns.size());
}

QVariant PMModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    const ColumnSpec *col = columnSpec(m_mode, section);
    if (orientation != Qt::Horizontal || !col)
        return QVariant();
    if (role == Qt::ToolTipRole && col->tip)
        return QString::fromLatin1(col->tip);
    if (role != Qt::DisplayRole)
        return QVariant();
    return QString::fromLatin1(col->header);
}

void PMModel::setMode(int mode)
{
    beginResetModel();
    m_mode = mode;
    endResetModel();
}

Qt::ItemFlags PMModel::flags(const QModelIndex &index) const
{
    // The root of a flat table has no flags (views and the model tester rely on it).
    if (!index.isValid())
        return Qt::NoItemFlags;
    const Qt::ItemFlags base = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
    const ColumnSpec *col = columnSpec(m_mode, index.column());
    return col && col->editable ? base | Qt::ItemIsEditable : base;
}

int PMModel::editorKind(const QModelIndex &index) const
{
    const ColumnSpec *col = columnSpec(m_mode, index.column());
    return int(col ? col->editor : EditorKind::Default);
}

QStringList PMModel::choices(int row, int column) const
{
    const ColumnSpec *col = columnSpec(m_mode, column);
    return col && col->choices ? col->choices(*this, row, column) : QStringList();
}

QVariant PMModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return QVariant();
    if (role == Qt::UserRole)
        return choices(index.row(), index.column());
    const ColumnSpec *col = columnSpec(m_mode, index.column());
    if (role == Qt::ToolTipRole)
        return col && col->editor == EditorKind::Dialog ? listSummary(index.row()) : QVariant();
    if (role != Qt::DisplayRole && role != Qt::EditRole)
        return QVariant();
    return col ? modelCell(*this, modeItemType(), index.row(), *col) : QVariant();
}

bool PMModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    m_editError.clear();
    m_editNote.clear();
    if (!index.isValid() || role != Qt::EditRole)
        return false;
    const ColumnSpec *col = columnSpec(m_mode, index.column());
    const ChangeScope change(
        *this, [&] { return editText(index.row(), index.column()); }, index.row(), index.column());
    // A column that stores nothing still counts as an accepted edit.
    const WriteResult result =
        col && col->write ? col->write(*this, modeItemType(), index.row(), *col, value) : WriteResult::Written;
    if (result == WriteResult::Refused)
        return false;
    if (result == WriteResult::Written)
        markModified();
    emit dataChanged(index, index);
    if (result == WriteResult::Written)
        announceRefresh(index, col ? col->refresh : Refresh::Cell);
    if (!m_editNote.isEmpty())
        emit editNoted(m_editNote);
    return true;
}

// The other cells that a write changed besides its own.
void PMModel::announceRefresh(const QModelIndex &index, Refresh refresh)
{
    const int lastRow = qMax(0, rowCount() - 1);
    if (refresh == Refresh::Column)
        emit dataChanged(this->index(0, index.column()), this->index(lastRow, index.column()));
    else if (refresh == Refresh::Row)
        emit dataChanged(this->index(index.row(), 0), this->index(index.row(), columnCount() - 1));
}

void PMModel::setEndianness(int row, bool little)
{
    StoreCursor c(liveSession());
    if (!c.item(ItemType::CanInput, row))
        return;
    uint16_t id = 0;
    const bool hasId = c.u16(ValueId::CanId, id);
    c.setInt(ValueId::LittleEndian, little ? 1 : 0);
    if (!hasId || !c.close())
        return;
    // Every input reading the same frame must agree on its byte order.
    const int n = c.count(ItemType::CanInput);
    for (int i = 0; i < n; ++i) {
        if (i == row || !c.open(ItemType::CanInput, i))
            continue;
        uint16_t other = 0;
        if (c.u16(ValueId::CanId, other) && other == id)
            c.setInt(ValueId::LittleEndian, little ? 1 : 0);
        c.close();
    }
}

bool PMModel::followByteOrder(int row, bool *little)
{
    StoreCursor c(liveSession());
    if (!c.item(ItemType::CanInput, row))
        return false;
    const int id = c.u16Or(ValueId::CanId, -1);
    const bool mine = c.u8Or(ValueId::LittleEndian, 0) != 0;
    const int n = c.setup() ? c.count(ItemType::CanInput) : 0;
    for (int i = 0; i < n; ++i) {
        if (i == row || !c.open(ItemType::CanInput, i))
            continue;
        const bool same = c.u16Or(ValueId::CanId, -2) == id;
        const bool theirs = c.u8Or(ValueId::LittleEndian, 0) != 0;
        c.close();
        if (!same)
            continue;
        if (theirs == mine || !c.open(ItemType::CanInput, row))
            return false;
        c.setInt(ValueId::LittleEndian, theirs ? 1 : 0);
        if (little)
            *little = theirs;
        return true;
    }
    return false;
}
