// Setup file reader and writer. The layout is described in
// docs/setup-file-format.md: a 20-byte header followed by the tree as CBOR.
// Version 2 writes the tree as one flat array in pre-order, read with an
// explicit stack; version 1 (nested arrays per item) is still read.
#include "strata_tree.h"

#include "atomicfile.h"
#include "crc32.h"
#include "schema.h"

#include <QByteArray>
#include <QCborStreamReader>
#include <QCborStreamWriter>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

namespace strata {

namespace {

constexpr char kMagic[8] = {'K', 'E', 'L', 'D', 'A', 'S', 'E', 'T'};
constexpr uint16_t kFormatVersion = 2;
constexpr uint16_t kNestedFormatVersion = 1;  // still read
constexpr int kHeaderSize = 20;
// Limits a real setup never comes near (one of 255-row tables is ~10 000
// items and well under a megabyte); beyond them a file is treated as damaged.
constexpr qint64 kMaxFileSize = STRATA_MAX_FILE_SIZE;
constexpr size_t kMaxItems = STRATA_MAX_ITEMS;
// Smallest encoding of an item: array(3), type, empty map, empty array
// (version 1); one head byte (version 2).
constexpr quint64 kMinItemBytes = 4;
constexpr quint64 kMinFlatItemBytes = 1;
constexpr quint64 kKnownValueIds = 12;

void putU16(char *p, uint16_t v)
{
    p[0] = char(v >> 8);
    p[1] = char(v);
}

void putU32(char *p, uint32_t v)
{
    putU16(p, uint16_t(v >> 16));
    putU16(p + 2, uint16_t(v));
}

uint16_t getU16(const char *p)
{
    return uint16_t((uint8_t(p[0]) << 8) | uint8_t(p[1]));
}

uint32_t getU32(const char *p)
{
    return (uint32_t(getU16(p)) << 16) | getU16(p + 2);
}

// Messages are UTF-8, whatever the encoding of the path that came in.
std::string utf8(const QString &s)
{
    return s.toUtf8().toStdString();
}

// ---- writing

// Items and CBOR elements of the flat encoding, in one walk.
void countTree(const Item &item, size_t &items, quint64 &elements)
{
    ++items;
    elements += 1 + quint64(item.values.size());
    for (const Value &v : item.values)
        if (kelda::valueWidth(v.id) == kelda::kTextWidth || kelda::valueWidth(v.id) > 2)
            ++elements;
    for (const Group &g : item.groups)
        for (const ItemPtr &child : g.items)
            countTree(*child, items, elements);
}

// Packed integers of the flat encoding: few CBOR elements per item is what
// makes reading fast, since every element costs a reader step.
constexpr quint64 kValueShift = 16;  // head: type in the low 16 bits
constexpr quint64 kChildShift = 20;  // head: value count in bits 16..19
constexpr quint64 kValueCountMask = 0xF;

void writeValue(QCborStreamWriter &w, const Value &v)
{
    const quint64 key = quint64(v.id) << kValueShift;
    switch (kelda::valueWidth(v.id)) {
    case 1:
        w.append(key | uint8_t(v.bytes[0]));
        break;
    case 2: {
        uint16_t x;
        std::memcpy(&x, v.bytes.data(), 2);
        w.append(key | x);
        break;
    }
    case kelda::kTextWidth:
        w.append(key);
        w.appendByteString(v.bytes.data(), qsizetype(textOf(v).size()));
        break;
    default:
        w.append(key);
        w.appendByteString(v.bytes.data(), qsizetype(v.bytes.size()));
        break;
    }
}

// Pre-order: a head (type, value count, children count), the values, then
// the children (grouped by type, ascending) in the same way.
void writeItem(QCborStreamWriter &w, const Item &item)
{
    size_t children = 0;
    for (const Group &g : item.groups)
        children += g.items.size();
    w.append(quint64(item.type) | quint64(item.values.size()) << kValueShift | quint64(children) << kChildShift);
    for (const Value &v : item.values)
        writeValue(w, v);
    for (const Group &g : item.groups)
        for (const ItemPtr &child : g.items)
            writeItem(w, *child);
}

// ---- reading

// The first reason a read gave up, in the words every reader of the file uses.
class DamageNote
{
public:
    const std::string &error() const { return error_; }

protected:
    std::nullptr_t damaged(const char *why)
    {
        if (error_.empty())
            error_ = std::string("file is damaged (") + why + ")";
        return nullptr;
    }

    bool fail(const char *why)
    {
        damaged(why);
        return false;
    }

private:
    std::string error_;
};

class Parser : public DamageNote
{
public:
    explicit Parser(const QByteArray &payload) : reader_(payload), size_(quint64(payload.size())) { }

    // Version 1: nested arrays, one per item.
    ItemPtr parse()
    {
        ItemPtr root = readItem(nullptr);
        return root ? finish(std::move(root)) : nullptr;
    }

private:
    ItemPtr finish(ItemPtr root)
    {
        if (!root)
            return nullptr;
        if (reader_.lastError() != QCborError::NoError)
            return damaged("malformed encoding");
        if (quint64(reader_.currentOffset()) != size_)
            return damaged("unexpected data after the tree");
        return root;
    }

    quint64 remaining() const
    {
        const quint64 at = quint64(reader_.currentOffset());
        return at < size_ ? size_ - at : 0;
    }

    bool readUnsigned(quint64 max, quint64 &out)
    {
        if (!reader_.isUnsignedInteger())
            return fail("a number was expected");
        out = reader_.toUnsignedInteger();
        if (out > max)
            return fail("a number is out of range");
        if (!reader_.next())
            return fail("malformed encoding");
        return true;
    }

    // Reads straight into the value's own storage: opening is dominated by
    // per-value work, and a QByteArray per text doubles the allocations.
    bool readBytes(quint64 maxLength, std::string &out)
    {
        if (!reader_.isByteArray() || !reader_.isLengthKnown())
            return fail("a byte string was expected");
        const quint64 length = reader_.length();
        if (length > maxLength || length > remaining())
            return fail("a value is too long");
        out.resize(size_t(length));
        size_t have = 0;
        for (;;) {
            const auto chunk = reader_.readStringChunk(out.data() + have, qsizetype(length - have));
            if (chunk.status == QCborStreamReader::EndOfString)
                break;
            if (chunk.status != QCborStreamReader::Ok || chunk.data < 0)
                return fail("malformed encoding");
            have += size_t(chunk.data);
            if (have > length)
                return fail("a value is too long");
        }
        if (have != length)
            return fail("malformed encoding");
        return true;
    }

    bool readValue(Item &item, uint16_t id)
    {
        const int width = kelda::valueWidth(id);
        if (width < 0)
            return fail("unknown value id");
        if (item.value(id))
            return fail("a value appears twice in one item");
        if (width == 1 || width == 2) {
            quint64 x = 0;
            if (!readUnsigned(width == 1 ? 0xFF : 0xFFFF, x))
                return false;
            if (width == 1) {
                const char b = char(x);
                item.values.push_back(Value{id, std::string(1, b)});
            } else {
                const uint16_t v = uint16_t(x);
                item.values.push_back(Value{id, std::string(reinterpret_cast<const char *>(&v), 2)});
            }
            return true;
        }
        std::string bytes;
        if (width == kelda::kTextWidth) {
            if (!readBytes(kMaxTextLength, bytes))
                return false;
            if (bytes.find('\0') != std::string::npos)
                return fail("a text contains a zero byte");
            bytes.push_back('\0');
            item.values.push_back(Value{id, std::move(bytes)});
            return true;
        }
        if (!readBytes(quint64(width), bytes))
            return false;
        if (bytes.size() != size_t(width))
            return fail("a value has the wrong width");
        item.values.push_back(Value{id, std::move(bytes)});
        return true;
    }

    // A child read in file order goes to the end of the last group. In the
    // order the writer uses (types ascending, each type's children together)
    // that is its own group, so nothing else is needed. Any other order
    // starts a group out of order and marks the parent unsorted, and settle()
    // sorts its children once all are read: inserting each new type at its
    // place instead would shift all later groups, quadratic when types come
    // in descending order. The first group gets room for all the parent's
    // children still to come; only the first, so that many types cannot make
    // it reserve more than the children the file really holds.
    bool adopt(Item &parent, ItemPtr child, quint64 siblingsLeft, bool &unsorted)
    {
        auto &groups = parent.groups;
        if (groups.empty() || groups.back().type != child->type) {
            if (!groups.empty() && groups.back().type > child->type)
                unsorted = true;
            if (!unsorted && groups.size() >= kMaxChildTypes)
                return fail("too many child types");
            groups.emplace_back();
            groups.back().type = child->type;
            if (groups.size() == 1)
                groups.back().items.reserve(size_t(std::min<quint64>(siblingsLeft + 1, kMaxChildrenPerType)));
        }
        Group &g = groups.back();
        if (g.items.size() >= kMaxChildrenPerType)
            return fail("too many items of one type");
        child->index = uint32_t(g.items.size());
        g.items.push_back(std::move(child));
        return true;
    }

    // Regroups the children of an item adopted out of order: one group per
    // type in ascending type order, file order kept within a type (a stable
    // sort of the groups' items, which are in file order).
    bool settle(Item &item)
    {
        std::vector<ItemPtr> children;
        size_t total = 0;
        for (const Group &g : item.groups)
            total += g.items.size();
        children.reserve(total);
        for (Group &g : item.groups)
            for (ItemPtr &child : g.items)
                children.push_back(std::move(child));
        item.groups.clear();
        std::stable_sort(children.begin(), children.end(),
                         [](const ItemPtr &a, const ItemPtr &b) { return a->type < b->type; });
        size_t types = 1;
        for (size_t i = 1; i < children.size(); ++i)
            types += children[i]->type != children[i - 1]->type ? 1 : 0;
        if (types > kMaxChildTypes)
            return fail("too many child types");
        item.groups.reserve(types);
        for (size_t first = 0; first < children.size();) {
            size_t end = first + 1;
            while (end < children.size() && children[end]->type == children[first]->type)
                ++end;
            if (end - first > kMaxChildrenPerType)
                return fail("too many items of one type");
            Group g;
            g.type = children[first]->type;
            g.items.reserve(end - first);
            for (size_t k = first; k < end; ++k) {
                children[k]->index = uint32_t(k - first);
                g.items.push_back(std::move(children[k]));
            }
            item.groups.push_back(std::move(g));
            first = end;
        }
        return true;
    }

    ItemPtr readItem(Item *parent)
    {
        if (++items_ > kMaxItems)
            return damaged("too many items");
        if (!reader_.isArray() || !reader_.isLengthKnown() || reader_.length() != 3)
            return damaged("an item is not well-formed");
        if (!reader_.enterContainer())
            return damaged("malformed encoding");

        auto item = std::make_shared<Item>();
        item->parent = parent;
        item->depth = parent ? uint16_t(parent->depth + 1) : 0;
        quint64 type = 0;
        if (!readUnsigned(0xFFFF, type))
            return nullptr;
        item->type = uint16_t(type);

        if (!reader_.isMap() || !reader_.isLengthKnown())
            return damaged("item values are not well-formed");
        if (reader_.length() > kKnownValueIds)
            return damaged("an item has too many values");
        item->values.reserve(size_t(reader_.length()));
        if (!reader_.enterContainer())
            return damaged("malformed encoding");
        while (reader_.hasNext()) {
            quint64 id = 0;
            if (!readUnsigned(0xFFFF, id) || !readValue(*item, uint16_t(id)))
                return nullptr;
        }
        if (!reader_.leaveContainer())
            return damaged("malformed encoding");

        if (!reader_.isArray() || !reader_.isLengthKnown())
            return damaged("item children are not well-formed");
        const quint64 children = reader_.length();
        if (children > remaining() / kMinItemBytes || children > kMaxItems)
            return damaged("an item claims more children than the file holds");
        if (children > 0 && item->depth + 1 > kMaxDepth)
            return damaged("items nested too deeply");
        if (!reader_.enterContainer())
            return damaged("malformed encoding");
        bool unsorted = false;
        quint64 left = children;
        while (reader_.hasNext()) {
            ItemPtr child = readItem(item.get());
            if (!child || !adopt(*item, std::move(child), left > 0 ? --left : 0, unsorted))
                return nullptr;
        }
        if (!reader_.leaveContainer())
            return damaged("malformed encoding");
        if (unsorted && !settle(*item))
            return nullptr;

        if (reader_.hasNext())
            return damaged("an item is not well-formed");
        if (!reader_.leaveContainer())
            return damaged("malformed encoding");
        if (reader_.lastError() != QCborError::NoError)
            return damaged("malformed encoding");
        return item;
    }

    QCborStreamReader reader_;
    quint64 size_;
    size_t items_ = 0;
};

// The flat encoding holds nothing but unsigned numbers and definite byte
// strings inside one definite array, so it is read by hand: a general CBOR
// reader spent a quarter of an undo stepping through them.
class FlatParser : public DamageNote
{
public:
    FlatParser(const char *data, size_t size) : at_(data), end_(data + size)
    {
        // The items of a setup take about twelve times its bytes; the arena
        // grows geometrically beyond that.
        arena_ = std::make_shared<std::pmr::monotonic_buffer_resource>(std::max<size_t>(size * 12, 4096));
    }

    // Version 2: one definite array holding every item in pre-order.
    ItemPtr parse()
    {
        quint64 elements = 0;
        if (!head(elements) || major_ != kArray || indefinite_)
            return damaged("the tree is not well-formed");
        if (elements > remaining())
            return damaged("the tree claims more elements than the file holds");
        left_ = elements;
        quint64 children = 0;
        ItemPtr root = readItem(nullptr, children);
        if (!root || !readChildren(root.get(), children))
            return nullptr;
        if (left_ > 0 || at_ != end_)
            return damaged("unexpected data after the tree");
        return root;
    }

    const Arena &arena() const { return arena_; }

private:
    static constexpr int kUnsigned = 0;
    static constexpr int kBytes = 2;
    static constexpr int kArray = 4;

    // Items with children still to read; children wait in `pending_` until
    // their parent is complete, so that its groups get their exact sizes.
    bool readChildren(Item *root, quint64 children)
    {
        struct Open {
            Item *item;
            quint64 left;
            size_t first;  // the item's first child in pending_
        };
        std::vector<Open> stack;
        stack.reserve(kMaxDepth + 1);
        if (children > 0)
            stack.push_back({root, children, 0});
        while (!stack.empty()) {
            Open &top = stack.back();
            if (top.left == 0) {
                if (!group(*top.item, top.first))
                    return false;
                stack.pop_back();
                continue;
            }
            --top.left;
            ItemPtr child = readItem(top.item, children);
            if (!child)
                return false;
            Item *raw = child.get();
            pending_.push_back(std::move(child));
            if (children > 0)
                stack.push_back({raw, children, pending_.size()});  // may move `top`: not used below
        }
        return true;
    }

    // Moves the children pending from `first` into the item's groups: one
    // group per type in ascending type order, file order kept within a type
    // (the writer's order already; any other is sorted stably).
    bool group(Item &item, size_t first)
    {
        const auto begin = pending_.begin() + std::ptrdiff_t(first);
        const auto byType = [](const ItemPtr &a, const ItemPtr &b) { return a->type < b->type; };
        if (!std::is_sorted(begin, pending_.end(), byType))
            std::stable_sort(begin, pending_.end(), byType);
        size_t types = 1;
        for (auto it = begin + 1; it < pending_.end(); ++it)
            types += (*it)->type != (*(it - 1))->type ? 1 : 0;
        if (types > kMaxChildTypes)
            return fail("too many child types");
        item.groups.reserve(types);
        for (auto run = begin; run != pending_.end();) {
            const uint16_t type = (*run)->type;
            auto runEnd = run + 1;
            while (runEnd != pending_.end() && (*runEnd)->type == type)
                ++runEnd;
            if (size_t(runEnd - run) > kMaxChildrenPerType)
                return fail("too many items of one type");
            Group &g = item.groups.emplace_back(arena_.get());
            g.type = type;
            g.items.reserve(size_t(runEnd - run));
            for (; run != runEnd; ++run) {
                (*run)->index = uint32_t(g.items.size());
                g.items.push_back(std::move(*run));
            }
        }
        pending_.erase(begin, pending_.end());
        return true;
    }

    // One item without its children; their count goes to `children`,
    // checked against the bytes left and the depth limit.
    ItemPtr readItem(Item *parent, quint64 &children)
    {
        if (++items_ > kMaxItems)
            return damaged("too many items");
        quint64 itemHead = 0;
        if (!number(std::numeric_limits<quint64>::max(), itemHead))
            return nullptr;
        const quint64 values = (itemHead >> kValueShift) & kValueCountMask;
        children = itemHead >> kChildShift;
        if (values > kKnownValueIds)
            return damaged("an item has too many values");
        if (children > kMaxItems || children > remaining() / kMinFlatItemBytes)
            return damaged("an item claims more children than the file holds");
        auto item = std::allocate_shared<Item>(std::pmr::polymorphic_allocator<Item>(arena_.get()), arena_.get());
        item->parent = parent;
        item->depth = parent ? uint16_t(parent->depth + 1) : 0;
        item->type = uint16_t(itemHead);
        if (children > 0 && item->depth + 1 > kMaxDepth)
            return damaged("items nested too deeply");
        item->values.reserve(size_t(values));
        for (quint64 i = 0; i < values; ++i)
            if (!readValue(*item))
                return nullptr;
        return item;
    }

    // One value: id and integer packed in one number, or the id alone
    // followed by a byte string.
    bool readValue(Item &item)
    {
        quint64 key = 0;
        if (!number(0xFFFFFFFFu, key))
            return false;
        const uint16_t id = uint16_t(key >> kValueShift);
        const quint64 low = key & 0xFFFF;
        const int width = kelda::valueWidth(id);
        if (width < 0)
            return fail("unknown value id");
        if (item.value(id))
            return fail("a value appears twice in one item");
        if (width == 1) {
            if (low > 0xFF)
                return fail("a number is out of range");
            item.values.push_back(Value{id, std::string(1, char(low))});
            return true;
        }
        if (width == 2) {
            const uint16_t v = uint16_t(low);
            item.values.push_back(Value{id, std::string(reinterpret_cast<const char *>(&v), 2)});
            return true;
        }
        if (low != 0)
            return fail("a value is not well-formed");
        const bool text = width == kelda::kTextWidth;
        std::string bytes;
        if (!byteString(text ? kMaxTextLength : quint64(width), text, bytes))
            return false;
        if (text && std::memchr(bytes.data(), 0, bytes.size() - 1))
            return fail("a text contains a zero byte");
        if (!text && bytes.size() != size_t(width))
            return fail("a value has the wrong width");
        item.values.push_back(Value{id, std::move(bytes)});
        return true;
    }

    // ---- the elements of the array

    quint64 remaining() const { return quint64(end_ - at_); }

    // The head of the next data item: its major type and argument.
    bool head(quint64 &argument)
    {
        if (at_ == end_)
            return fail("malformed encoding");
        const uint8_t initial = uint8_t(*at_++);
        major_ = initial >> 5;
        const uint8_t info = initial & 0x1F;
        indefinite_ = info == 31;
        if (info < 24 || indefinite_) {
            argument = info;
            return true;
        }
        if (info > 27)
            return fail("malformed encoding");
        const size_t bytes = size_t(1) << (info - 24);
        if (remaining() < bytes)
            return fail("malformed encoding");
        argument = 0;
        for (size_t i = 0; i < bytes; ++i)
            argument = argument << 8 | uint8_t(*at_++);
        return true;
    }

    // The next element of the array; false when the array has ended.
    bool next(quint64 &argument)
    {
        if (left_ == 0)
            return fail("the tree ends inside an item");
        --left_;
        return head(argument);
    }

    bool number(quint64 max, quint64 &out)
    {
        if (!next(out))
            return false;
        if (major_ != kUnsigned || indefinite_)
            return fail("a number was expected");
        if (out > max)
            return fail("a number is out of range");
        return true;
    }

    // A byte string, copied straight into the value's storage; a text gets
    // its terminating zero.
    bool byteString(quint64 maxLength, bool text, std::string &out)
    {
        quint64 length = 0;
        if (!next(length))
            return false;
        if (major_ != kBytes || indefinite_)
            return fail("a byte string was expected");
        if (length > maxLength || length > remaining())
            return fail("a value is too long");
        out.reserve(size_t(length) + (text ? 1 : 0));
        out.assign(at_, size_t(length));
        if (text)
            out.push_back('\0');
        at_ += length;
        return true;
    }

    Arena arena_;  // first: whatever is left of a failed read is freed before it
    const char *at_;
    const char *const end_;
    quint64 left_ = 0;  // elements of the array not yet read
    int major_ = 0;
    bool indefinite_ = false;
    size_t items_ = 0;
    std::vector<ItemPtr> pending_;
};

}  // namespace

uint32_t crc32(const char *data, size_t size)
{
    return checksum::crc32(data, size);
}

bool encodeTree(const Item &root, QByteArray &file, const std::string &where)
{
    size_t items = 0;
    quint64 elements = 0;
    countTree(root, items, elements);
    if (items > kMaxItems) {
        setError(where + "the setup is too large (" + std::to_string(items) + " items, at most "
                 + std::to_string(kMaxItems) + ")");
        return false;
    }

    QByteArray body;
    {
        QCborStreamWriter w(&body);
        w.startArray(elements);
        writeItem(w, root);
        w.endArray();
    }
    const qint64 payload = body.size();
    file = QByteArray(kHeaderSize, '\0');
    file += body;
    if (file.size() > kMaxFileSize) {
        setError(where + "the setup is too large to save");
        return false;
    }
    std::memcpy(file.data(), kMagic, sizeof kMagic);
    putU16(file.data() + 8, kFormatVersion);
    putU16(file.data() + 10, 0);
    putU32(file.data() + 12, uint32_t(payload));
    putU32(file.data() + 16, crc32(file.constData() + kHeaderSize, size_t(payload)));
    return true;
}

bool saveTree(const Item &root, const char *latin1Path)
{
    const QString path = QString::fromLatin1(latin1Path);
    if (path.isEmpty()) {
        setError("no file name given");
        return false;
    }
    const std::string where = "cannot write to " + utf8(path) + ": ";
    QByteArray file;
    if (!encodeTree(root, file, where))
        return false;

    if (QFileInfo(path).isDir()) {
        setError(where + "a folder of that name exists");
        return false;
    }
    // The project's one file writer: every write checked and read back,
    // synced, renamed over the old file, the folder synced.
    QString reason;
    if (!kelda::fileio::writeAtomically(path, file, nullptr, &reason)) {
        setError(where + utf8(reason));
        return false;
    }
    return true;
}

Tree parseFile(const char *data, size_t size)
{
    if (size == 0) {
        setError("not a KELDA setup file (the file is empty)");
        return {};
    }
    if (size < size_t(kHeaderSize) || std::memcmp(data, kMagic, sizeof kMagic) != 0) {
        setError("not a KELDA setup file");
        return {};
    }
    const uint16_t version = getU16(data + 8);
    if (version != kFormatVersion && version != kNestedFormatVersion) {
        setError("the file has setup format version " + std::to_string(version) + "; this KELDA reads versions "
                 + std::to_string(kNestedFormatVersion) + " and " + std::to_string(kFormatVersion)
                 + " (it may come from a newer KELDA)");
        return {};
    }
    if (getU16(data + 10) != 0) {
        setError("file is damaged (bad header)");
        return {};
    }
    const uint32_t length = getU32(data + 12);
    const size_t have = size - kHeaderSize;
    if (length > have) {
        setError("file is truncated (" + std::to_string(have) + " of " + std::to_string(length) + " bytes)");
        return {};
    }
    if (length < have) {
        setError("file is damaged (unexpected data after the end)");
        return {};
    }
    if (crc32(data + kHeaderSize, length) != getU32(data + 16)) {
        setError("file is damaged (checksum mismatch)");
        return {};
    }
    if (version == kFormatVersion) {
        FlatParser parser(data + kHeaderSize, length);
        ItemPtr root = parser.parse();
        if (!root) {
            setError(parser.error());
            return {};
        }
        return {parser.arena(), std::move(root)};
    }
    const QByteArray payload = QByteArray::fromRawData(data + kHeaderSize, qsizetype(length));
    Parser parser(payload);
    ItemPtr root = parser.parse();
    if (!root) {
        setError(parser.error());
        return {};
    }
    return {nullptr, std::move(root)};
}

Tree loadTree(const char *latin1Path)
{
    const QString path = QString::fromLatin1(latin1Path);
    if (path.isEmpty()) {
        setError("no file name given");
        return {};
    }
    const std::string where = "cannot open " + utf8(path) + ": ";
    const QFileInfo info(path);
    if (!info.exists()) {
        setError(where + "No such file or directory");
        return {};
    }
    // Folders, pipes and devices are refused before opening: a pipe would block.
    if (!info.isFile()) {
        setError(where + "not a regular file");
        return {};
    }
    if (info.size() > kMaxFileSize) {
        setError(where + "too large to be a KELDA setup file");
        return {};
    }
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly)) {
        setError(where + utf8(in.errorString()));
        return {};
    }
    // One byte more than expected shows a file that grew while being read.
    const QByteArray bytes = in.read(info.size() + 1);
    if (in.error() != QFileDevice::NoError) {
        setError(where + utf8(in.errorString()));
        return {};
    }
    if (bytes.size() != info.size()) {
        setError(where + "the file changed while it was read");
        return {};
    }
    return parseFile(bytes.constData(), size_t(bytes.size()));
}

}  // namespace strata
