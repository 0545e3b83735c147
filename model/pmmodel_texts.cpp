// PMModel: summary texts of event inputs and the choice lists built from the setup.
#include "pmmodel.h"
#include "pmmodel_p.h"

using namespace kelda;
using namespace kelda::detail;

namespace {

constexpr ItemType kInputTypes[] = {ItemType::KeypadKey, ItemType::Switch, ItemType::CanInput, ItemType::Timer,
                                    ItemType::State};

const QString kDash = QStringLiteral("-");

}  // namespace

QString PMModel::typePrefix(ItemType type)
{
    return QString::fromLatin1(typePrefixText(type));
}

ItemType PMModel::prefixType(const QString &text)
{
    const QString prefix = text.left(kPrefixLength);
    for (ItemType t : kInputTypes)
        if (prefix == QLatin1String(typePrefixText(t)))
            return t;
    return ItemType::None;
}

QString PMModel::conditionText(int code)
{
    if (code < 0 || code >= int(kConditionTexts.size()))
        return kDash;
    return QString::fromLatin1(kConditionTexts[size_t(code)]);
}

int PMModel::normalizeCondition(ItemType type, int code, bool *wasValid)
{
    int out = code;
    switch (type) {
    case ItemType::KeypadKey:
    case ItemType::Timer:
    case ItemType::State:
    case ItemType::Switch:
    case ItemType::CanInput: {
        const ConditionRange r = conditionRange(type);
        out = code >= int(r.first) && code <= int(r.last) ? code : int(r.first);
        break;
    }
    default:
        break;  // other types keep any code
    }
    if (wasValid)
        *wasValid = out == code;
    return out;
}

// A cell of the events table's input columns; "-" for an input it lacks
// (the last input has no "With").
static QString eventInputCell(const PMModel &m, int row, int input, int column)
{
    const ColumnSpec *spec = columnSpec(int(Mode::Events), column);
    if (input < 0 || input >= kEventInputCount || !spec || EventCol::inputOf(column) != input)
        return kDash;
    return modelCell(m, ItemType::Event, row, *spec).toString();
}

QString PMModel::eventInputText(int row, int input) const
{
    return eventInputCell(*this, row, input, EventCol::input(input));
}

QString PMModel::eventConditionText(int row, int input) const
{
    return eventInputCell(*this, row, input, EventCol::type(input));
}

QString PMModel::eventCombineText(int row, int input) const
{
    return input < kEventInputCount - 1 ? eventInputCell(*this, row, input, EventCol::with(input)) : kDash;
}

// Prefix + Name of every item of the type, in row order.
static QStringList prefixedNames(StoreSession s, ItemType type, const QString &prefix)
{
    QStringList out;
    StoreCursor c(s);
    if (!c.setup())
        return out;
    const int n = c.count(type);
    out.reserve(n);
    for (int i = 0; i < n; ++i) {
        if (!c.open(type, i))
            continue;
        out << prefix + c.textOr(ValueId::Name);
        c.close();
    }
    return out;
}

QStringList PMModel::itemChoices(ItemType type) const
{
    return prefixedNames(liveSession(), type, typePrefix(type));
}

QStringList PMModel::inputChoices() const
{
    QStringList out;
    for (ItemType t : kInputTypes)
        out << itemChoices(t);
    return out;
}

QStringList PMModel::canInputNames() const
{
    return prefixedNames(liveSession(), ItemType::CanInput, QString());
}

QStringList PMModel::stateChoices() const
{
    return itemChoices(ItemType::State);
}

QStringList PMModel::timerChoices() const
{
    return itemChoices(ItemType::Timer);
}

QStringList PMModel::conditionChoices(int row, int column) const
{
    QStringList out;
    const int k = EventCol::inputOf(column);
    StoreCursor c(liveSession());
    if (column < EventCol::Input1 || !c.item(ItemType::Event, row) || !openEventInput(c, k, false) || !c.follow())
        return out;
    ItemType type;
    int index;
    if (!c.parent(type, index))
        return out;
    for (int code = 0; code < int(kConditionTexts.size()); ++code) {
        bool valid = false;
        normalizeCondition(type, code, &valid);
        if (valid)
            out << conditionText(code);
    }
    return out;
}

QString PMModel::listSummary(int row) const
{
    const ItemType owner = listOwnerType();
    const int lists = owner == ItemType::Event ? kEventListCount : owner == ItemType::State ? kStateListCount : 0;
    QStringList lines;
    for (int list = 0; list < lists; ++list) {
        QStringList names;
        const int n = listEntryCount(row, list);
        for (int e = 0; e < n; ++e) {
            const QString name = listEntryName(row, list, e);
            names << (name.isEmpty() ? QStringLiteral("-") : name);
        }
        const char *title = owner == ItemType::Event ? kEventListNames[size_t(list)] : kStateListNames[size_t(list)];
        lines << QStringLiteral("%1: %2").arg(
            QLatin1String(title), names.isEmpty() ? QStringLiteral("none") : names.join(QStringLiteral(", ")));
    }
    return lines.join(QLatin1Char('\n'));
}
