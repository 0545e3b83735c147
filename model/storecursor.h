// StoreCursor: thin typed wrapper over the store's cursor functions, so that
// the model reads and writes schema values by id without repeating widths and
// casts. It holds no data of its own; every call goes to the store at once.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstring>

#include "schema.h"
#include "strata.h"

namespace kelda {

class StoreCursor
{
public:
    explicit StoreCursor(StoreSession session) : m_s(session) {}

    bool valid() const { return m_s != nullptr; }
    StoreSession session() const { return m_s; }

    bool root() { return m_s && STRATA_GotoRoot(m_s); }
    // Root, then the one setup item: where every access starts.
    bool setup() { return root() && STRATA_OpenItem(toU16(ItemType::Setup), 0, m_s); }

    // Opens child `index` of the type; STRATA_LAST_ITEM opens the last one.
    bool open(ItemType type, int index)
    {
        if (!m_s || index < 0 || index > STRATA_LAST_ITEM)
            return false;
        return STRATA_OpenItem(toU16(type), uint16_t(index), m_s);
    }
    bool close() { return m_s && STRATA_CloseItem(m_s); }
    // Setup item, then the table item at `row`.
    bool item(ItemType type, int row) { return setup() && open(type, row); }

    int count(ItemType type)
    {
        uint16_t n = 0;
        if (!m_s || !STRATA_GetItemCount(toU16(type), &n, m_s))
            return 0;
        return n;
    }
    bool append(ItemType type, int n = 1)
    {
        return m_s && n > 0 && n <= 0xFFFF && STRATA_InsertItemBlocks(toU16(type), uint16_t(n), m_s);
    }
    bool remove(ItemType type, int index)
    {
        return m_s && index >= 0 && index < STRATA_LAST_ITEM && STRATA_DeleteItem(toU16(type), uint16_t(index), m_s);
    }
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
    bool u16(ValueId id, uint16_t &out)
    {
        unsigned char buf[16];
        if (!readRaw(id, buf))
            return false;
        if (valueWidth(toU16(id)) == 1)
            out = buf[0];
        else
            std::memcpy(&out, buf, sizeof out);
        return true;
    }
    int u16Or(ValueId id, int fallback)
    {
        uint16_t v = 0;
        return u16(id, v) ? int(v) : fallback;
    }
    bool has(ValueId id)
    {
        uint32_t size = 0;
        return m_s && STRATA_GetValSize(toU16(id), &size, m_s);
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
    bool setBlock(const QByteArray &data)
    {
        return m_s && STRATA_InsertData(uint32_t(data.size()), data.constData(), m_s);
    }

    // A child of the current item with that type and Name.
    bool find(ItemType type, const QString &name)
    {
        const QByteArray key = name.toLatin1();
        return m_s && type != ItemType::None && STRATA_FindType(toU16(type), toU16(ValueId::Name), key.constData(), m_s);
    }
    bool follow() { return m_s && STRATA_GotoReference(1, m_s); }

private:
    StoreSession m_s;
};

// A saved cursor position, released when it goes out of scope.
class StoreBookmarkGuard
{
public:
    explicit StoreBookmarkGuard(StoreSession session) : m_s(session)
    {
        if (m_s && !STRATA_AddBookMark(&m_b, m_s))
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

} // namespace kelda
