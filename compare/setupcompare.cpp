// The comparison engine: each table is read into rows of cell texts through
// the column table, items are matched, and what differs becomes Difference
// records.
#include "setupcompare.h"

#include <QCryptographicHash>
#include <QHash>
#include <QLocale>

#include <algorithm>

#include "imagecompiler.h"
#include "nametext.h"
#include "pmcolumns.h"
#include "pmmodel.h"
#include "setupview.h"

namespace kelda::compare {

namespace {

const QString kArrow = QStringLiteral(" \u2192 ");
const QString kDash = QStringLiteral("-");

// ------------------------------------------------------------ reading

// A cell's value as the table's view shows it: numbers in the item
// delegate's way (six significant digits), in the C locale so that the
// output does not depend on where it runs.
QString cellText(const QVariant &v)
{
    QString s;
    if (v.typeId() == QMetaType::Double || v.typeId() == QMetaType::Float)
        s = QLocale::c().toString(v.toDouble(), 'g', 6);
    else
        s = v.toString();
    return s.isNull() ? QStringLiteral("") : s;  // null marks a side that is not there
}

struct ItemRow {
    int row = 0;
    QString name;
    QStringList cells;  // the compared columns, in table order
    QList<QStringList> lists;  // entries of each list, by target name
};

struct Table {
    int mode = 0;
    const ModeSpec *spec = nullptr;
    bool fixed = false;  // rows are places (keys, switches, LEDs, modules): matched by row
    int nameColumn = -1;  // -1: the name is the first column's text (LX1 modules)
    QList<int> columns;  // the compared columns
    QStringList headers;  // their headers, numbered where a header repeats
    QStringList listNames;
    QList<ItemType> listTargets;
    QList<ItemRow> rows;
};

// The group a table's records go in: the tab's text, except that the LX1 PWM
// table is told apart from the option boxes that share its tab.
QString tableText(int mode)
{
    return mode == int(Mode::Pwm) ? QString::fromLatin1(kPwmTable) : QString::fromLatin1(modeSpec(mode)->table);
}

bool isFixedMode(int mode)
{
    return mode == int(Mode::Keypad) || mode == int(Mode::Switches) || mode == int(Mode::Lx2Leds)
        || mode == int(Mode::Pwm);
}

// What the user sets: editable columns that show a value (not the name,
// not the buttons that open the list editors).
bool isComparedColumn(const ColumnSpec &c)
{
    return c.editable && c.editor != EditorKind::Dialog && c.value != ValueId::Name;
}

// A list entry by the name of the item it reaches; "-" when it reaches none.
QStringList entryNames(const QList<ViewRef> &list)
{
    QStringList out;
    for (const ViewRef &r : list)
        out << (r.resolved() ? r.name : kDash);
    return out;
}

Table tableOf(int mode)
{
    Table t;
    t.mode = mode;
    t.spec = modeSpec(mode);
    t.fixed = isFixedMode(mode);
    const auto &cols = t.spec->columns;
    QHash<QString, int> headerCount;
    for (const ColumnSpec &c : cols)
        ++headerCount[QString::fromLatin1(c.header).trimmed()];
    for (int i = 0; i < int(cols.size()); ++i) {
        const ColumnSpec &c = cols[size_t(i)];
        if (c.value == ValueId::Name)
            t.nameColumn = i;
        if (!isComparedColumn(c))
            continue;
        const QString header = QString::fromLatin1(c.header).trimmed();
        t.columns << i;
        t.headers << (headerCount.value(header) > 1 ? header + QLatin1Char(' ') + QString::number(c.arg + 1) : header);
    }
    if (t.spec->type == ItemType::Event) {
        for (int l = 0; l < kEventListCount; ++l) {
            t.listNames << QString::fromLatin1(kEventListNames[size_t(l)]);
            t.listTargets << kEventListTargets[size_t(l)];
        }
    } else if (t.spec->type == ItemType::State) {
        for (int l = 0; l < kStateListCount; ++l) {
            t.listNames << QString::fromLatin1(kStateListNames[size_t(l)]);
            t.listTargets << kStateListTargets[size_t(l)];
        }
    }
    return t;
}

Table readTable(const SetupView &view, int mode)
{
    Table t = tableOf(mode);
    const int n = view.count(t.spec->type);
    for (int r = 0; r < n; ++r) {
        ItemRow item;
        item.row = r;
        item.name = cellText(view.cell(mode, r, t.nameColumn >= 0 ? t.nameColumn : 0)).trimmed();
        for (int col : std::as_const(t.columns))
            item.cells << cellText(view.cell(mode, r, col));
        for (int l = 0; l < t.listNames.size(); ++l)
            item.lists << entryNames(t.spec->type == ItemType::Event ? view.events.at(r).lists[size_t(l)]
                                                                     : view.states.at(r).lists[size_t(l)]);
        t.rows << item;
    }
    return t;
}

// ------------------------------------------------------------ renames

// Old name -> new name of renamed items, per table: a reference that
// followed its target through a rename is not a change.
using Renames = QHash<ItemType, QHash<QString, QString>>;

QString renamed(const Renames &renames, ItemType type, const QString &name)
{
    const auto table = renames.find(type);
    if (table == renames.end())
        return name;
    return table->value(name, name);
}

// Event inputs and PWM inputs name items; translate the old side's names.
QString translateCell(const Table &t, int columnIndex, const QString &text, const Renames &renames)
{
    const int col = t.columns[columnIndex];
    if (t.mode == int(Mode::Events)
        && (col == EventCol::input(0) || col == EventCol::input(1) || col == EventCol::input(2))) {
        const ItemType type = PMModel::prefixType(text);
        if (type == ItemType::None)
            return text;
        return text.left(kPrefixLength) + renamed(renames, type, text.mid(kPrefixLength));
    }
    if (t.mode == int(Mode::Pwm) && col == PwmCol::CanInput && text != QLatin1String(kNoneText))
        return renamed(renames, ItemType::CanInput, text);
    return text;
}

// The old item's cells and lists as they read once the renames are applied.
ItemRow translated(const Table &t, const ItemRow &item, const Renames &renames)
{
    ItemRow out = item;
    for (int i = 0; i < out.cells.size(); ++i)
        out.cells[i] = translateCell(t, i, out.cells[i], renames);
    for (int l = 0; l < out.lists.size(); ++l)
        for (QString &e : out.lists[l])
            e = renamed(renames, t.listTargets[l], e);
    return out;
}

bool sameContents(const ItemRow &a, const ItemRow &b)
{
    return a.cells == b.cells && a.lists == b.lists;
}

// ------------------------------------------------------------ texts

// A name in a line of text: quotes, backslashes and control characters
// escaped, so that one item never runs over two lines.
QString quoted(const QString &name)
{
    return QLatin1Char('"') + escapedName(name) + QLatin1Char('"');
}

QString plural(const char *noun)
{
    const QString n = QString::fromLatin1(noun);
    return n.endsWith(QLatin1String("ch")) ? n + QStringLiteral("es") : n + QLatin1Char('s');
}

QString rowText(int row)
{
    return QStringLiteral("row %1").arg(row + 1);
}

// "CAN Code: 0x100; Data: 5" or "Priority: 1; ...; States to Set: State 1, State 2": the cells that show
// something (not "-") and the lists that have entries.
QString contentsText(const Table &t, const ItemRow &item)
{
    QStringList cells;
    for (int i = 0; i < item.cells.size(); ++i)
        if (item.cells[i] != kDash)
            cells << t.headers[i] + QStringLiteral(": ") + visibleName(item.cells[i]);
    QStringList parts;
    if (!cells.isEmpty())
        parts << cells.join(QStringLiteral("; "));
    for (int l = 0; l < item.lists.size(); ++l)
        if (!item.lists[l].isEmpty())
            parts << t.listNames[l] + QStringLiteral(": ") + visibleName(item.lists[l].join(QStringLiteral(", ")));
    return parts.join(QStringLiteral("; "));
}

QString changesText(const QList<CellChange> &cells, const QList<ListChange> &lists)
{
    QStringList parts;
    for (const CellChange &c : cells)
        parts << c.column + QStringLiteral(": ") + visibleName(c.before) + kArrow + visibleName(c.after);
    for (const ListChange &l : lists) {
        if (l.reordered) {
            parts << l.list + QStringLiteral(": order ") + visibleName(l.before.join(QStringLiteral(", "))) + kArrow
                    + visibleName(l.after.join(QStringLiteral(", ")));
            continue;
        }
        QStringList entries;
        for (const QString &e : l.added)
            entries << QStringLiteral("+ ") + visibleName(e);
        for (const QString &e : l.removed)
            entries << QStringLiteral("- ") + visibleName(e);
        parts << l.list + QStringLiteral(": ") + entries.join(QStringLiteral(", "));
    }
    return parts.join(QStringLiteral("; "));
}

// ------------------------------------------------------------ comparing

// Entries of b that a lacks, as a multiset: each entry of a cancels one of b.
QStringList missingFrom(const QStringList &a, const QStringList &b)
{
    QStringList rest = a;
    QStringList out;
    for (const QString &e : b) {
        const qsizetype i = rest.indexOf(e);
        if (i >= 0)
            rest.removeAt(i);
        else
            out << e;
    }
    return out;
}

QList<ListChange> listChanges(const Table &t, const ItemRow &a, const ItemRow &b)
{
    QList<ListChange> out;
    for (int l = 0; l < t.listNames.size(); ++l) {
        const QStringList &before = a.lists.value(l);
        const QStringList &after = b.lists.value(l);
        if (before == after)
            continue;
        ListChange ch;
        ch.list = t.listNames[l];
        ch.added = missingFrom(before, after);
        ch.removed = missingFrom(after, before);
        if (ch.added.isEmpty() && ch.removed.isEmpty()) {
            ch.reordered = true;
            ch.before = before;
            ch.after = after;
        }
        out << ch;
    }
    return out;
}

// Indices (into `seq`) of one longest strictly increasing subsequence.
QList<int> longestIncreasing(const QList<int> &seq)
{
    QList<int> tails;  // index into seq of the smallest tail of each length
    QList<int> prev(seq.size(), -1);
    for (int i = 0; i < seq.size(); ++i) {
        int lo = 0, hi = int(tails.size());
        while (lo < hi) {
            const int mid = (lo + hi) / 2;
            if (seq[tails[mid]] < seq[i])
                lo = mid + 1;
            else
                hi = mid;
        }
        if (lo > 0)
            prev[i] = tails[lo - 1];
        if (lo == tails.size())
            tails << i;
        else
            tails[lo] = i;
    }
    QList<int> out;
    for (int i = tails.isEmpty() ? -1 : tails.last(); i >= 0; i = prev[i])
        out.prepend(i);
    return out;
}

struct Pair {
    int a;
    int b;
};

class TableComparer
{
public:
    TableComparer(const Table &oldTable, const Table &newTable, Renames &renames, const QString &oldLabel,
                  const QString &newLabel)
        : m_a(oldTable), m_b(newTable), m_renames(renames), m_oldLabel(oldLabel), m_newLabel(newLabel)
    { }

    // Matches the items and records renames; the records come from report().
    void match()
    {
        const int na = int(m_a.rows.size());
        const int nb = int(m_b.rows.size());
        m_matchedA = QList<bool>(na, false);
        m_matchedB = QList<bool>(nb, false);
        if (m_a.fixed) {
            for (int r = 0; r < qMin(na, nb); ++r)
                pair(r, r);
        } else {
            matchByName();
            matchRenamesInPlace();
        }
        std::sort(m_pairs.begin(), m_pairs.end(), [](const Pair &x, const Pair &y) { return x.a < y.a; });
        auto &names = m_renames[m_a.spec->type];
        for (const Pair &p : std::as_const(m_pairs)) {
            const QString &from = m_a.rows[p.a].name;
            const QString &to = m_b.rows[p.b].name;
            // References reach the first item of a name, so only its rename carries them.
            if (from != to && !names.contains(from) && isFirstOfName(m_a, p.a))
                names.insert(from, to);
        }
    }

    QList<Difference> report() const
    {
        QList<Difference> out = notes();
        QList<int> bRows;
        for (const Pair &p : m_pairs)
            bRows << p.b;
        QList<bool> stays(m_pairs.size(), false);
        for (int i : longestIncreasing(bRows))
            stays[i] = true;
        // Old rows first, in row order, so removed items show where they were.
        QList<Difference> items;
        for (int i = 0; i < m_pairs.size(); ++i) {
            Difference d;
            if (compared(m_pairs[i], !m_a.fixed && !stays[i], d))
                items << d;
        }
        for (int r = 0; r < m_a.rows.size(); ++r)
            if (!m_matchedA[r])
                items << onlyIn(Kind::Removed, m_a.rows[r]);
        for (int r = 0; r < m_b.rows.size(); ++r)
            if (!m_matchedB[r])
                items << onlyIn(Kind::Added, m_b.rows[r]);
        std::stable_sort(items.begin(), items.end(),
                         [](const Difference &x, const Difference &y) { return sortRow(x) < sortRow(y); });
        return out + items;
    }

private:
    static int sortRow(const Difference &d) { return d.newRow >= 0 ? d.newRow : d.oldRow; }

    void pair(int a, int b)
    {
        m_pairs << Pair{a, b};
        m_matchedA[a] = true;
        m_matchedB[b] = true;
    }

    static bool isFirstOfName(const Table &t, int row)
    {
        for (int r = 0; r < row; ++r)
            if (t.rows[r].name == t.rows[row].name)
                return false;
        return true;
    }

    // The k-th item of a name in one setup goes with the k-th of that name in
    // the other; for the first, that is the item references reach.
    void matchByName()
    {
        QHash<QString, QList<int>> byName;
        for (const ItemRow &r : m_b.rows)
            byName[r.name] << r.row;
        QHash<QString, int> used;
        for (const ItemRow &r : m_a.rows) {
            const QList<int> candidates = byName.value(r.name);
            int &k = used[r.name];
            if (k < candidates.size())
                pair(r.row, candidates[k++]);
        }
    }

    // An item left over on both sides at the same row with the same contents
    // was renamed. Renames of the tables it names are applied first.
    void matchRenamesInPlace()
    {
        for (int r = 0; r < qMin(m_a.rows.size(), m_b.rows.size()); ++r) {
            if (m_matchedA[r] || m_matchedB[r])
                continue;
            if (sameContents(translated(m_a, m_a.rows[r], m_renames), m_b.rows[r]))
                pair(r, r);
        }
    }

    QString noun() const { return QString::fromLatin1(m_a.spec->noun); }

    Difference base(Kind kind) const
    {
        Difference d;
        d.kind = kind;
        d.table = tableText(m_a.mode);
        d.mode = m_a.mode;
        return d;
    }

    // False when the two items are the same.
    bool compared(const Pair &p, bool moved, Difference &d) const
    {
        const ItemRow &b = m_b.rows[p.b];
        const ItemRow a = translated(m_a, m_a.rows[p.a], m_renames);
        d = base(Kind::Changed);
        d.oldRow = p.a;
        d.newRow = p.b;
        d.name = b.name;
        const bool wasRenamed = a.name != b.name;
        if (wasRenamed)
            d.oldName = a.name;
        for (int i = 0; i < a.cells.size(); ++i)
            if (a.cells[i] != b.cells[i])
                d.cells << CellChange{m_a.headers[i], m_a.rows[p.a].cells[i], b.cells[i]};
        d.entries = listChanges(m_a, a, b);

        const QString movedText = QStringLiteral("moved from %1 to %2").arg(rowText(p.a), rowText(p.b));
        if (!d.cells.isEmpty() || !d.entries.isEmpty()) {
            d.kind = Kind::Changed;
            QString head = QStringLiteral("changed %1 %2").arg(noun(), quoted(b.name));
            if (wasRenamed)
                head = QStringLiteral("changed %1 %2 (renamed from %3)").arg(noun(), quoted(b.name), quoted(a.name));
            d.message = head + QStringLiteral(": ") + changesText(d.cells, d.entries);
            if (moved)
                d.message += QStringLiteral("; ") + movedText;
        } else if (wasRenamed) {
            d.kind = Kind::Renamed;
            d.message = QStringLiteral("renamed %1 %2%3%4").arg(noun(), quoted(a.name), kArrow, quoted(b.name));
            if (m_a.fixed)
                d.message += QStringLiteral(" (%1)").arg(rowText(p.b));
            if (moved)
                d.message += QStringLiteral("; ") + movedText;
        } else if (moved) {
            d.kind = Kind::Moved;
            d.message =
                QStringLiteral("moved %1 %2 from %3 to %4").arg(noun(), quoted(b.name), rowText(p.a), rowText(p.b));
        } else {
            return false;
        }
        return true;
    }

    Difference onlyIn(Kind kind, const ItemRow &item) const
    {
        const Table &t = kind == Kind::Added ? m_b : m_a;
        Difference d = base(kind);
        (kind == Kind::Added ? d.newRow : d.oldRow) = item.row;
        d.name = item.name;
        for (int i = 0; i < item.cells.size(); ++i) {
            CellChange c{t.headers[i], QString(), QString()};
            (kind == Kind::Added ? c.after : c.before) = item.cells[i];
            d.cells << c;
        }
        for (int l = 0; l < item.lists.size(); ++l) {
            if (item.lists[l].isEmpty())
                continue;
            ListChange ch;
            ch.list = t.listNames[l];
            (kind == Kind::Added ? ch.added : ch.removed) = item.lists[l];
            d.entries << ch;
        }
        d.message = QStringLiteral("%1 %2 %3 (%4)")
                        .arg(kind == Kind::Added ? QStringLiteral("added") : QStringLiteral("removed"), noun(),
                             quoted(item.name), rowText(item.row));
        const QString contents = contentsText(t, item);
        if (kind == Kind::Added && !contents.isEmpty())
            d.message += QStringLiteral(": ") + contents;
        return d;
    }

    // Names used by more than one item of a table, in either setup.
    QList<Difference> notes() const
    {
        QList<Difference> out;
        if (m_a.fixed)
            return out;
        for (const Table *t : {&m_a, &m_b}) {
            const QString &label = t == &m_a ? m_oldLabel : m_newLabel;
            QHash<QString, QList<int>> rows;
            QStringList order;
            for (const ItemRow &r : t->rows) {
                if (!rows.contains(r.name))
                    order << r.name;
                rows[r.name] << r.row;
            }
            for (const QString &name : std::as_const(order)) {
                const QList<int> &at = rows[name];
                if (at.size() < 2)
                    continue;
                QStringList numbers;
                for (int r : at)
                    numbers << QString::number(r + 1);
                Difference d = base(Kind::Note);
                d.name = name;
                (t == &m_a ? d.oldRow : d.newRow) = at.first();
                d.message = QStringLiteral("%1 %2 are named %3 in %4 (rows %5): the first is matched by name and "
                                           "is the one that references reach; the others are matched in row order")
                                .arg(at.size())
                                .arg(plural(m_a.spec->noun), quoted(name), label, numbers.join(QStringLiteral(", ")));
                out << d;
            }
        }
        return out;
    }

    const Table &m_a;
    const Table &m_b;
    Renames &m_renames;
    QString m_oldLabel, m_newLabel;
    QList<Pair> m_pairs;
    QList<bool> m_matchedA, m_matchedB;
};

// ------------------------------------------------------------ options

// An option as its box on the options page shows it, from the options table.
QString optionText(const SetupView &view, int index)
{
    const OptionSpec *spec = optionSpec(index);
    if (!spec)
        return QString();
    const double shown = view.option(index);
    switch (spec->kind) {
    case OptionKind::Seconds:
        return QLocale::c().toString(shown, 'f', 2);  // as the spin box shows it
    case OptionKind::Count:
        return QString::number(int(shown));
    case OptionKind::Choice: {
        const std::optional<uint16_t> stored = view.options[size_t(index)];
        if (!stored)
            return QString::fromLatin1(kCanSpeeds[0].text) + QStringLiteral(" (no value stored)");
        for (const CanSpeed &s : kCanSpeeds)
            if (s.code == *stored)
                return QString::fromLatin1(s.text);
        // The page would show "1 Mhz"; the module would get this code.
        return QStringLiteral("code 0x%1 (no CAN speed)")
            .arg(QString::number(*stored, 16).toUpper().rightJustified(4, QLatin1Char('0')));
    }
    case OptionKind::Identifier:
        return QStringLiteral("0x") + QStringLiteral("%1").arg(uint(shown), 3, 16, QLatin1Char('0')).toUpper();
    }
    return QString();
}

QList<Difference> compareOptions(const SetupView &a, const SetupView &b)
{
    QList<Difference> out;
    for (int i = 0; i < kOptionCount; ++i) {
        const QString before = optionText(a, i);
        const QString after = optionText(b, i);
        if (before == after)
            continue;
        Difference d;
        d.kind = Kind::Changed;
        d.table = QString::fromLatin1(kOptionsTable);
        d.mode = int(Mode::Pwm);  // the Options tab
        d.oldRow = d.newRow = i;
        d.name = QString::fromLatin1(optionSpec(i)->label);
        d.cells << CellChange{d.name, before, after};
        d.message = d.name + QStringLiteral(": ") + before + kArrow + after;
        out << d;
    }
    return out;
}

// ------------------------------------------------------------ image

struct Image {
    bool ok = false;
    QByteArray bytes;
    QString error;
};

Image compile(StoreSession session)
{
    Image img;
    img.ok = kelda::image::compileImage(session, &img.bytes, &img.error);
    return img;
}

QString bytesText(qint64 n)
{
    return n == 1 ? QStringLiteral("1 byte") : QStringLiteral("%1 bytes").arg(n);
}

void compareImages(StoreSession a, StoreSession b, const QString &oldLabel, const QString &newLabel, Comparison &out)
{
    const Image ia = compile(a);
    const Image ib = compile(b);
    if (!ia.ok || !ib.ok) {
        out.image = ImageResult::NotCompared;
        QStringList why;
        if (!ia.ok)
            why << QStringLiteral("%1 cannot be compiled: %2").arg(oldLabel, ia.error);
        if (!ib.ok)
            why << QStringLiteral("%1 cannot be compiled: %2").arg(newLabel, ib.error);
        out.imageMessage = QStringLiteral("not compared: ") + why.join(QStringLiteral("; "));
        return;
    }
    out.oldImageBytes = ia.bytes.size();
    out.newImageBytes = ib.bytes.size();
    if (ia.bytes == ib.bytes) {
        out.image = ImageResult::Identical;
        out.imageMessage = QStringLiteral("identical (%1)").arg(bytesText(ia.bytes.size()));
        return;
    }
    out.image = ImageResult::Different;
    qsizetype first = 0;
    while (first < ia.bytes.size() && first < ib.bytes.size() && ia.bytes[first] == ib.bytes[first])
        ++first;
    QString detail = ia.bytes.size() == ib.bytes.size()
        ? QStringLiteral("%1 each").arg(bytesText(ia.bytes.size()))
        : QStringLiteral("%1%2%3").arg(bytesText(ia.bytes.size()), kArrow, bytesText(ib.bytes.size()));
    out.imageMessage = QStringLiteral("differ from byte %1 on (%2)").arg(first).arg(detail);
    Difference d;
    d.kind = Kind::Image;
    d.table = QString::fromLatin1(kImageTable);
    d.message = QStringLiteral("the compiled images ") + out.imageMessage;
    out.differences << d;
}

// Tables whose items others name come before the tables that name them, so
// that a rename is known before the references that followed it are compared.
constexpr int kMatchOrder[] = {
    int(Mode::Keypad),     int(Mode::Switches),   int(Mode::Lx2Leds), int(Mode::CanInputs), int(Mode::Timers),
    int(Mode::Lx1Outputs), int(Mode::CanOutputs), int(Mode::States),  int(Mode::Events),    int(Mode::Pwm),
};
static_assert(std::size(kMatchOrder) == kModeCount);

}  // namespace

QString kindName(Kind kind)
{
    switch (kind) {
    case Kind::Added:
        return QStringLiteral("added");
    case Kind::Removed:
        return QStringLiteral("removed");
    case Kind::Renamed:
        return QStringLiteral("renamed");
    case Kind::Changed:
        return QStringLiteral("changed");
    case Kind::Moved:
        return QStringLiteral("moved");
    case Kind::Image:
        return QStringLiteral("image");
    case Kind::Note:
        return QStringLiteral("note");
    }
    return QString();
}

bool Comparison::same() const
{
    return std::none_of(differences.begin(), differences.end(), [](const Difference &d) { return d.counts(); });
}

Comparison compareSetups(StoreSession oldSetup, StoreSession newSetup, const QString &oldLabel, const QString &newLabel)
{
    const SetupView oldView = SetupView::read(oldSetup);
    const SetupView newView = SetupView::read(newSetup);
    Renames renames;
    QList<Difference> byMode[kModeCount];
    for (int mode : kMatchOrder) {
        const Table a = readTable(oldView, mode);
        const Table b = readTable(newView, mode);
        TableComparer comparer(a, b, renames, oldLabel, newLabel);
        comparer.match();
        byMode[mode] = comparer.report();
    }
    Comparison out;
    for (int mode = 0; mode < kModeCount; ++mode) {
        if (mode == int(Mode::Pwm))
            out.differences << compareOptions(oldView, newView);
        out.differences << byMode[mode];
    }
    compareImages(oldSetup, newSetup, oldLabel, newLabel, out);
    return out;
}

QStringList describeSetup(StoreSession setup)
{
    const SetupView view = SetupView::read(setup);
    QStringList lines;
    for (int mode = 0; mode < kModeCount; ++mode) {
        if (mode == int(Mode::Pwm)) {
            for (int i = 0; i < kOptionCount; ++i)
                lines << QStringLiteral("%1: %2: %3")
                             .arg(QLatin1String(kOptionsTable), QLatin1String(optionSpec(i)->label),
                                  optionText(view, i));
        }
        const Table t = readTable(view, mode);
        for (const ItemRow &item : t.rows) {
            // Rows of the fixed tables are places; other rows shift when one is removed.
            QString line = tableText(t.mode);
            if (t.fixed && t.nameColumn >= 0)
                line += QStringLiteral(" %1").arg(rowText(item.row));
            line += QLatin1Char(' ') + quoted(item.name);
            const QString contents = contentsText(t, item);
            if (!contents.isEmpty())
                line += QStringLiteral(": ") + contents;
            lines << line;
        }
    }
    const Image img = compile(setup);
    if (img.ok) {
        const QByteArray hash = QCryptographicHash::hash(img.bytes, QCryptographicHash::Sha256).toHex().left(16);
        lines << QStringLiteral("%1: %2, SHA-256 %3")
                     .arg(QLatin1String(kImageTable), bytesText(img.bytes.size()), QString::fromLatin1(hash));
    } else {
        lines << QStringLiteral("%1: cannot be compiled: %2").arg(QLatin1String(kImageTable), img.error);
    }
    return lines;
}

}  // namespace kelda::compare
