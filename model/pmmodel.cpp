// PMModel: table interface (modes, columns, headers, cells, flags, editors, choices).
#include "pmmodel.h"
#include "pmmodel_p.h"

#include <QStringList>

using namespace kelda;
using namespace kelda::detail;

namespace {

constexpr int kModeCount = 10;

struct ModeInfo {
    ItemType type;
    int columns;
    const char *headers[11];
};

constexpr ModeInfo kModes[kModeCount] = {
    {ItemType::KeypadKey, 2, {"ID", "Name"}},
    {ItemType::Switch, 2, {"ID", "Name"}},
    {ItemType::CanInput, 6, {"Name", "CAN Code", "Word/Byte", "Condition", "Data", "Endianness"}},
    {ItemType::Timer, 2, {"Name", "Reset Value/ms"}},
    {ItemType::Event, 11, {"Priority", "Name", "Input", "Type", "With", "Input", "Type", "With", "Input", "Type", " Edit..."}},
    {ItemType::State, 2, {"Name", "Edit..."}},
    {ItemType::Lx1Output, 11, {"Name", "Current/A", "LX1-1", "LX1-2", "LX1-3", "LX1-4", "LX1-5", "LX1-6", "LX1-7", "LX1-8", " Edit..."}},
    {ItemType::Lx2Led, 2, {"ID", "Name"}},
    {ItemType::CanOutput, 4, {"Name", "CAN Code", "Word/Byte", "Data"}},
    {ItemType::Lx1Module, 2, {"PM", "CAN Input"}},
};

const ModeInfo *modeInfo(int mode)
{
    return mode >= 0 && mode < kModeCount ? &kModes[mode] : nullptr;
}

const QString kEdit = QStringLiteral(" Edit...");

QStringList byteSelectTexts()
{
    QStringList l;
    for (const auto &c : kByteSelectChoices)
        l << QLatin1String(c.text);
    return l;
}

QStringList combineTexts()
{
    QStringList l;
    for (const char *t : kCombineTexts)
        l << QLatin1String(t);
    return l;
}

} // namespace

PMModel::PMModel(QObject *parent) : QAbstractTableModel(parent)
{
    m_mode = 0;
    m_modified = false;
    m_sessionOpen = false;
    createSetup();
}

PMModel::~PMModel()
{
    if (m_sessionOpen && m_session)
        STRATA_CloseSession(m_session);
}

ItemType PMModel::itemTypeOfMode(int mode)
{
    const ModeInfo *m = modeInfo(mode);
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
    if (parent.isValid())
        return 0;
    const ModeInfo *m = modeInfo(m_mode);
    return m ? m->columns : 0;
}

QVariant PMModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    const ModeInfo *m = modeInfo(m_mode);
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || !m || section < 0 || section >= m->columns)
        return QVariant();
    return QString::fromLatin1(m->headers[section]);
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
    switch (m_mode) {
    case 0: case 1: case 7: case 9:
        return index.column() == 1 ? base | Qt::ItemIsEditable : base;
    case 2: case 3: case 4: case 5: case 6: case 8:
        return base | Qt::ItemIsEditable;
    default:
        return base;
    }
}

int PMModel::editorKind(const QModelIndex &index) const
{
    const int col = index.column();
    EditorKind k = EditorKind::Default;
    switch (m_mode) {
    case 2:
        if (col == 2 || col == 3 || col == 5)
            k = EditorKind::Choice;
        else if (col == 4)
            k = EditorKind::Integer;
        break;
    case 3:
        if (col == 1)
            k = EditorKind::Seconds;
        break;
    case 4:
        if (col == 0 || (col >= 2 && col <= 9))
            k = EditorKind::Choice;
        else if (col == 10)
            k = EditorKind::Dialog;
        break;
    case 5:
        if (col == 1)
            k = EditorKind::Dialog;
        break;
    case 6:
        if (col == 1)
            k = EditorKind::Current;
        else if (col == 10)
            k = EditorKind::Dialog;
        break;
    case 8:
        if (col == 2)
            k = EditorKind::Choice;
        else if (col == 3)
            k = EditorKind::Integer;
        break;
    case 9:
        if (col == 1)
            k = EditorKind::Choice;
        break;
    default:
        break;
    }
    return int(k);
}

QStringList PMModel::choices(int row, int column) const
{
    switch (m_mode) {
    case 2:
        if (column == 2)
            return byteSelectTexts();
        if (column == 3) {
            QStringList l;
            for (const auto &c : kCanCompareChoices)
                l << QLatin1String(c.text);
            return l;
        }
        if (column == 5)
            return {QLatin1String(kEndiannessTexts[0]), QLatin1String(kEndiannessTexts[1])};
        break;
    case 4:
        switch (column) {
        case 0: {
            QStringList l;
            const int n = itemCount(ItemType::Event);
            for (int i = 1; i <= n; ++i)
                l << QString::number(i);
            return l;
        }
        case 2: case 5: case 8:
            return inputChoices();
        case 3: case 6: case 9:
            return conditionChoices(row, column);
        case 1: case 4: case 7: case 10:
            return combineTexts();
        default:
            break;
        }
        break;
    case 8:
        if (column == 2)
            return byteSelectTexts();
        break;
    case 9:
        if (column == 1)
            return canInputNames() << QStringLiteral("NONE");
        return {QStringLiteral("NONE")};
    default:
        break;
    }
    return {};
}

// ---------------------------------------------------------------- reading

QVariant PMModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return QVariant();
    if (role == Qt::UserRole)
        return choices(index.row(), index.column());
    if (role != Qt::DisplayRole && role != Qt::EditRole)
        return QVariant();
    return cellValue(index.row(), index.column());
}

QVariant PMModel::cellValue(int row, int col) const
{
    StoreCursor c(liveSession());
    const ItemType type = modeItemType();
    switch (m_mode) {
    case 0: case 1: case 7:
        if (col == 0)
            return row + 1;
        if (col == 1)
            return c.item(type, row) ? c.textOr(ValueId::Name) : QString();
        break;
    case 2: case 8:
        switch (col) {
        case 0:
            return c.item(type, row) ? c.textOr(ValueId::Name) : QString();
        case 1: {
            if (!c.item(type, row))
                return QStringLiteral("0x000");
            uint16_t id = 0;
            if (!c.u16(ValueId::CanId, id))
                return QStringLiteral("0x1234");
            return canCodeText(id);
        }
        case 2:
            return c.item(type, row) ? byteSelectText(c.u16Or(ValueId::ByteSelect, 0)) : QString();
        case 3:
            if (m_mode == 8)
                return c.item(type, row) ? c.u16Or(ValueId::Data, 0) : 0;
            return c.item(type, row) ? canCompareText(c.u16Or(ValueId::CanCompare, 0)) : QString();
        case 4:
            if (m_mode == 2)
                return c.item(type, row) ? c.u16Or(ValueId::Data, 0) : 0;
            break;
        case 5:
            if (m_mode == 2) {
                const bool little = c.item(type, row) && c.u16Or(ValueId::LittleEndian, 0) != 0;
                return QString::fromLatin1(kEndiannessTexts[little ? 1 : 0]);
            }
            break;
        default:
            break;
        }
        break;
    case 3:
        if (col == 0)
            return c.item(type, row) ? c.textOr(ValueId::Name) : QString();
        if (col == 1) {
            if (!c.item(type, row))
                return 0.5;
            return c.u16Or(ValueId::ResetTicks, 0) * 5 / 1000.0;
        }
        break;
    case 4:
        switch (col) {
        case 0:
            return eventPriority(row);
        case 1:
            return c.item(type, row) ? c.textOr(ValueId::Name) : QString();
        case 2: case 5: case 8:
            return eventInputText(row, (col - 2) / 3);
        case 3: case 6: case 9:
            return eventConditionText(row, (col - 3) / 3);
        case 4: case 7:
            return eventCombineText(row, (col - 4) / 3);
        case 10:
            return kEdit;
        default:
            break;
        }
        break;
    case 5:
        if (col == 0)
            return c.item(type, row) ? c.textOr(ValueId::Name) : QString();
        if (col == 1)
            return kEdit;
        break;
    case 6:
        if (col == 0)
            return c.item(type, row) ? c.textOr(ValueId::Name) : QString();
        if (col == 1)
            return c.item(type, row) ? qMin(c.u16Or(ValueId::Data, 0), kMaxLx1Current) * 0.4 : 0.0;
        if (col >= 2 && col <= 9) {
            if (!c.item(type, row))
                return QStringLiteral("0x00");
            const QByteArray masks = c.block(ValueId::Lx1Masks);
            if (masks.size() <= col - 2)
                return QStringLiteral("0x00");
            return QStringLiteral("%1").arg(uint(uint8_t(masks.at(col - 2))), 8, 2, QLatin1Char('0'));
        }
        if (col == 10)
            return kEdit;
        break;
    case 9:
        if (col == 0)
            return QStringLiteral(" LX1-%1").arg(row + 1);
        if (col == 1)
            return pwmInputName(row);
        break;
    default:
        break;
    }
    return QVariant();
}

// ---------------------------------------------------------------- writing

bool PMModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (!index.isValid() || role != Qt::EditRole)
        return false;
    const int row = index.row();
    const int col = index.column();
    const ItemType type = modeItemType();
    StoreCursor c(liveSession());

    // Cells whose change shows in other cells of the table too.
    QModelIndex alsoFrom, alsoTo;

    switch (m_mode) {
    case 0: case 1: case 7:
        if (col == 1)
            rename(type, row, value.toString());
        break;
    case 2: case 8:
        switch (col) {
        case 0:
            rename(type, row, value.toString());
            break;
        case 1:
            if (c.item(type, row))
                c.setInt(ValueId::CanId, parseCanCode(value.toString()));
            break;
        case 2:
            if (c.item(type, row))
                c.setInt(ValueId::ByteSelect, byteSelectCode(value.toString()));
            break;
        case 3:
            if (!c.item(type, row))
                break;
            if (m_mode == 8)
                c.setInt(ValueId::Data, int(value.toUInt()));
            else
                c.setInt(ValueId::CanCompare, canCompareCode(value.toString()));
            break;
        case 4:
            if (m_mode == 2 && c.item(type, row))
                c.setInt(ValueId::Data, int(value.toUInt()));
            break;
        case 5:
            if (m_mode == 2) {
                setEndianness(row, value.toString() == QLatin1String(kEndiannessTexts[1]));
                alsoFrom = this->index(0, col);
                alsoTo = this->index(qMax(0, rowCount() - 1), col);
            }
            break;
        default:
            break;
        }
        break;
    case 3:
        if (col == 0)
            rename(type, row, value.toString());
        else if (col == 1 && c.item(type, row))
            c.setInt(ValueId::ResetTicks, secondsToTicks(value.toDouble()));
        break;
    case 4:
        switch (col) {
        case 0: {
            if (!setEventPriority(row, value.toInt()))
                return false;
            alsoFrom = this->index(0, 0);
            alsoTo = this->index(qMax(0, rowCount() - 1), 0);
            break;
        }
        case 1:
            rename(type, row, value.toString());
            break;
        case 2: case 5: case 8: {
            beginResetModel();
            const bool ok = setEventInput(row, (col - 2) / 3, value.toString());
            endResetModel();
            if (ok)
                m_modified = true;
            return ok;
        }
        case 3: case 6: case 9:
            if (c.item(type, row) && c.open(ItemType::RefEntry, (col - 3) / 3))
                c.setInt(ValueId::Condition, conditionCode(value.toString()));
            break;
        case 4: case 7:
            if (c.item(type, row) && c.open(ItemType::RefEntry, (col - 4) / 3))
                c.setInt(ValueId::Combine, combineCode(value.toString()));
            // Later inputs come into or go out of use.
            alsoFrom = this->index(row, 0);
            alsoTo = this->index(row, columnCount() - 1);
            break;
        default:
            break;
        }
        break;
    case 5:
        if (col == 0)
            rename(type, row, value.toString());
        break;
    case 6:
        if (col == 0) {
            rename(type, row, value.toString());
        } else if (col == 1) {
            if (c.item(type, row))
                c.setInt(ValueId::Data, ampsToSteps(value.toDouble()));
        } else if (col >= 2 && col <= 9) {
            if (c.item(type, row)) {
                QByteArray masks = c.block(ValueId::Lx1Masks);
                if (masks.size() != kLx1MaskBytes)
                    masks = QByteArray(kLx1MaskBytes, '\0');
                masks[col - 2] = char(parseMaskByte(value.toString()));
                c.setBlock(masks);
            }
        }
        break;
    case 9:
        // Reported as accepted whatever happened, but an unknown name changes nothing.
        if (col == 1 && !setPwmInput(row, value.toString())) {
            emit dataChanged(index, index);
            return true;
        }
        break;
    default:
        break;
    }

    m_modified = true;
    emit dataChanged(index, index);
    if (alsoFrom.isValid() && alsoTo.isValid())
        emit dataChanged(alsoFrom, alsoTo);
    return true;
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
