#include "imagediff.h"

#include <QLocale>

#include <algorithm>
#include <array>
#include <optional>

#include "celltext.h"
#include "imageformat.h"
#include "pmcolumns.h"
#include "setupview.h"

namespace kelda::image {

namespace {

using kelda::detail::byteSelectText;
using kelda::detail::canCodeText;
using kelda::detail::canCompareText;
using kelda::detail::maskByteText;
using kelda::detail::stepsToAmps;
using kelda::detail::ticksToSeconds;

// A record as its fields read: what is compared and what a line shows.
struct Field {
    QString label;
    QString text;
    bool operator==(const Field &) const = default;
};
using Record = QList<Field>;

// Bounds-checked reads: a module's image may be anything.
struct Reader {
    const QByteArray &data;
    bool ok = true;
    int u8(qsizetype pos)
    {
        bool fits = false;
        const int v = readU8(data, pos, &fits);
        ok = ok && fits;
        return v;
    }
    int u16(qsizetype pos)
    {
        bool fits = false;
        const int v = readU16(data, pos, &fits);
        ok = ok && fits;
        return v;
    }
};

struct InputEntry {
    int kind = 0, number = 0, condition = 0, join = 0;
};

struct EventRecord {
    QList<InputEntry> inputs;
    std::array<QList<int>, kEventListCount> lists;
};

struct StateRecord {
    uint32_t mask = 0;
    QList<int> lx1, can;
};

// An image read back into its tables, by section.
struct Parsed {
    QList<int> timers;
    QList<EventRecord> events;
    QList<std::array<int, 3>> canInputs;  // descriptor, comparison, data
    QList<std::array<int, 2>> canOutputs;  // descriptor, data
    QList<StateRecord> states;
    QList<std::pair<int, QByteArray>> lx1Outputs;
    QList<std::pair<int, bool>> receive;  // identifier, little endian
    QList<int> transmit;
    QList<int> options;
    QList<int> pwm;
};

QList<int> itemList(Reader &r, qsizetype *pos)
{
    QList<int> items;
    const int n = r.u8((*pos)++);
    for (int i = 0; i < n && r.ok; ++i)
        items << r.u8((*pos)++);
    return items;
}

void readEvents(Reader &r, Parsed &p)
{
    const int inputs = sectionOffset(r.data, Section::EventInputs);
    const int actions = sectionOffset(r.data, Section::EventActions);
    const int count = r.u8(inputs);
    for (int e = 0; e < count && r.ok; ++e) {
        EventRecord ev;
        qsizetype at = r.u16(inputs + kCountSize + kOffsetSize * e);
        for (int i = 0; i < kMaxInputEntries && r.ok; ++i, at += kInputEntrySize) {
            const InputEntry in{r.u8(at), r.u8(at + 1), r.u8(at + 2), r.u8(at + 3)};
            ev.inputs << in;
            if (in.join == 0)
                break;
        }
        qsizetype act = r.u16(actions + kOffsetSize * e);
        for (QList<int> &list : ev.lists)
            list = itemList(r, &act);
        p.events << ev;
    }
}

void readStates(Reader &r, Parsed &p)
{
    const int base = sectionOffset(r.data, Section::States);
    const int count = r.u8(base);
    for (int s = 0; s < count && r.ok; ++s) {
        qsizetype at = r.u16(base + kCountSize + kOffsetSize * s);
        StateRecord st;
        st.mask = uint32_t(r.u16(at)) | uint32_t(r.u16(at + 2)) << 16;
        at += kStateMaskSize;
        st.lx1 = itemList(r, &at);
        st.can = itemList(r, &at);
        p.states << st;
    }
}

void readTables(Reader &r, Parsed &p)
{
    qsizetype at = sectionOffset(r.data, Section::Timers);
    for (int i = 0, n = r.u8(at++); i < n && r.ok; ++i, at += kTimerEntrySize)
        p.timers << r.u16(at);
    at = sectionOffset(r.data, Section::CanInputs);
    for (int i = 0, n = r.u8(at++); i < n && r.ok; ++i, at += kCanInputEntrySize)
        p.canInputs << std::array<int, 3>{r.u8(at), r.u8(at + 1), r.u16(at + 2)};
    at = sectionOffset(r.data, Section::CanOutputs);
    for (int i = 0, n = r.u8(at++); i < n && r.ok; ++i, at += kCanOutputEntrySize)
        p.canOutputs << std::array<int, 2>{r.u8(at), r.u16(at + 1)};
    at = sectionOffset(r.data, Section::Lx1Outputs);
    for (int i = 0, n = r.u8(at++); i < n && r.ok; ++i, at += kLx1OutputEntrySize) {
        r.u8(at + kLx1OutputEntrySize - 1);
        p.lx1Outputs << std::pair{r.u16(at), r.data.mid(at + 2, kLx1MaskBytes)};
    }
    at = sectionOffset(r.data, Section::ReceiveIds);
    for (int i = 0, n = r.u8(at++); i < n && r.ok; ++i, at += kIdentifierEntrySize)
        p.receive << std::pair{int(identifierOfWord(uint16_t(r.u16(at)))), r.u16(at + 2) == kLittleEndianWord};
    at = sectionOffset(r.data, Section::TransmitIds);
    for (int i = 0, n = r.u8(at++); i < n && r.ok; ++i, at += kIdentifierEntrySize)
        p.transmit << identifierOfWord(uint16_t(r.u16(at)));
    at = sectionOffset(r.data, Section::Options);
    const qsizetype optionBytes = r.data.size() - at - kPwmDescriptorCount;
    for (qsizetype i = 0; i + kOptionEntrySize <= optionBytes && r.ok; i += kOptionEntrySize)
        p.options << r.u16(at + i);
    for (int m = 0; m < kPwmDescriptorCount && r.ok; ++m)
        p.pwm << r.u8(at + std::max<qsizetype>(optionBytes, 0) + m);
}

std::optional<Parsed> parse(const QByteArray &image, QString *why)
{
    Reader r{image};
    if (r.u16(0) != kHeaderSize || !r.ok) {
        *why = image.isEmpty() ? QStringLiteral("it holds no image") : QStringLiteral("its header is not an image's");
        return std::nullopt;
    }
    for (int s = 1; s <= kSectionCount; ++s)
        if (r.u16(headerWordOffset(s)) > image.size())
            r.ok = false;
    Parsed p;
    if (r.ok)
        readTables(r, p);
    if (r.ok)
        readEvents(r, p);
    if (r.ok)
        readStates(r, p);
    if (!r.ok) {
        *why = QStringLiteral("a section reaches beyond its %1 bytes").arg(image.size());
        return std::nullopt;
    }
    return p;
}

// ------------------------------------------------------------ describing

QString number(double v)
{
    return QLocale::c().toString(v, 'g', 6);
}

// A run time: two decimals, three where a 5 ms tick needs them.
QString seconds(int ticks)
{
    return QLocale::c().toString(ticksToSeconds(ticks), 'f', ticks % 2 ? 3 : 2) + QStringLiteral(" s");
}

QString quoted(const QString &name)
{
    return QLatin1Char('"') + name + QLatin1Char('"');
}

// Turns item numbers into the open setup's names.
struct Namer {
    const SetupView &view;

    QString item(ItemType type, const char *noun, int number) const
    {
        const QStringList names = view.names(type);
        if (number >= 1 && number <= names.size())
            return quoted(names.at(number - 1));
        return QStringLiteral("%1 %2").arg(QLatin1String(noun)).arg(number);
    }
    QString items(ItemType type, const char *noun, const QList<int> &numbers) const
    {
        QStringList out;
        for (const int n : numbers)
            out << (n == 0 ? QStringLiteral("-") : item(type, noun, n));
        return out.isEmpty() ? QStringLiteral("none") : out.join(QStringLiteral(", "));
    }
};

QString inputText(const Namer &namer, const InputEntry &in)
{
    static const std::array<const char *, 6> nouns = {"source", "key", "timer", "CAN input", "state", "switch"};
    const ItemType type = sourceItemType(uint8_t(in.kind));
    QString target = QStringLiteral("source kind %1 item %2").arg(in.kind).arg(in.number);
    if (type != ItemType::None) {
        const char *noun = nouns[size_t(in.kind)];
        target = namer.item(type, noun, in.number);
        if (target.startsWith(QLatin1Char('"')))
            target = QLatin1String(noun) + QLatin1Char(' ') + target;
    }
    const QString condition = size_t(in.condition) < kConditionTexts.size()
        ? QLatin1String(kConditionTexts[size_t(in.condition)])
        : QStringLiteral("condition %1").arg(in.condition);
    return target + QLatin1Char(' ') + condition;
}

Record eventRecord(const Namer &namer, const EventRecord &ev)
{
    QStringList inputs;
    for (const InputEntry &in : ev.inputs) {
        inputs << inputText(namer, in);
        if (in.join == int(Combine::And) || in.join == int(Combine::Or))
            inputs << kelda::detail::combineText(in.join);
    }
    if (!ev.inputs.isEmpty() && (ev.inputs.last().join == 1 || ev.inputs.last().join == 2))
        inputs.removeLast();  // a third entry's join continues nothing
    Record r{{QStringLiteral("inputs"), inputs.join(QLatin1Char(' '))}};
    for (int l = 0; l < kEventListCount; ++l) {
        const ItemType type = kEventListTargets[size_t(l)];
        r << Field{QLatin1String(kEventListNames[size_t(l)]),
                   namer.items(type, type == ItemType::State ? "state" : "timer", ev.lists[size_t(l)])};
    }
    return r;
}

Record stateRecord(const Namer &namer, const StateRecord &st)
{
    QList<int> leds;
    for (int n = 0; n < kLx2LedCount; ++n)
        if (st.mask & (uint32_t(1) << n))
            leds << n + 1;
    return {{QLatin1String(kStateListNames[0]), namer.items(ItemType::Lx2Led, "LX2 LED", leds)},
            {QLatin1String(kStateListNames[1]), namer.items(ItemType::Lx1Output, "LX1 output", st.lx1)},
            {QLatin1String(kStateListNames[2]), namer.items(ItemType::CanOutput, "CAN output", st.can)}};
}

// A channel descriptor as the tables show it: identifier, byte or word.
QString channelText(int descriptor, const QList<int> &identifiers)
{
    if (descriptor == 0)
        return QStringLiteral("none");
    const auto d = uint8_t(descriptor);
    int position = 0;
    int select = 0;
    if (isByteChannel(d)) {
        position = byteChannelPosition(d);
        select = byteChannelByte(d) ? 1 << (byteChannelByte(d) - 1) : 0;
    } else {
        static constexpr std::array<int, 5> words = {0, 3, 12, 48, 192};
        position = wordChannelPosition(d);
        select = words[size_t(wordChannelWord(d))];
    }
    const QString id = position >= 0 && position < identifiers.size() ? canCodeText(identifiers.at(position))
                                                                      : QStringLiteral("no identifier");
    const QString part = byteSelectText(select);
    return part.isEmpty() ? id : id + QLatin1Char(' ') + part;
}

QList<int> identifiersOf(const QList<std::pair<int, bool>> &list)
{
    QList<int> ids;
    for (const auto &e : list)
        ids << e.first;
    return ids;
}

// An option as its box shows it, through the option table's conversion.
QString optionText(int index, int stored)
{
    const OptionSpec *spec = optionSpec(index);
    if (!spec)
        return QString::number(stored);
    const double shown = optionShown(index, uint16_t(stored));
    switch (spec->kind) {
    case OptionKind::Seconds:
        return QLocale::c().toString(shown, 'f', 2);
    case OptionKind::Count:
        return QString::number(int(shown));
    case OptionKind::Choice:
        for (const CanSpeed &s : kCanSpeeds)
            if (s.code == stored)
                return QLatin1String(s.text);
        return QStringLiteral("code 0x%1").arg(QString::number(stored, 16).toUpper().rightJustified(4, u'0'));
    case OptionKind::Identifier:
        return canCodeText(int(shown));
    }
    return QString::number(stored);
}

// ------------------------------------------------------------ comparing

// One table of records on both sides.
struct Table {
    const char *noun;
    ItemType type;
    bool fixed = false;  // places, not rows: matched by number
    QList<Record> module, setup;
    QStringList names;  // the setup's records' names, in image order
};

// Pairs of (module index, setup index), -1 for a side it is not on, in order:
// the longest run of equal records, the records between them paired by place.
QList<std::pair<int, int>> align(const QList<Record> &a, const QList<Record> &b)
{
    const qsizetype n = a.size();
    const qsizetype m = b.size();
    std::vector<std::vector<int>> lcs(size_t(n + 1), std::vector<int>(size_t(m + 1), 0));
    for (qsizetype i = n - 1; i >= 0; --i)
        for (qsizetype j = m - 1; j >= 0; --j)
            lcs[size_t(i)][size_t(j)] = a[i] == b[j]
                ? lcs[size_t(i + 1)][size_t(j + 1)] + 1
                : std::max(lcs[size_t(i + 1)][size_t(j)], lcs[size_t(i)][size_t(j + 1)]);
    QList<std::pair<int, int>> pairs;
    QList<int> gapA, gapB;
    const auto flush = [&] {
        for (qsizetype k = 0; k < std::max(gapA.size(), gapB.size()); ++k)
            pairs << std::pair{int(k < gapA.size() ? gapA[k] : -1), int(k < gapB.size() ? gapB[k] : -1)};
        gapA.clear();
        gapB.clear();
    };
    qsizetype i = 0, j = 0;
    while (i < n || j < m) {
        if (i < n && j < m && a[i] == b[j]) {
            flush();
            pairs << std::pair{int(i++), int(j++)};
        } else if (j >= m || (i < n && lcs[size_t(i + 1)][size_t(j)] >= lcs[size_t(i)][size_t(j + 1)])) {
            gapA << int(i++);
        } else {
            gapB << int(j++);
        }
    }
    flush();
    return pairs;
}

QString fieldsText(const Record &r)
{
    QStringList parts;
    for (const Field &f : r)
        parts << (f.label.isEmpty() ? f.text : f.label + QLatin1Char(' ') + f.text);
    return parts.join(QStringLiteral("; "));
}

QString changeText(const Record &module, const Record &setup)
{
    QStringList parts;
    for (qsizetype k = 0; k < std::max(module.size(), setup.size()); ++k) {
        const Field m = k < module.size() ? module[k] : Field{};
        const Field s = k < setup.size() ? setup[k] : Field{};
        if (m == s)
            continue;
        const QString label = s.label.isEmpty() ? m.label : s.label;
        parts << QStringLiteral("%1%2 on the module, %3 in the setup")
                     .arg(label.isEmpty() ? QString() : label + QLatin1Char(' '),
                          m.text.isEmpty() ? QStringLiteral("-") : m.text,
                          s.text.isEmpty() ? QStringLiteral("-") : s.text);
    }
    return parts.join(QStringLiteral("; "));
}

void compareTable(const Table &t, QStringList *lines)
{
    QList<std::pair<int, int>> pairs;
    if (t.fixed) {
        for (qsizetype k = 0; k < std::max(t.module.size(), t.setup.size()); ++k)
            pairs << std::pair{int(k < t.module.size() ? k : -1), int(k < t.setup.size() ? k : -1)};
    } else {
        pairs = align(t.module, t.setup);
    }
    const QString noun = QLatin1String(t.noun);
    for (const auto &[m, s] : pairs) {
        const QString name = s >= 0 && s < t.names.size() ? quoted(t.names[s]) : QStringLiteral("%1").arg(s + 1);
        if (m >= 0 && s >= 0 && t.module[m] != t.setup[s])
            *lines << QStringLiteral("%1 %2: %3").arg(noun, name, changeText(t.module[m], t.setup[s]));
        else if (m < 0)
            *lines << QStringLiteral("%1 %2 is not on the module").arg(noun, name);
        else if (s < 0)
            *lines << QStringLiteral("the module's %1 %2 is not in the setup: %3")
                          .arg(noun)
                          .arg(m + 1)
                          .arg(fieldsText(t.module[m]));
    }
}

// The setup's events in image order: by priority, then by row.
QStringList eventNames(const SetupView &view)
{
    QList<int> rows;
    for (int r = 0; r < view.events.size(); ++r)
        rows << r;
    const auto rank = [&](int r) { return view.events[r].priorityStored ? view.events[r].priority : r + 1; };
    std::stable_sort(rows.begin(), rows.end(), [&](int a, int b) { return rank(a) < rank(b); });
    QStringList names;
    for (const int r : rows)
        names << view.events[r].name;
    return names;
}

// The tables of one side, described with the setup's names.
struct Described {
    QList<Record> timers, events, canInputs, canOutputs, states, lx1Outputs, options, pwm;
};

Described describe(const Parsed &p, const Namer &namer)
{
    Described d;
    for (const int ticks : p.timers)
        d.timers << Record{{QStringLiteral("run time"), seconds(ticks)}};
    for (const EventRecord &ev : p.events)
        d.events << eventRecord(namer, ev);
    const QList<int> rx = identifiersOf(p.receive);
    for (const auto &in : p.canInputs) {
        const int position =
            isByteChannel(uint8_t(in[0])) ? byteChannelPosition(uint8_t(in[0])) : wordChannelPosition(uint8_t(in[0]));
        const bool little = position >= 0 && position < p.receive.size() && p.receive[position].second;
        d.canInputs << Record{
            {QStringLiteral("channel"), channelText(in[0], rx)},
            {QStringLiteral("byte order"), little ? QStringLiteral("Little Endian") : QStringLiteral("Big Endian")},
            {QStringLiteral("comparison"), canCompareText(in[1])},
            {QStringLiteral("data"), QString::number(in[2])}};
    }
    for (const auto &out : p.canOutputs)
        d.canOutputs << Record{{QStringLiteral("channel"), channelText(out[0], p.transmit)},
                               {QStringLiteral("data"), QString::number(out[1])}};
    for (const StateRecord &st : p.states)
        d.states << stateRecord(namer, st);
    for (const auto &[current, masks] : p.lx1Outputs) {
        Record r{{QStringLiteral("current"), number(stepsToAmps(current)) + QStringLiteral(" A")}};
        for (int m = 0; m < masks.size(); ++m)
            r << Field{QStringLiteral("LX1-%1").arg(m + 1), maskByteText(uint8_t(masks[m]))};
        d.lx1Outputs << r;
    }
    for (int i = 0; i < p.options.size(); ++i)
        d.options << Record{{QString(), optionText(i, p.options[i])}};
    for (const int pwm : p.pwm)
        d.pwm << Record{{QStringLiteral("PWM input"), channelText(pwm, rx)}};
    return d;
}

}  // namespace

QStringList imageDifferences(const QByteArray &moduleImage, const QByteArray &setupImage, const SetupView &setup)
{
    QString why;
    const std::optional<Parsed> module = parse(moduleImage, &why);
    if (!module)
        return {QStringLiteral("the module's image cannot be read: %1").arg(why)};
    const std::optional<Parsed> ours = parse(setupImage, &why);
    if (!ours)
        return {QStringLiteral("the setup's image cannot be read: %1").arg(why)};
    const Namer namer{setup};
    const Described m = describe(*module, namer);
    const Described s = describe(*ours, namer);
    QStringList optionNames;
    for (const char *label : kOptionLabels)
        optionNames << QLatin1String(label);
    QStringList modules;
    for (int k = 1; k <= kLx1ModuleCount; ++k)
        modules << QStringLiteral("LX1-%1").arg(k);
    const Table tables[] = {
        {"timer", ItemType::Timer, false, m.timers, s.timers, setup.names(ItemType::Timer)},
        {"event", ItemType::Event, false, m.events, s.events, eventNames(setup)},
        {"CAN input", ItemType::CanInput, false, m.canInputs, s.canInputs, setup.names(ItemType::CanInput)},
        {"CAN output", ItemType::CanOutput, false, m.canOutputs, s.canOutputs, setup.names(ItemType::CanOutput)},
        {"state", ItemType::State, false, m.states, s.states, setup.names(ItemType::State)},
        {"LX1 output", ItemType::Lx1Output, false, m.lx1Outputs, s.lx1Outputs, setup.names(ItemType::Lx1Output)},
        {"option", ItemType::Option, true, m.options, s.options, optionNames},
        {"LX1 module", ItemType::Lx1Module, true, m.pwm, s.pwm, modules},
    };
    QStringList lines;
    for (const Table &t : tables)
        compareTable(t, &lines);
    if (lines.isEmpty() && moduleImage != setupImage)
        lines << QStringLiteral("the images differ in bytes that no item shows (%1 bytes on the module, %2 in the "
                                "setup)")
                     .arg(moduleImage.size())
                     .arg(setupImage.size());
    return lines;
}

}  // namespace kelda::image
