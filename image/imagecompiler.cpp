// The image compiler: the open setup, read value by value from the store,
// built as a raw image in one forward pass. Offset tables and the header are
// reserved with placeholders and patched when their values are known. The
// image (below 64 KiB when it is valid) is built in memory and only then
// replaces the target file, through the project's one file writer: the
// previous file stays until the new one is complete, and a refused image
// writes nothing.
#include <QVarLengthArray>

#include <algorithm>

#include "atomicfile.h"
#include "imagecompiler.h"
#include "imageformat.h"
#include "pmmodel.h"
#include "storecursor.h"

using namespace kelda;
using namespace kelda::image;

namespace {

// Sequential writer into the image's bytes; earlier words are patched in place.
class ImageWriter
{
public:
    explicit ImageWriter(QByteArray &image) : m_buf(image) { m_buf.reserve(8192); }

    qint64 pos() const { return m_buf.size(); }
    void u8(uint8_t v) { m_buf.append(static_cast<char>(v)); }
    void u16(uint16_t v) { appendU16(m_buf, v); }
    void bytes(const uint8_t *p, int n) { m_buf.append(reinterpret_cast<const char *>(p), n); }
    void zeros(int n) { m_buf.append(n, '\0'); }
    // Writes 16-bit words at an earlier position; the end stays where it was.
    void patch(qint64 at, const QVarLengthArray<uint16_t, 64> &words)
    {
        uint8_t *p = reinterpret_cast<uint8_t *>(m_buf.data()) + at;
        for (uint16_t w : words) {
            writeU16(p, w);
            p += 2;
        }
    }

private:
    QByteArray &m_buf;
};

// followAndClose() without a bookmark of the parent: one of its own.
bool followAndCloseAlone(StoreCursor store, ItemType *type, int *index)
{
    const bool found = store.referenceTarget(*type, *index);
    store.close();
    return found;
}

// With the cursor on a child of the item that `parent` marks (a valid
// bookmark, or null): follows the child's reference and returns to the marked
// item either way. One bookmark serves a whole list, cheaper than one per
// entry. Inlined: it runs for every list entry of the setup.
Q_ALWAYS_INLINE bool followAndClose(StoreCursor store, StoreBookmarkGuard *parent, ItemType *type, int *index)
{
    if (Q_UNLIKELY(!parent))
        return followAndCloseAlone(store, type, index);
    if (!store.follow()) {
        store.close();
        return false;
    }
    const bool found = store.parent(*type, *index);
    parent->go();
    return found;
}

// Calls f(found, type, index) for each entry of RefList k of the current
// item; the cursor is back on the item afterwards.
template <typename F>
void forEachTarget(StoreCursor store, int k, F f)
{
    if (!store.open(ItemType::RefList, k))
        return;
    const int n = store.count(ItemType::RefEntry);
    StoreBookmarkGuard list(store.session(), n > 0);
    StoreBookmarkGuard *const mark = list.valid() ? &list : nullptr;
    for (int e = 0; e < n; ++e) {
        ItemType type = ItemType::None;
        int index = -1;
        bool found = false;
        if (store.open(ItemType::RefEntry, e))
            found = followAndClose(store, mark, &type, &index);
        f(found, type, index);
    }
    store.close();
}

// Distinct identifiers of one CAN table in table order of first appearance,
// with the byte order of the first item carrying each (receive side only).
struct IdList {
    QList<uint16_t> ids;
    QList<uint8_t> littleEndian;

    int position(uint16_t id) const { return int(ids.indexOf(id)); }
};

IdList collectIds(StoreCursor store, ItemType type)
{
    IdList list;
    const int n = store.count(type);
    for (int i = 0; i < n; ++i) {
        if (!store.open(type, i))
            continue;
        const uint16_t id = uint16_t(store.u16Or(ValueId::CanId, 0));
        if (!list.ids.contains(id)) {
            list.ids.append(id);
            list.littleEndian.append(type == ItemType::CanInput && store.u8Or(ValueId::LittleEndian, 0) != 0);
        }
        store.close();
    }
    return list;
}

const char *tableName(ItemType type)
{
    switch (type) {
    case ItemType::Timer:
        return "timers";
    case ItemType::Event:
        return "events";
    case ItemType::CanInput:
        return "CAN inputs";
    case ItemType::CanOutput:
        return "CAN outputs";
    case ItemType::State:
        return "states";
    case ItemType::Lx1Output:
        return "LX1 outputs";
    default:
        return "items";
    }
}

const char *eventListName(int k)
{
    return kEventListNames[size_t(k)];
}

QString limitText(int count)
{
    return QStringLiteral("%1 (an image holds at most %2)").arg(count).arg(kMaxCount);
}

class Compiler
{
public:
    Compiler(StoreSession session, QByteArray &image) : m_store(session), m_out(image) { }

    // Writes sections 1..10; false with error() set when the setup cannot be
    // represented. The header words are in m_header afterwards.
    bool run()
    {
        for (ItemType t : {ItemType::Timer, ItemType::Event, ItemType::CanInput, ItemType::CanOutput, ItemType::State,
                           ItemType::Lx1Output})
            if (!fits(m_store.count(t), QStringLiteral("%1 in the setup").arg(QLatin1String(tableName(t)))))
                return false;
        // Never more ids than items, but the lists have count bytes of their own.
        m_rx = collectIds(m_store, ItemType::CanInput);
        m_tx = collectIds(m_store, ItemType::CanOutput);
        if (!fits(m_rx.ids.size(), QStringLiteral("distinct CAN receive identifiers")))
            return false;
        if (!fits(m_tx.ids.size(), QStringLiteral("distinct CAN transmit identifiers")))
            return false;
        if (!channelsFit() || !currentsFit())
            return false;

        m_header.resize(kHeaderWordCount);
        std::fill(m_header.begin(), m_header.end(), uint16_t(0));
        m_header[0] = kHeaderSize;
        m_out.zeros(kHeaderSize);
        orderEvents();

        section(Section::Timers);
        writeTimers();
        section(Section::EventInputs);
        writeEventInputs();
        section(Section::CanInputs);
        writeCanInputs();
        section(Section::CanOutputs);
        writeCanOutputs();
        section(Section::EventActions);
        if (!writeEventActions())
            return false;
        section(Section::States);
        if (!writeStates())
            return false;
        section(Section::Lx1Outputs);
        writeLx1Outputs();
        section(Section::ReceiveIds);
        writeIdentifiers(m_rx, true);
        section(Section::TransmitIds);
        writeIdentifiers(m_tx, false);
        section(Section::Options);
        writeOptions();

        m_finished = true;
        if (m_out.pos() > kMaxImageSize) {
            m_error =
                QStringLiteral("the image would be %1 bytes; an image must stay below 65536 bytes").arg(m_out.pos());
            return false;
        }
        m_out.patch(0, m_header);
        return true;
    }

    QString error() const { return m_error; }
    // Every section was written (the image may still be too large).
    bool finished() const { return m_finished; }

private:
    // A descriptor that does not fit its byte would name another identifier's
    // channel, and an identifier above 11 bits would be written as another
    // one: either way the module would read or send the wrong frame.
    bool channelsFit()
    {
        const auto check = [this](ItemType type, int row, const IdList &ids, const QString &who) {
            if (!m_store.open(type, row))
                return true;
            const uint16_t id = uint16_t(m_store.u16Or(ValueId::CanId, 0));
            const uint8_t sel = uint8_t(m_store.u8Or(ValueId::ByteSelect, 0));
            m_store.close();
            // The list word is id << 5: a wider identifier would lose its top
            // bits and become another one.
            if (id > kMaxCanId) {
                m_error = QStringLiteral("%1 uses identifier %2, above 0x7FF: the module reads and sends 11-bit "
                                         "identifiers only")
                              .arg(who, canIdText(id));
                return false;
            }
            const int position = ids.position(id);
            if (channelFits(position, sel))
                return true;
            m_error = QStringLiteral("%1 uses identifier %2, number %3 of the %4 identifiers, but a channel "
                                     "of that kind can name only one of the first %5")
                          .arg(who, canIdText(id), QString::number(position + 1),
                               type == ItemType::CanOutput ? QStringLiteral("transmit") : QStringLiteral("receive"),
                               QString::number(channelPositions(sel)));
            return false;
        };
        for (ItemType type : {ItemType::CanInput, ItemType::CanOutput}) {
            const IdList &ids = type == ItemType::CanInput ? m_rx : m_tx;
            const QString noun =
                type == ItemType::CanInput ? QStringLiteral("CAN input") : QStringLiteral("CAN output");
            const int n = m_store.count(type);
            for (int i = 0; i < n; ++i)
                if (!check(type, i, ids, QStringLiteral("%1 \"%2\"").arg(noun, itemName(type, i))))
                    return false;
        }
        // A PWM descriptor is its CAN input's descriptor, checked above.
        return true;
    }

    // The table shows a current above 255 steps as 102.0 A; the module would
    // be sent the larger number.
    bool currentsFit()
    {
        const int n = m_store.count(ItemType::Lx1Output);
        for (int i = 0; i < n; ++i) {
            if (!m_store.open(ItemType::Lx1Output, i))
                continue;
            const int steps = m_store.u16Or(ValueId::Data, 0);
            m_store.close();
            if (steps <= kMaxLx1Current)
                continue;
            m_error = QStringLiteral("LX1 output \"%1\" has a current limit of %2 steps of %3 A; an LX1 module takes 0 "
                                     "to %4 (%5 A)")
                          .arg(itemName(ItemType::Lx1Output, i))
                          .arg(steps)
                          .arg(kAmpsPerStep)
                          .arg(kMaxLx1Current)
                          .arg(kMaxLx1Current * kAmpsPerStep, 0, 'f', 1);
            return false;
        }
        return true;
    }

    QString itemName(ItemType type, int row)
    {
        QString name;
        if (m_store.open(type, row)) {
            name = m_store.textOr(ValueId::Name);
            m_store.close();
        }
        return name;
    }

    static QString canIdText(uint16_t id)
    {
        return QStringLiteral("0x") + QString::number(id, 16).toUpper().rightJustified(3, QLatin1Char('0'));
    }

    bool fits(qsizetype count, const QString &what)
    {
        if (count <= kMaxCount)
            return true;
        m_error = QStringLiteral("too many %1: %2").arg(what, limitText(int(count)));
        return false;
    }

    void section(Section s) { m_header[static_cast<int>(s)] = static_cast<uint16_t>(m_out.pos() & 0xFFFF); }

    // Placeholder offset table of n entries; returns its position.
    qint64 reserveTable(int n)
    {
        const qint64 at = m_out.pos();
        m_out.zeros(n * kOffsetSize);
        return at;
    }

    // Events by priority, then by row: each event exactly once, whatever the
    // stored priorities (a damaged file may have gaps or duplicates). A
    // missing priority ranks as row + 1, as the table shows it.
    void orderEvents()
    {
        const int n = m_store.count(ItemType::Event);
        QList<std::pair<uint16_t, int>> keyed;
        keyed.reserve(n);
        for (int row = 0; row < n; ++row) {
            uint16_t p = static_cast<uint16_t>(row + 1);
            if (m_store.open(ItemType::Event, row)) {
                m_store.u16(ValueId::Order, p);
                m_store.close();
            }
            keyed.append({p, row});
        }
        std::stable_sort(keyed.begin(), keyed.end());
        m_events.clear();
        m_events.reserve(n);
        for (const auto &k : keyed)
            m_events.append(k.second);
    }

    void writeTimers()
    {
        const int n = m_store.count(ItemType::Timer);
        m_out.u8(static_cast<uint8_t>(n));
        for (int i = 0; i < n; ++i) {
            uint16_t ticks = 0;
            if (m_store.open(ItemType::Timer, i)) {
                m_store.u16(ValueId::ResetTicks, ticks);
                m_store.close();
            }
            m_out.u16(ticks);
        }
    }

    void writeEventInputs()
    {
        const int n = int(m_events.size());
        m_out.u8(static_cast<uint8_t>(n));
        const qint64 table = reserveTable(n);
        QVarLengthArray<uint16_t, 64> offsets;
        for (int row : m_events) {
            offsets.append(static_cast<uint16_t>(m_out.pos() & 0xFFFF));
            const bool opened = m_store.open(ItemType::Event, row);
            StoreBookmarkGuard event(m_store.session(), opened);
            StoreBookmarkGuard *const mark = event.valid() ? &event : nullptr;
            for (int j = 0; j < kMaxInputEntries; ++j) {
                uint8_t entry[kInputEntrySize] = {uint8_t(SourceKind::KeypadKey), 1, 1, 0};
                if (opened && m_store.open(ItemType::RefEntry, j)) {
                    uint16_t condition = 1;
                    const bool hasCondition = m_store.u16(ValueId::Condition, condition);
                    entry[kInputJoin] = static_cast<uint8_t>(m_store.u8Or(ValueId::Combine, 0));
                    entry[kInputCondition] = static_cast<uint8_t>(condition & 0xFF);
                    ItemType type = ItemType::None;
                    int index = 0;
                    if (followAndClose(m_store, mark, &type, &index)) {
                        entry[kInputSourceKind] = static_cast<uint8_t>(sourceKind(type));
                        entry[kInputSourceNumber] = static_cast<uint8_t>(index + 1);
                        // No stored condition: the one the table shows for this
                        // input ("-" for a CAN input), not "Pressed".
                        if (!hasCondition && sourceItemType(uint8_t(sourceKind(type))) == type)
                            entry[kInputCondition] = static_cast<uint8_t>(PMModel::normalizeCondition(type, 0));
                    }
                }
                m_out.bytes(entry, kInputEntrySize);
                if (entry[kInputJoin] == 0)
                    break;
            }
            if (opened)
                m_store.close();
        }
        m_out.patch(table, offsets);
    }

    void writeCanInputs()
    {
        const int n = m_store.count(ItemType::CanInput);
        m_out.u8(static_cast<uint8_t>(n));
        for (int i = 0; i < n; ++i) {
            uint8_t descriptor = channelDescriptor(-1, 0), compare = 0;
            uint16_t data = 0;
            if (m_store.open(ItemType::CanInput, i)) {
                const uint16_t id = uint16_t(m_store.u16Or(ValueId::CanId, 0));
                descriptor = channelDescriptor(m_rx.position(id), uint8_t(m_store.u8Or(ValueId::ByteSelect, 0)));
                compare = uint8_t(m_store.u8Or(ValueId::CanCompare, 0));
                m_store.u16(ValueId::Data, data);
                m_store.close();
            }
            m_out.u8(descriptor);
            m_out.u8(compare);
            m_out.u16(data);
        }
    }

    void writeCanOutputs()
    {
        const int n = m_store.count(ItemType::CanOutput);
        m_out.u8(static_cast<uint8_t>(n));
        for (int i = 0; i < n; ++i) {
            uint8_t descriptor = channelDescriptor(-1, 0);
            uint16_t data = 0;
            if (m_store.open(ItemType::CanOutput, i)) {
                const uint16_t id = uint16_t(m_store.u16Or(ValueId::CanId, 0));
                descriptor = channelDescriptor(m_tx.position(id), uint8_t(m_store.u8Or(ValueId::ByteSelect, 0)));
                m_store.u16(ValueId::Data, data);
                m_store.close();
            }
            m_out.u8(descriptor);
            m_out.u16(data);
        }
    }

    // Item numbers of the entries of RefList k of the current item: all of
    // them (0 for an entry without target) or only those with a target.
    QVarLengthArray<uint8_t, 32> listNumbers(int k, bool keepUnresolved, int *total)
    {
        QVarLengthArray<uint8_t, 32> numbers;
        *total = 0;
        forEachTarget(m_store, k, [&](bool found, ItemType, int index) {
            if (found || keepUnresolved) {
                ++*total;
                // Past the limit only the count matters: the image is refused.
                if (numbers.size() <= kMaxCount)
                    numbers.append(found ? static_cast<uint8_t>(index + 1) : uint8_t(0));
            }
        });
        return numbers;
    }

    bool writeEventActions()
    {
        const int n = int(m_events.size());
        const qint64 table = reserveTable(n);
        QVarLengthArray<uint16_t, 64> offsets;
        for (int row : m_events) {
            offsets.append(static_cast<uint16_t>(m_out.pos() & 0xFFFF));
            const bool opened = m_store.open(ItemType::Event, row);
            for (int k = 0; k < kEventListCount; ++k) {
                int total = 0;
                QVarLengthArray<uint8_t, 32> numbers;
                if (opened)
                    numbers = listNumbers(k, false, &total);
                if (total > kMaxCount) {
                    m_error =
                        QStringLiteral("too many entries in list \"%1\" of event \"%2\": %3")
                            .arg(QLatin1String(eventListName(k)), m_store.textOr(ValueId::Name), limitText(total));
                    m_store.close();
                    return false;
                }
                m_out.u8(static_cast<uint8_t>(total));
                m_out.bytes(numbers.constData(), int(numbers.size()));
            }
            m_out.u8(0);
            if (opened)
                m_store.close();
        }
        m_out.patch(table, offsets);
        return true;
    }

    bool writeStates()
    {
        const int n = m_store.count(ItemType::State);
        m_out.u8(static_cast<uint8_t>(n));
        const qint64 table = reserveTable(n);
        QVarLengthArray<uint16_t, 64> offsets;
        for (int i = 0; i < n; ++i) {
            offsets.append(static_cast<uint16_t>(m_out.pos() & 0xFFFF));
            const bool opened = m_store.open(ItemType::State, i);
            uint16_t low = 0, high = 0;
            if (opened) {
                forEachTarget(m_store, int(StateList::Lx2Leds), [&](bool found, ItemType, int index) {
                    if (!found)
                        return;
                    if (index < 16)
                        low |= uint16_t(1u << index);
                    else if (index < 32)
                        high |= uint16_t(1u << (index - 16));
                });
            }
            m_out.u16(low);
            m_out.u16(high);
            for (int k : {int(StateList::Lx1Outputs), int(StateList::CanOutputs)}) {
                int total = 0;
                QVarLengthArray<uint8_t, 32> numbers;
                if (opened)
                    numbers = listNumbers(k, true, &total);
                if (total > kMaxCount) {
                    m_error = QStringLiteral("too many %1 entries in state \"%2\": %3")
                                  .arg(k == int(StateList::Lx1Outputs) ? QStringLiteral("LX1 output")
                                                                       : QStringLiteral("CAN output"),
                                       m_store.textOr(ValueId::Name), limitText(total));
                    m_store.close();
                    return false;
                }
                m_out.u8(static_cast<uint8_t>(total));
                m_out.bytes(numbers.constData(), int(numbers.size()));
            }
            if (opened)
                m_store.close();
        }
        m_out.patch(table, offsets);
        return true;
    }

    void writeLx1Outputs()
    {
        const int n = m_store.count(ItemType::Lx1Output);
        m_out.u8(static_cast<uint8_t>(n));
        for (int i = 0; i < n; ++i) {
            uint16_t current = 0;
            uint8_t masks[kLx1MaskBytes] = {};
            if (m_store.open(ItemType::Lx1Output, i)) {
                m_store.u16(ValueId::Data, current);
                m_store.block(ValueId::Lx1Masks, masks, kLx1MaskBytes);
                m_store.close();
            }
            m_out.u16(current);
            m_out.bytes(masks, kLx1MaskBytes);
        }
    }

    void writeIdentifiers(const IdList &list, bool receive)
    {
        m_out.u8(static_cast<uint8_t>(list.ids.size()));
        for (qsizetype i = 0; i < list.ids.size(); ++i) {
            m_out.u16(identifierWord(list.ids[i]));
            m_out.u16(receive && list.littleEndian[i] ? kLittleEndianWord : kBigEndianWord);
        }
    }

    void writeOptions()
    {
        const int n = m_store.count(ItemType::Option);
        for (int i = 0; i < n; ++i) {
            uint16_t value = 0;
            if (m_store.open(ItemType::Option, i)) {
                m_store.u16(ValueId::Data, value);
                m_store.close();
            }
            m_out.u16(value);
        }
        for (int m = 0; m < kPwmDescriptorCount; ++m) {
            uint8_t descriptor = 0;
            ItemType type = ItemType::None;
            int index = -1;
            bool found = false;
            if (m_store.open(ItemType::Lx1Module, m)) {
                found = m_store.referenceTarget(type, index);
                m_store.close();
            }
            // Only a CAN input can drive PWM; anything else counts as none.
            if (found && type == ItemType::CanInput && m_store.open(ItemType::CanInput, index)) {
                const uint16_t id = uint16_t(m_store.u16Or(ValueId::CanId, 0));
                descriptor = channelDescriptor(m_rx.position(id), uint8_t(m_store.u8Or(ValueId::ByteSelect, 0)));
                m_store.close();
            }
            m_out.u8(descriptor);
        }
    }

    StoreCursor m_store;
    ImageWriter m_out;
    IdList m_rx, m_tx;
    QList<int> m_events;  // event rows in compile order
    QVarLengthArray<uint16_t, 64> m_header;
    QString m_error;
    bool m_finished = false;
};

}  // namespace

bool kelda::image::compileImage(StoreSession session, QByteArray *image, QString *error, qsizetype *size)
{
    image->clear();
    if (size)
        *size = -1;
    StoreCursor store(session);
    if (!store.setup()) {
        *error = QStringLiteral("the store holds no setup to compile");
        return false;
    }
    Compiler compiler(store.session(), *image);
    const bool ok = compiler.run();
    if (size)
        *size = compiler.finished() ? image->size() : -1;
    if (!ok) {
        *error = compiler.error();
        image->clear();
    }
    return ok;
}

bool PMModel::writeRawImage(const QString &fileName)
{
    m_imageError.clear();
    // A refused image writes nothing: whatever was at fileName stays.
    QByteArray image;
    QString error;
    if (!image::compileImage(liveSession(), &image, &error) || !fileio::writeAtomically(fileName, image, &error)) {
        m_imageError = error;
        return false;
    }
    return true;
}

QList<uint16_t> PMModel::canIdList(ItemType type)
{
    StoreCursor store(liveSession());
    if (!store.setup())
        return {};
    return collectIds(store, type).ids;
}

bool PMModel::eventByPriority(int priority)
{
    StoreCursor store(liveSession());
    if (!store.setup())
        return false;
    const int n = store.count(ItemType::Event);
    for (int row = 0; row < n; ++row) {
        if (!store.open(ItemType::Event, row))
            continue;
        uint16_t order = 0;
        if (store.u16(ValueId::Order, order) && order == static_cast<uint16_t>(priority))
            return true;
        store.close();
    }
    return false;
}
