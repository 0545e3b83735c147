// The store layer: everything above the store reads and writes it through
// these classes, and this header is the only place that calls the store's C
// interface.
//   UniqueSession       owns one session and closes it;
//   StoreCursor         typed reads and writes at the session's cursor;
//   StoreBookmarkGuard  a saved cursor position, released at scope end.
// They hold no data of their own; every call goes to the store at once.
#pragma once

#include <QByteArray>
#include <QString>
#include <QVarLengthArray>

#include <algorithm>
#include <cstring>
#include <utility>

#include "schema.h"
#include "strata.h"

namespace kelda {

// Why the last failed store operation of this thread failed, in plain English.
inline QString storeError()
{
    return QString::fromUtf8(STRATA_LastError());
}

// A saved cursor position, released when it goes out of scope. Made with
// `mark` false it holds none (valid() is false), for a position that only
// some paths need.
class StoreBookmarkGuard
{
public:
    explicit StoreBookmarkGuard(StoreSession session, bool mark = true) : m_s(session)
    {
        if (mark && m_s && !STRATA_AddBookMark(&m_b, m_s))
            m_b = nullptr;
    }
    ~StoreBookmarkGuard()
    {
        if (m_b)
            STRATA_RemoveBookMark(m_b, m_s);
    }
    StoreBookmarkGuard(const StoreBookmarkGuard &) = delete;
    StoreBookmarkGuard &operator=(const StoreBookmarkGuard &) = delete;

    bool valid() const { return m_b != nullptr; }
    StoreBookmark handle() const { return m_b; }
    bool go() { return m_b && STRATA_GotoBookMark(m_b, m_s); }
    // The current item refers to the bookmarked one (slot 1, keyed by Name).
    bool referFrom() { return m_b && STRATA_CreateReference(m_b, 1, toU16(ValueId::Name), m_s); }

private:
    StoreSession m_s;
    StoreBookmark m_b = nullptr;
};

class StoreCursor
{
public:
    // Index that opens (or removes) the last child of a type.
    static constexpr int kLastItem = STRATA_LAST_ITEM;

    explicit StoreCursor(StoreSession session) : m_s(session) { }

    bool valid() const { return m_s != nullptr; }
    StoreSession session() const { return m_s; }

    bool root() { return m_s && STRATA_GotoRoot(m_s); }
    // Root, then the one setup item: where every access starts.
    bool setup() { return root() && STRATA_OpenItem(toU16(ItemType::Setup), 0, m_s); }

    // Opens child `index` of the type; kLastItem opens the last one.
    bool open(ItemType type, int index)
    {
        if (!m_s || index < 0 || index > kLastItem)
            return false;
        return STRATA_OpenItem(toU16(type), uint16_t(index), m_s);
    }
    bool close() { return m_s && STRATA_CloseItem(m_s); }
    // Setup item, then the table item at `row`.
    bool item(ItemType type, int row) { return setup() && open(type, row); }

    // Children of that type of the current item; 0 when the store cannot say.
    int count(ItemType type)
    {
        int n = 0;
        return count(type, n) ? n : 0;
    }
    bool count(ItemType type, int &n)
    {
        uint16_t c = 0;
        if (!m_s || !STRATA_GetItemCount(toU16(type), &c, m_s))
            return false;
        n = c;
        return true;
    }
    // The distinct child types of the current item, in ascending type order
    // (the store's own order): how many, and the one at a position.
    bool childTypeCount(int &n)
    {
        uint16_t c = 0;
        if (!m_s || !STRATA_GetChildTypeCount(&c, m_s))
            return false;
        n = c;
        return true;
    }
    bool childType(int position, ItemType &type)
    {
        uint16_t t = 0;
        if (!m_s || position < 0 || position > 0xFFFF || !STRATA_GetChildType(uint16_t(position), &t, m_s))
            return false;
        type = ItemType(t);
        return true;
    }
    bool append(ItemType type, int n = 1)
    {
        return m_s && n > 0 && n <= 0xFFFF && STRATA_InsertItemBlocks(toU16(type), uint16_t(n), m_s);
    }
    bool remove(ItemType type, int index)
    {
        return m_s && index >= 0 && index < kLastItem && STRATA_DeleteItem(toU16(type), uint16_t(index), m_s);
    }
    // Type and sibling index of the current item; false at the root.
    bool parent(ItemType &type, int &index)
    {
        uint16_t t = 0, i = 0;
        if (!m_s || !STRATA_GetParentTID(&t, &i, m_s))
            return false;
        type = ItemType(t);
        index = i;
        return true;
    }

    // Fixed-width values. The buffer is wider than any schema value, so a
    // store that holds an unexpected width cannot overrun it.
    bool readRaw(ValueId id, unsigned char (&buf)[16])
    {
        std::memset(buf, 0, sizeof buf);
        uint32_t size = 0;
        if (!m_s || !STRATA_GetValSize(toU16(id), &size, m_s) || size > sizeof buf)
            return false;
        return STRATA_GetValue(toU16(id), buf, m_s);
    }
    // An integer value, zero-extended; `out` is untouched when it is absent.
    // The store keeps every value at the width the schema gives its id, so a
    // two-byte id is read straight into place. Forced inline: in the
    // compiler's hot path the width check then folds away for a constant id.
    Q_ALWAYS_INLINE bool u16(ValueId id, uint16_t &out)
    {
        if (valueWidth(toU16(id)) == 2)
            return m_s && STRATA_GetValue(toU16(id), &out, m_s);
        return otherU16(id, out);
    }
    Q_ALWAYS_INLINE int u16Or(ValueId id, int fallback)
    {
        uint16_t v = 0;
        return u16(id, v) ? int(v) : fallback;
    }
    // The low byte of an integer value; `out` is untouched when it is absent.
    Q_ALWAYS_INLINE bool u8(ValueId id, uint8_t &out)
    {
        if (valueWidth(toU16(id)) == 1)
            return m_s && STRATA_GetValue(toU16(id), &out, m_s);
        uint16_t v = 0;
        if (!u16(id, v))
            return false;
        out = uint8_t(v);
        return true;
    }
    Q_ALWAYS_INLINE int u8Or(ValueId id, int fallback)
    {
        uint8_t v = 0;
        return u8(id, v) ? int(v) : fallback;
    }
    bool has(ValueId id)
    {
        uint32_t size = 0;
        return m_s && STRATA_GetValSize(toU16(id), &size, m_s);
    }
    // Size in bytes of a value as stored (a text with its zero); -1 if absent.
    qint64 size(ValueId id)
    {
        uint32_t size = 0;
        if (!m_s || !STRATA_GetValSize(toU16(id), &size, m_s))
            return -1;
        return size;
    }
    // Writes an integer value with the width the schema fixes for the id.
    bool setInt(ValueId id, int value)
    {
        if (!m_s)
            return false;
        if (valueWidth(toU16(id)) == 1) {
            const uint8_t v = uint8_t(value);
            return STRATA_InsertValue(toU16(id), &v, m_s);
        }
        const uint16_t v = uint16_t(value);
        return STRATA_InsertValue(toU16(id), &v, m_s);
    }

    // Zero-terminated Latin-1 texts.
    bool text(ValueId id, QString &out)
    {
        uint32_t size = 0;
        if (!m_s || !STRATA_GetValSize(toU16(id), &size, m_s))
            return false;
        QByteArray buf(int(size) + 1, '\0');
        if (!STRATA_GetValue(toU16(id), buf.data(), m_s))
            return false;
        out = QString::fromLatin1(buf.constData());  // stops at the first zero
        return true;
    }
    QString textOr(ValueId id, const QString &fallback = QString())
    {
        QString s;
        return text(id, s) ? s : fallback;
    }
    bool setText(ValueId id, const QString &value)
    {
        const QByteArray bytes = value.toLatin1();  // keeps its terminating zero
        return m_s && STRATA_InsertValue(toU16(id), bytes.constData(), m_s);
    }

    QByteArray block(ValueId id)
    {
        uint32_t size = 0;
        if (!m_s || !STRATA_GetValSize(toU16(id), &size, m_s) || size > 0xFFFF)
            return QByteArray();
        QByteArray buf(int(size), '\0');
        if (!STRATA_GetValue(toU16(id), buf.data(), m_s))
            return QByteArray();
        return buf;
    }
    // A fixed-size block without a heap allocation: the first n bytes of the
    // value, zeros where it is absent or shorter.
    void block(ValueId id, uint8_t *out, int n)
    {
        std::memset(out, 0, size_t(n));
        uint32_t size = 0;
        if (!m_s || !STRATA_GetValSize(toU16(id), &size, m_s) || size == 0 || size > 4096)
            return;
        QVarLengthArray<uint8_t, 16> buf(static_cast<qsizetype>(size));
        if (STRATA_GetValue(toU16(id), buf.data(), m_s))
            std::copy_n(buf.constData(), std::min<qsizetype>(n, buf.size()), out);
    }
    bool setBlock(const QByteArray &data)
    {
        return m_s && STRATA_InsertData(uint32_t(data.size()), data.constData(), m_s);
    }

    // Any value as its stored bytes (a text with its zero), for tools that
    // carry values without knowing what they mean.
    bool bytes(ValueId id, QByteArray &out)
    {
        const qint64 n = size(id);
        if (n < 0 || n > 0x10000)
            return false;
        QByteArray buf(n, '\0');
        if (!STRATA_GetValue(toU16(id), buf.data(), m_s))
            return false;
        out = buf;
        return true;
    }
    // Writes a value from bytes of its schema width (a text up to its zero).
    bool setBytes(ValueId id, const QByteArray &data)
    {
        const int width = valueWidth(toU16(id));
        if (!m_s || width < 0 || (width != kTextWidth && data.size() != width))
            return false;
        return STRATA_InsertValue(toU16(id), data.constData(), m_s);
    }

    // A child of the current item with that type and Name.
    bool find(ItemType type, const QString &name)
    {
        const QByteArray key = name.toLatin1();
        return m_s && type != ItemType::None
            && STRATA_FindType(toU16(type), toU16(ValueId::Name), key.constData(), m_s);
    }
    // Moves to the item the current item refers to (slot 1).
    bool follow() { return m_s && STRATA_GotoReference(1, m_s); }
    // Follows the reference and gives the target's type and index; the
    // cursor rests on the target.
    bool followTo(ItemType &type, int &index) { return follow() && parent(type, index); }
    // Type and index of the item the current item refers to; the cursor stays.
    bool referenceTarget(ItemType &type, int &index)
    {
        StoreBookmarkGuard here(m_s);
        if (!here.valid())
            return false;
        const bool found = followTo(type, index);
        here.go();
        return found;
    }

private:
    // u16() of an id whose value is not two bytes wide.
    bool otherU16(ValueId id, uint16_t &out)
    {
        if (valueWidth(toU16(id)) == 1) {
            uint8_t v = 0;
            if (!m_s || !STRATA_GetValue(toU16(id), &v, m_s))
                return false;
            out = v;
            return true;
        }
        unsigned char buf[16];
        if (!readRaw(id, buf))
            return false;
        std::memcpy(&out, buf, sizeof out);
        return true;
    }

    StoreSession m_s;
};

// Owns one store session and closes it when destroyed or replaced; moves,
// never copies. Empty (get() is null) after a failed create, open or copy, and
// after being moved from.
class UniqueSession
{
public:
    UniqueSession() = default;
    explicit UniqueSession(StoreSession adopted) : m_s(adopted) { }
    ~UniqueSession() { reset(); }
    UniqueSession(UniqueSession &&other) noexcept : m_s(std::exchange(other.m_s, nullptr)) { }
    UniqueSession &operator=(UniqueSession &&other) noexcept
    {
        if (this != &other) {
            reset();
            m_s = std::exchange(other.m_s, nullptr);
        }
        return *this;
    }
    UniqueSession(const UniqueSession &) = delete;
    UniqueSession &operator=(const UniqueSession &) = delete;

    // An empty store: a root without values or children.
    static UniqueSession create()
    {
        StoreSession s = nullptr;
        return STRATA_NewSession(&s) ? UniqueSession(s) : UniqueSession();
    }
    // A whole setup file (Latin-1 path); empty with storeError() set on failure.
    static UniqueSession open(const QByteArray &latin1Path)
    {
        StoreSession s = nullptr;
        return STRATA_OpenSession(latin1Path.constData(), &s) ? UniqueSession(s) : UniqueSession();
    }
    // A fresh session holding a copy of everything below the root of `source`,
    // independent of it afterwards; the source's cursor ends at its root. The
    // handle is empty only when no session could be made; *copied says
    // whether the items came across too (false for a null source).
    static UniqueSession copyOf(StoreSession source, bool *copied = nullptr)
    {
        if (copied)
            *copied = false;
        UniqueSession copy = create();
        if (copy && source && STRATA_GotoRoot(source)) {
            const bool ok = STRATA_CopyBlocks(source, copy.m_s);
            if (copied)
                *copied = ok;
        }
        return copy;
    }

    // Writes the whole tree atomically (Latin-1 path).
    bool save(const QByteArray &latin1Path) const { return STRATA_SaveSession(latin1Path.constData(), m_s); }

    // The bytes a setup file of the whole tree would hold, kept in memory;
    // false with storeError() set when there is no session or it is too large.
    bool saveImage(QByteArray &out) const
    {
        out.clear();
        const auto append = [](const void *data, size_t size, void *context) {
            static_cast<QByteArray *>(context)->append(static_cast<const char *>(data), qsizetype(size));
        };
        return m_s && STRATA_SaveSessionImage(append, &out, m_s);
    }
    // A session from such bytes, checked as a file is; empty with
    // storeError() set when they are not a whole, sound setup.
    static UniqueSession openImage(const QByteArray &image)
    {
        StoreSession s = nullptr;
        return STRATA_OpenSessionImage(image.constData(), size_t(image.size()), &s) ? UniqueSession(s)
                                                                                    : UniqueSession();
    }

    bool isOpen() const { return m_s != nullptr; }
    explicit operator bool() const { return m_s != nullptr; }
    StoreSession get() const { return m_s; }
    StoreCursor cursor() const { return StoreCursor(m_s); }
    // Closes the session now; the handle is empty afterwards.
    void reset()
    {
        if (m_s)
            STRATA_CloseSession(std::exchange(m_s, nullptr));
    }

private:
    StoreSession m_s = nullptr;
};

}  // namespace kelda
