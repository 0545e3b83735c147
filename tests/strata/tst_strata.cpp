// The store: operations and their failures, cursor, bookmarks, references,
// copies, and the setup file reader and writer.
#include "strata.h"
#include "schema.h"
#include "testfiles.h"

#include <QtTest>
#include <QCborStreamWriter>

#include <functional>

#include <cstring>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

using kelda::ItemType;
using kelda::toU16;
using kelda::ValueId;
using kelda::test::readFile;
using kelda::test::writeFile;

namespace {

constexpr uint16_t kSetup = toU16(ItemType::Setup);
constexpr uint16_t kTimer = toU16(ItemType::Timer);
constexpr uint16_t kState = toU16(ItemType::State);
constexpr uint16_t kEvent = toU16(ItemType::Event);
constexpr uint16_t kRefEntry = toU16(ItemType::RefEntry);
constexpr uint16_t kRefList = toU16(ItemType::RefList);
constexpr uint16_t kReference = toU16(ItemType::Reference);
constexpr uint16_t kName = toU16(ValueId::Name);
constexpr uint16_t kData = toU16(ValueId::Data);
constexpr uint16_t kTargetType = toU16(ValueId::TargetType);

// Owns a session for the length of a test.
struct Session {
    StoreSession s = nullptr;
    Session() { QVERIFY(STRATA_NewSession(&s)); }
    ~Session()
    {
        if (s)
            STRATA_CloseSession(s);
    }
    operator StoreSession() const { return s; }
};

QByteArray name(StoreSession s)
{
    uint32_t size = 0;
    if (!STRATA_GetValSize(kName, &size, s))
        return "<none>";
    QByteArray text(int(size), 'x');
    if (!STRATA_GetValue(kName, text.data(), s))
        return "<none>";
    if (text.isEmpty() || text.back() != '\0')
        return "<unterminated>";
    text.chop(1);
    return text;
}

uint16_t data(StoreSession s)
{
    uint16_t v = 0xDEAD;
    STRATA_GetValue(kData, &v, s);
    return v;
}

// Root -> Setup 0 with `timers` named "Timer 1".. and `states` named "State 1"..
void buildSetup(StoreSession s, int timers, int states)
{
    QVERIFY(STRATA_GotoRoot(s));
    QVERIFY(STRATA_InsertItemBlocks(kSetup, 1, s));
    QVERIFY(STRATA_OpenItem(kSetup, 0, s));
    QVERIFY(STRATA_InsertItemBlocks(kTimer, uint16_t(timers), s));
    QVERIFY(STRATA_InsertItemBlocks(kState, uint16_t(states), s));
    for (int i = 0; i < timers; ++i) {
        QVERIFY(STRATA_OpenItem(kTimer, uint16_t(i), s));
        QVERIFY(STRATA_InsertValue(kName, QByteArray("Timer " + QByteArray::number(i + 1)).constData(), s));
        const uint16_t v = uint16_t(100 + i);
        QVERIFY(STRATA_InsertValue(kData, &v, s));
        QVERIFY(STRATA_CloseItem(s));
    }
    for (int i = 0; i < states; ++i) {
        QVERIFY(STRATA_OpenItem(kState, uint16_t(i), s));
        QVERIFY(STRATA_InsertValue(kName, QByteArray("State " + QByteArray::number(i + 1)).constData(), s));
        QVERIFY(STRATA_CloseItem(s));
    }
}

// Bitwise CRC-32 (IEEE), independent of the store's table-driven one.
uint32_t referenceCrc(const QByteArray &bytes)
{
    uint32_t c = 0xFFFFFFFFu;
    for (char ch : bytes) {
        c ^= uint8_t(ch);
        for (int k = 0; k < 8; ++k)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

QByteArray bigEndian(uint32_t v, int bytes)
{
    QByteArray out;
    for (int i = bytes - 1; i >= 0; --i)
        out.append(char(v >> (8 * i)));
    return out;
}

// A file around any payload with a correct header, so that the tree checks
// themselves are reached.
// A file of the given format version around a payload (version 1: nested
// arrays per item, still read; version 2: the flat layout written today).
QByteArray wrap(const QByteArray &payload, uint16_t version = 1)
{
    return QByteArray("KELDASET") + bigEndian(version, 2) + bigEndian(0, 2) + bigEndian(uint32_t(payload.size()), 4)
        + bigEndian(referenceCrc(payload), 4) + payload;
}

// A CBOR head: major type and argument.
QByteArray cborHead(int major, quint64 value)
{
    QByteArray out;
    const char m = char(major << 5);
    if (value < 24)
        return out.append(char(m | char(value)));
    if (value <= 0xFF)
        return out.append(char(m | 24)).append(char(value));
    if (value <= 0xFFFF)
        return out.append(char(m | 25)) + bigEndian(uint32_t(value), 2);
    if (value <= 0xFFFFFFFFu)
        return out.append(char(m | 26)) + bigEndian(uint32_t(value), 4);
    return out.append(char(m | 27)) + bigEndian(uint32_t(value >> 32), 4) + bigEndian(uint32_t(value), 4);
}

// CBOR of an item [type, {values}, [children]]; children come ready-made.
QByteArray cborItem(uint16_t type, const std::function<void(QCborStreamWriter &)> &values, int valueCount,
                    const QList<QByteArray> &children = {})
{
    QByteArray map;
    {
        QCborStreamWriter w(&map);
        w.startMap(valueCount);
        values(w);
        w.endMap();
    }
    QByteArray out = cborHead(4, 3) + cborHead(0, type) + map + cborHead(4, quint64(children.size()));
    for (const QByteArray &c : children)
        out += c;
    return out;
}

const auto noValues = [](QCborStreamWriter &) {};

bool writeFresh(const QString &path, const QByteArray &bytes)
{
    // A fresh file each time: truncating one in place makes the file system
    // flush it on close, which slows the loops below a hundredfold.
    QFile::remove(path);
    return writeFile(path, bytes);
}

// Opening must fail, report a reason and leave the out session as it was.
bool refuses(const QString &path)
{
    StoreSession s = nullptr;
    const bool opened = STRATA_OpenSession(path.toLatin1().constData(), &s);
    if (opened)
        STRATA_CloseSession(s);
    return !opened && s == nullptr && std::strlen(STRATA_LastError()) > 0;
}

QString refusalReason(const QString &path, const QByteArray &bytes)
{
    if (!writeFresh(path, bytes))
        return "cannot write fixture";
    StoreSession s = nullptr;
    if (STRATA_OpenSession(path.toLatin1().constData(), &s)) {
        STRATA_CloseSession(s);
        return QString();
    }
    return QString::fromLatin1(STRATA_LastError());
}

}  // namespace

class TestStrata : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QLocale::setDefault(QLocale::c()); }
    void sessionsAndNullArguments();
    void itemsAndCursor();
    void childTypes();
    void lastIndexAndDelete();
    void values();
    void findType();
    void bookmarks();
    void references();
    void copyBlocks();
    void fileLayout();
    void saveOpenRoundTrip();
    void depthLimit();
    void badFiles_data();
    void badFiles();
    void badFlatFiles_data();
    void badFlatFiles();
    void manyChildTypes();
    void childTypesInAnyOrder();
    void everyFlippedBit();
    void everyTruncation();
    void notRegularFiles();
    void saveFailures();
    void imagesInMemory();
};

void TestStrata::sessionsAndNullArguments()
{
    QVERIFY(!STRATA_NewSession(nullptr));
    StoreSession s = nullptr;
    QVERIFY(STRATA_NewSession(&s));
    QVERIFY(s);
    uint16_t count = 7;
    QVERIFY(STRATA_GetItemCount(kSetup, &count, s));
    QCOMPARE(count, uint16_t(0));
    QVERIFY(STRATA_CloseSession(s));

    QVERIFY(!STRATA_CloseSession(nullptr));
    QVERIFY(!STRATA_GotoRoot(nullptr));
    QVERIFY(!STRATA_OpenItem(kSetup, 0, nullptr));
    QVERIFY(!STRATA_GetItemCount(kSetup, &count, nullptr));
    QVERIFY(std::strlen(STRATA_LastError()) > 0);
}

void TestStrata::itemsAndCursor()
{
    Session s;
    uint16_t type = 0, index = 0;
    // The root has no parent and cannot be closed.
    QVERIFY(!STRATA_CloseItem(s));
    QVERIFY(!STRATA_GetParentTID(&type, &index, s));
    QVERIFY(!STRATA_OpenItem(kSetup, 0, s));

    buildSetup(s, 3, 2);
    uint16_t count = 0;
    QVERIFY(STRATA_GetItemCount(kTimer, &count, s));
    QCOMPARE(count, uint16_t(3));
    QVERIFY(STRATA_GetItemCount(kState, &count, s));
    QCOMPARE(count, uint16_t(2));
    QVERIFY(STRATA_GetItemCount(kEvent, &count, s));
    QCOMPARE(count, uint16_t(0));

    QVERIFY(STRATA_OpenItem(kTimer, 2, s));
    QCOMPARE(name(s), QByteArray("Timer 3"));
    QVERIFY(STRATA_GetParentTID(&type, &index, s));
    QCOMPARE(type, kTimer);
    QCOMPARE(index, uint16_t(2));
    QVERIFY(STRATA_CloseItem(s));
    QVERIFY(STRATA_GetParentTID(&type, &index, s));
    QCOMPARE(type, kSetup);
    QCOMPARE(index, uint16_t(0));

    // Out of range leaves the cursor where it was.
    QVERIFY(!STRATA_OpenItem(kTimer, 3, s));
    QVERIFY(!STRATA_OpenItem(kEvent, 0, s));
    QVERIFY(STRATA_GetParentTID(&type, &index, s));
    QCOMPARE(type, kSetup);

    // Children of each type are appended at the end and start empty.
    QVERIFY(STRATA_InsertItemBlocks(kTimer, 2, s));
    QVERIFY(STRATA_GetItemCount(kTimer, &count, s));
    QCOMPARE(count, uint16_t(5));
    QVERIFY(STRATA_OpenItem(kTimer, 4, s));
    QCOMPARE(name(s), QByteArray("<none>"));
    QVERIFY(STRATA_GotoRoot(s));
    QVERIFY(!STRATA_GetParentTID(&type, &index, s));
}

// Child types are listed once each, ascending, whatever order they were
// created in, and follow inserts and deletes.
void TestStrata::childTypes()
{
    Session s;
    uint16_t count = 99, type = 0;
    QVERIFY(STRATA_GetChildTypeCount(&count, s));
    QCOMPARE(count, uint16_t(0));
    QVERIFY(!STRATA_GetChildType(0, &type, s));
    QVERIFY(STRATA_InsertItemBlocks(kTimer, 2, s));
    QVERIFY(STRATA_InsertItemBlocks(4242, 1, s));  // a type the schema does not know
    QVERIFY(STRATA_InsertItemBlocks(kSetup, 1, s));
    QVERIFY(STRATA_InsertItemBlocks(kTimer, 1, s));
    QVERIFY(STRATA_GetChildTypeCount(&count, s));
    QCOMPARE(count, uint16_t(3));
    QList<uint16_t> types;
    for (uint16_t i = 0; i < count; ++i) {
        QVERIFY(STRATA_GetChildType(i, &type, s));
        types.append(type);
    }
    QCOMPARE(types, (QList<uint16_t>{kSetup, kTimer, 4242}));
    type = 7;
    QVERIFY(!STRATA_GetChildType(3, &type, s));
    QCOMPARE(type, uint16_t(7));
    QVERIFY(!STRATA_GetChildType(0, nullptr, s));
    QVERIFY(!STRATA_GetChildTypeCount(nullptr, s));
    QVERIFY(!STRATA_GetChildTypeCount(&count, nullptr));
    QVERIFY(!STRATA_GetChildType(0, &type, nullptr));

    // The last item of a type gone, the type is gone; positions close up.
    QVERIFY(STRATA_DeleteItem(kSetup, 0, s));
    QVERIFY(STRATA_GetChildTypeCount(&count, s));
    QCOMPARE(count, uint16_t(2));
    QVERIFY(STRATA_GetChildType(0, &type, s));
    QCOMPARE(type, kTimer);
    // Types are per item: a fresh child has none, and the list survives a file.
    QVERIFY(STRATA_OpenItem(4242, 0, s));
    QVERIFY(STRATA_GetChildTypeCount(&count, s));
    QCOMPARE(count, uint16_t(0));
    QTemporaryDir dir;
    const QByteArray path = (dir.path() + "/types.kelda").toLatin1();
    QVERIFY(STRATA_SaveSession(path.constData(), s));
    StoreSession opened = nullptr;
    QVERIFY2(STRATA_OpenSession(path.constData(), &opened), STRATA_LastError());
    QVERIFY(STRATA_GetChildTypeCount(&count, opened));
    QCOMPARE(count, uint16_t(2));
    QVERIFY(STRATA_GetChildType(1, &type, opened));
    QCOMPARE(type, uint16_t(4242));
    QVERIFY(STRATA_CloseSession(opened));
}

void TestStrata::lastIndexAndDelete()
{
    Session s;
    buildSetup(s, 4, 0);
    QVERIFY(STRATA_OpenItem(kTimer, STRATA_LAST_ITEM, s));
    QCOMPARE(name(s), QByteArray("Timer 4"));
    uint16_t type = 0, index = 0;
    QVERIFY(STRATA_GetParentTID(&type, &index, s));
    QCOMPARE(index, uint16_t(3));
    QVERIFY(STRATA_CloseItem(s));
    QVERIFY(!STRATA_OpenItem(kState, STRATA_LAST_ITEM, s));

    // Delete one in the middle: later siblings shift down, indexes follow.
    QVERIFY(STRATA_DeleteItem(kTimer, 1, s));
    uint16_t count = 0;
    QVERIFY(STRATA_GetItemCount(kTimer, &count, s));
    QCOMPARE(count, uint16_t(3));
    QVERIFY(STRATA_OpenItem(kTimer, 1, s));
    QCOMPARE(name(s), QByteArray("Timer 3"));
    QVERIFY(STRATA_GetParentTID(&type, &index, s));
    QCOMPARE(index, uint16_t(1));
    QVERIFY(STRATA_CloseItem(s));
    QVERIFY(!STRATA_DeleteItem(kTimer, 3, s));
    QVERIFY(!STRATA_DeleteItem(kState, 0, s));
    QVERIFY(STRATA_DeleteItem(kTimer, STRATA_LAST_ITEM, s));
    QVERIFY(STRATA_OpenItem(kTimer, STRATA_LAST_ITEM, s));
    QCOMPARE(name(s), QByteArray("Timer 3"));
    QVERIFY(STRATA_CloseItem(s));
    QVERIFY(STRATA_DeleteItem(kTimer, 0, s));
    QVERIFY(STRATA_DeleteItem(kTimer, 0, s));
    QVERIFY(STRATA_GetItemCount(kTimer, &count, s));
    QCOMPARE(count, uint16_t(0));
    QVERIFY(!STRATA_OpenItem(kTimer, STRATA_LAST_ITEM, s));
    // The subtree goes with its item.
    QVERIFY(STRATA_InsertItemBlocks(kTimer, 1, s));
    QVERIFY(STRATA_OpenItem(kTimer, 0, s));
    QVERIFY(STRATA_InsertItemBlocks(kRefList, 2, s));
    QVERIFY(STRATA_CloseItem(s));
    QVERIFY(STRATA_DeleteItem(kTimer, 0, s));
    QVERIFY(STRATA_InsertItemBlocks(kTimer, 1, s));
    QVERIFY(STRATA_OpenItem(kTimer, 0, s));
    QVERIFY(STRATA_GetItemCount(kRefList, &count, s));
    QCOMPARE(count, uint16_t(0));
}

void TestStrata::values()
{
    Session s;
    buildSetup(s, 1, 0);
    QVERIFY(STRATA_OpenItem(kTimer, 0, s));

    // Absent: false, and the buffer is untouched.
    uint32_t size = 99;
    char buffer[16];
    std::memset(buffer, 'q', sizeof buffer);
    QVERIFY(!STRATA_GetValSize(toU16(ValueId::ResetTicks), &size, s));
    QVERIFY(!STRATA_GetValue(toU16(ValueId::ResetTicks), buffer, s));
    QCOMPARE(buffer[0], 'q');

    // Fixed widths: exactly that many bytes in, the rest of the buffer untouched.
    const uint8_t one = 0xA5;
    QVERIFY(STRATA_InsertValue(toU16(ValueId::ByteSelect), &one, s));
    QVERIFY(STRATA_GetValSize(toU16(ValueId::ByteSelect), &size, s));
    QCOMPARE(size, 1u);
    QVERIFY(STRATA_GetValue(toU16(ValueId::ByteSelect), buffer, s));
    QCOMPARE(uint8_t(buffer[0]), one);
    QCOMPARE(buffer[1], 'q');

    const uint16_t two = 0xBEEF;
    QVERIFY(STRATA_InsertValue(toU16(ValueId::CanId), &two, s));
    uint16_t readTwo = 0;
    QVERIFY(STRATA_GetValSize(toU16(ValueId::CanId), &size, s));
    QCOMPARE(size, 2u);
    QVERIFY(STRATA_GetValue(toU16(ValueId::CanId), &readTwo, s));
    QCOMPARE(readTwo, two);
    const uint16_t replaced = 7;
    QVERIFY(STRATA_InsertValue(toU16(ValueId::CanId), &replaced, s));
    QVERIFY(STRATA_GetValue(toU16(ValueId::CanId), &readTwo, s));
    QCOMPARE(readTwo, replaced);

    // Texts keep their zero; a longer text replaces a shorter one and back.
    QVERIFY(STRATA_InsertValue(kName, "A much longer name than before", s));
    QVERIFY(STRATA_InsertValue(kName, "\xC4hre", s));  // Latin-1 bytes kept as they are
    QVERIFY(STRATA_GetValSize(kName, &size, s));
    QCOMPARE(size, 5u);
    QCOMPARE(name(s), QByteArray("\xC4hre"));
    QVERIFY(STRATA_InsertValue(kName, "", s));
    QVERIFY(STRATA_GetValSize(kName, &size, s));
    QCOMPARE(size, 1u);

    // Texts up to 65534 bytes (65535 with the zero).
    const QByteArray longest(65534, 'a');
    QVERIFY(STRATA_InsertValue(kName, longest.constData(), s));
    QVERIFY(STRATA_GetValSize(kName, &size, s));
    QCOMPARE(size, 65535u);
    QVERIFY(!STRATA_InsertValue(kName, QByteArray(65535, 'b').constData(), s));
    QCOMPARE(name(s), longest);

    // Unknown value ids and missing data are refused.
    QVERIFY(!STRATA_InsertValue(4242, &two, s));
    QVERIFY(!STRATA_InsertValue(kData, nullptr, s));
    QVERIFY(!STRATA_GetValSize(4242, &size, s));

    // Raw blocks are the masks value and must have its width.
    const uint8_t masks[8] = {1, 2, 4, 8, 16, 32, 64, 128};
    QVERIFY(!STRATA_InsertData(7, masks, s));
    QVERIFY(!STRATA_InsertData(9, masks, s));
    QVERIFY(!STRATA_GetValSize(toU16(ValueId::Lx1Masks), &size, s));
    QVERIFY(STRATA_InsertData(8, masks, s));
    QVERIFY(STRATA_GetValSize(toU16(ValueId::Lx1Masks), &size, s));
    QCOMPARE(size, 8u);
    uint8_t readMasks[8] = {};
    QVERIFY(STRATA_GetValue(toU16(ValueId::Lx1Masks), readMasks, s));
    QVERIFY(std::memcmp(masks, readMasks, 8) == 0);
}

void TestStrata::findType()
{
    Session s;
    buildSetup(s, 5, 0);
    QVERIFY(STRATA_FindType(kTimer, kName, "Timer 4", s));
    QCOMPARE(data(s), uint16_t(103));
    QVERIFY(STRATA_CloseItem(s));
    // Not found: false, cursor stays.
    QVERIFY(!STRATA_FindType(kTimer, kName, "Timer 9", s));
    QVERIFY(!STRATA_FindType(kState, kName, "Timer 1", s));
    QVERIFY(!STRATA_FindType(kTimer, kName, "Timer", s));
    QVERIFY(!STRATA_FindType(kTimer, kData, "Timer 1", s));  // not a text value
    uint16_t type = 0, index = 0;
    QVERIFY(STRATA_GetParentTID(&type, &index, s));
    QCOMPARE(type, kSetup);

    // Renames, duplicates, deletes and new items are seen at once.
    QVERIFY(STRATA_OpenItem(kTimer, 1, s));
    QVERIFY(STRATA_InsertValue(kName, "Timer 4", s));  // now a duplicate, earlier in order
    QVERIFY(STRATA_CloseItem(s));
    QVERIFY(STRATA_FindType(kTimer, kName, "Timer 4", s));
    QCOMPARE(data(s), uint16_t(101));
    QVERIFY(STRATA_CloseItem(s));
    QVERIFY(!STRATA_FindType(kTimer, kName, "Timer 2", s));
    QVERIFY(STRATA_DeleteItem(kTimer, 1, s));
    QVERIFY(STRATA_FindType(kTimer, kName, "Timer 4", s));
    QCOMPARE(data(s), uint16_t(103));
    QVERIFY(STRATA_CloseItem(s));
    QVERIFY(STRATA_FindType(kTimer, kName, "Timer 5", s));
    QVERIFY(STRATA_GetParentTID(&type, &index, s));
    QCOMPARE(index, uint16_t(3));
    QVERIFY(STRATA_CloseItem(s));
    QVERIFY(STRATA_InsertItemBlocks(kTimer, 1, s));
    QVERIFY(STRATA_OpenItem(kTimer, STRATA_LAST_ITEM, s));
    QVERIFY(STRATA_InsertValue(kName, "Fresh", s));
    QVERIFY(STRATA_CloseItem(s));
    QVERIFY(STRATA_FindType(kTimer, kName, "Fresh", s));
    QVERIFY(STRATA_GetParentTID(&type, &index, s));
    QCOMPARE(index, uint16_t(4));
}

void TestStrata::bookmarks()
{
    Session s;
    buildSetup(s, 4, 0);
    QVERIFY(STRATA_OpenItem(kTimer, 2, s));
    StoreBookmark third = nullptr, root = nullptr;
    QVERIFY(STRATA_AddBookMark(&third, s));
    QVERIFY(STRATA_GotoRoot(s));
    QVERIFY(STRATA_AddBookMark(&root, s));
    QVERIFY(STRATA_GotoBookMark(third, s));
    QCOMPARE(name(s), QByteArray("Timer 3"));

    // Survives a sibling shift: it holds the item, not the position.
    QVERIFY(STRATA_CloseItem(s));
    QVERIFY(STRATA_DeleteItem(kTimer, 0, s));
    QVERIFY(STRATA_GotoBookMark(root, s));
    QVERIFY(STRATA_GotoBookMark(third, s));
    QCOMPARE(name(s), QByteArray("Timer 3"));
    uint16_t type = 0, index = 0;
    QVERIFY(STRATA_GetParentTID(&type, &index, s));
    QCOMPARE(index, uint16_t(1));

    // The bookmarked item deleted: false and the cursor stays, also when a new
    // item now sits at the old position.
    QVERIFY(STRATA_CloseItem(s));
    QVERIFY(STRATA_DeleteItem(kTimer, 1, s));
    QVERIFY(STRATA_InsertItemBlocks(kTimer, 3, s));
    QVERIFY(STRATA_GotoRoot(s));
    QVERIFY(!STRATA_GotoBookMark(third, s));
    QVERIFY(!STRATA_GetParentTID(&type, &index, s));  // still at the root

    // A bookmark of another session is refused.
    Session other;
    QVERIFY(!STRATA_GotoBookMark(root, other));

    QVERIFY(STRATA_RemoveBookMark(third, s));
    QVERIFY(STRATA_RemoveBookMark(root, s));
    QVERIFY(!STRATA_RemoveBookMark(nullptr, s));
    QVERIFY(!STRATA_GotoBookMark(nullptr, s));

    // A bookmark outlives its session and just stops working.
    StoreSession gone = nullptr;
    QVERIFY(STRATA_NewSession(&gone));
    StoreBookmark stale = nullptr;
    QVERIFY(STRATA_AddBookMark(&stale, gone));
    QVERIFY(STRATA_CloseSession(gone));
    QVERIFY(!STRATA_GotoBookMark(stale, s));
    QVERIFY(STRATA_RemoveBookMark(stale, nullptr));
}

void TestStrata::references()
{
    Session s;
    buildSetup(s, 3, 2);
    QVERIFY(STRATA_InsertItemBlocks(kEvent, 1, s));
    QVERIFY(STRATA_OpenItem(kEvent, 0, s));
    QVERIFY(STRATA_InsertItemBlocks(kRefEntry, 3, s));
    QVERIFY(STRATA_InsertItemBlocks(kRefList, 1, s));
    QVERIFY(STRATA_GotoRoot(s));

    QVERIFY(STRATA_OpenItem(kSetup, 0, s));
    QVERIFY(STRATA_OpenItem(kTimer, 1, s));
    StoreBookmark timer2 = nullptr;
    QVERIFY(STRATA_AddBookMark(&timer2, s));
    QVERIFY(STRATA_CloseItem(s));
    QVERIFY(STRATA_OpenItem(kState, 0, s));
    StoreBookmark state1 = nullptr;
    QVERIFY(STRATA_AddBookMark(&state1, s));
    QVERIFY(STRATA_CloseItem(s));

    // Event input 0 -> Timer 2; no reference yet on input 1.
    QVERIFY(STRATA_OpenItem(kEvent, 0, s));
    QVERIFY(STRATA_OpenItem(kRefEntry, 1, s));
    QVERIFY(!STRATA_GotoReference(1, s));
    QVERIFY(STRATA_CloseItem(s));
    QVERIFY(STRATA_OpenItem(kRefEntry, 0, s));
    QVERIFY(!STRATA_CreateReference(timer2, 2, kName, s));  // only slot 1
    QVERIFY(!STRATA_CreateReference(timer2, 1, kData, s));  // key must be a text
    QVERIFY(!STRATA_CreateReference(nullptr, 1, kName, s));
    QVERIFY(STRATA_CreateReference(timer2, 1, kName, s));

    // The record is child Reference 0 holding target type and name.
    uint16_t count = 0;
    QVERIFY(STRATA_GetItemCount(kReference, &count, s));
    QCOMPARE(count, uint16_t(1));
    QVERIFY(STRATA_OpenItem(kReference, 0, s));
    uint16_t target = 0;
    QVERIFY(STRATA_GetValue(kTargetType, &target, s));
    QCOMPARE(target, kTimer);
    QCOMPARE(name(s), QByteArray("Timer 2"));
    QVERIFY(STRATA_CloseItem(s));

    QVERIFY(!STRATA_GotoReference(2, s));
    QVERIFY(STRATA_GotoReference(1, s));
    QCOMPARE(name(s), QByteArray("Timer 2"));
    QCOMPARE(data(s), uint16_t(101));

    // Replacing: still one record, now the state.
    QVERIFY(STRATA_GotoRoot(s));
    QVERIFY(STRATA_OpenItem(kSetup, 0, s));
    QVERIFY(STRATA_OpenItem(kEvent, 0, s));
    QVERIFY(STRATA_OpenItem(kRefEntry, 0, s));
    QVERIFY(STRATA_CreateReference(state1, 1, kName, s));
    QVERIFY(STRATA_GetItemCount(kReference, &count, s));
    QCOMPARE(count, uint16_t(1));
    StoreBookmark entry = nullptr;
    QVERIFY(STRATA_AddBookMark(&entry, s));
    QVERIFY(STRATA_GotoReference(1, s));
    QCOMPARE(name(s), QByteArray("State 1"));

    // A list entry two levels down resolves upward as well.
    QVERIFY(STRATA_CloseItem(s));
    QVERIFY(STRATA_OpenItem(kEvent, 0, s));
    QVERIFY(STRATA_OpenItem(kRefList, 0, s));
    QVERIFY(STRATA_InsertItemBlocks(kRefEntry, 1, s));
    QVERIFY(STRATA_OpenItem(kRefEntry, 0, s));
    QVERIFY(STRATA_CreateReference(timer2, 1, kName, s));
    StoreBookmark listEntry = nullptr;
    QVERIFY(STRATA_AddBookMark(&listEntry, s));
    QVERIFY(STRATA_GotoReference(1, s));
    QCOMPARE(name(s), QByteArray("Timer 2"));

    // Renaming the target: the reference stops resolving (cursor stays) until
    // the record is rewritten, as the model does on a rename.
    QVERIFY(STRATA_InsertValue(kName, "Renamed", s));
    QVERIFY(STRATA_GotoBookMark(listEntry, s));
    QVERIFY(!STRATA_GotoReference(1, s));
    uint16_t type = 0, index = 0;
    QVERIFY(STRATA_GetParentTID(&type, &index, s));
    QCOMPARE(type, kRefEntry);
    QVERIFY(STRATA_OpenItem(kReference, 0, s));
    QVERIFY(STRATA_InsertValue(kName, "Renamed", s));
    QVERIFY(STRATA_CloseItem(s));
    QVERIFY(STRATA_GotoReference(1, s));
    QCOMPARE(data(s), uint16_t(101));

    // Deleting the target: stops resolving, also after a new item of the same
    // type moves into its position.
    QVERIFY(STRATA_GotoBookMark(entry, s));
    QVERIFY(STRATA_GotoReference(1, s));
    QVERIFY(STRATA_CloseItem(s));
    QVERIFY(STRATA_DeleteItem(kState, 0, s));
    QVERIFY(STRATA_GotoBookMark(entry, s));
    QVERIFY(!STRATA_GotoReference(1, s));
    QVERIFY(!STRATA_CreateReference(state1, 1, kName, s));  // bookmark of a deleted item

    // Deleting the record: no reference.
    QVERIFY(STRATA_GotoBookMark(listEntry, s));
    QVERIFY(STRATA_DeleteItem(kReference, 0, s));
    QVERIFY(!STRATA_GotoReference(1, s));

    // A target without a name cannot be referred to.
    QVERIFY(STRATA_GotoRoot(s));
    StoreBookmark rootMark = nullptr;
    QVERIFY(STRATA_AddBookMark(&rootMark, s));
    QVERIFY(STRATA_GotoBookMark(listEntry, s));
    QVERIFY(!STRATA_CreateReference(rootMark, 1, kName, s));

    for (StoreBookmark b : {timer2, state1, entry, listEntry, rootMark})
        QVERIFY(STRATA_RemoveBookMark(b, s));
}

void TestStrata::copyBlocks()
{
    Session source;
    buildSetup(source, 2, 1);
    QVERIFY(STRATA_GotoRoot(source));
    Session copy;
    QVERIFY(STRATA_CopyBlocks(source, copy));

    // The copy has the whole tree.
    QVERIFY(STRATA_OpenItem(kSetup, 0, copy));
    QVERIFY(STRATA_OpenItem(kTimer, 1, copy));
    QCOMPARE(name(copy), QByteArray("Timer 2"));
    QCOMPARE(data(copy), uint16_t(101));

    // Editing the copy leaves the source, and the other way round.
    const uint16_t v = 999;
    QVERIFY(STRATA_InsertValue(kData, &v, copy));
    QVERIFY(STRATA_InsertValue(kName, "Copied", copy));
    QVERIFY(STRATA_CloseItem(copy));
    QVERIFY(STRATA_DeleteItem(kState, 0, copy));
    QVERIFY(STRATA_OpenItem(kSetup, 0, source));
    QVERIFY(STRATA_OpenItem(kTimer, 1, source));
    QCOMPARE(name(source), QByteArray("Timer 2"));
    QCOMPARE(data(source), uint16_t(101));
    QVERIFY(STRATA_CloseItem(source));
    uint16_t count = 0;
    QVERIFY(STRATA_GetItemCount(kState, &count, source));
    QCOMPARE(count, uint16_t(1));
    QVERIFY(STRATA_DeleteItem(kTimer, 0, source));
    QVERIFY(STRATA_FindType(kTimer, kName, "Copied", copy));

    // Appended below the destination cursor, after what is there.
    QVERIFY(STRATA_GotoRoot(copy));
    QVERIFY(STRATA_OpenItem(kSetup, 0, copy));
    QVERIFY(STRATA_CopyBlocks(source, copy));  // source cursor: its setup item
    QVERIFY(STRATA_GetItemCount(kTimer, &count, copy));
    QCOMPARE(count, uint16_t(3));
    QVERIFY(STRATA_OpenItem(kTimer, 2, copy));
    QCOMPARE(name(copy), QByteArray("Timer 2"));
    QVERIFY(STRATA_CloseItem(copy));
    QVERIFY(STRATA_FindType(kState, kName, "State 1", copy));

    // Copying a session into itself doubles the children without looping.
    QVERIFY(STRATA_GotoRoot(source));
    QVERIFY(STRATA_CopyBlocks(source, source));
    QVERIFY(STRATA_GetItemCount(kSetup, &count, source));
    QCOMPARE(count, uint16_t(2));
    QVERIFY(!STRATA_CopyBlocks(nullptr, source));
}

// The bytes of a small file, as the format document shows them.
void TestStrata::fileLayout()
{
    QCOMPARE(referenceCrc("123456789"), 0xCBF43926u);
    Session s;
    QVERIFY(STRATA_InsertItemBlocks(kSetup, 1, s));
    QVERIFY(STRATA_OpenItem(kSetup, 0, s));
    QVERIFY(STRATA_InsertItemBlocks(kTimer, 1, s));
    QVERIFY(STRATA_OpenItem(kTimer, 0, s));
    QVERIFY(STRATA_InsertValue(kName, "T1", s));
    const uint16_t ticks = 100;
    QVERIFY(STRATA_InsertValue(toU16(ValueId::ResetTicks), &ticks, s));
    QTemporaryDir dir;
    const QString path = dir.path() + "/layout.kelda";
    QVERIFY(STRATA_SaveSession(path.toLatin1().constData(), s));
    // Heads type + 2^16 * values + 2^20 * children; values id * 2^16 + number,
    // or id * 2^16 followed by the bytes of a text:
    // [0x100000, 0x10001B, 0x200DB, 0x3EA0000, h'5431', 0x42B0064]
    const QByteArray payload = QByteArray::fromHex("86"
                                                   "1a00100000"
                                                   "1a0010001b"
                                                   "1a000200db"
                                                   "1a03ea0000"
                                                   "425431"
                                                   "1a042b0064");
    QCOMPARE(readFile(path), wrap(payload, 2));

    // The same tree in the nested layout of version 1 still opens.
    // [0, {}, [[27, {}, [[219, {1002: h'5431', 1067: 100}, []]]]]]
    const QByteArray nested = QByteArray::fromHex("8300a081"
                                                  "83181ba081"
                                                  "8318dba21903ea425431"
                                                  "19042b1864"
                                                  "80");
    QVERIFY(writeFresh(path, wrap(nested, 1)));
    StoreSession opened = nullptr;
    QVERIFY2(STRATA_OpenSession(path.toLatin1().constData(), &opened), STRATA_LastError());
    QVERIFY(STRATA_OpenItem(kSetup, 0, opened));
    QVERIFY(STRATA_OpenItem(kTimer, 0, opened));
    QCOMPARE(name(opened), QByteArray("T1"));
    uint16_t read = 0;
    QVERIFY(STRATA_GetValue(toU16(ValueId::ResetTicks), &read, opened));
    QCOMPARE(read, ticks);
    QVERIFY(STRATA_CloseSession(opened));
    // Saved again, it is in the flat layout.
    QVERIFY(STRATA_SaveSession(path.toLatin1().constData(), s));
    QCOMPARE(readFile(path), wrap(payload, 2));
}

// A tree with every value width, Latin-1 and empty texts, several types and
// levels and a reference survives save and open unchanged.
void TestStrata::saveOpenRoundTrip()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray path = (dir.path() + "/round trip.kelda").toLatin1();

    QByteArray longText(65534, 'w');
    {
        Session s;
        buildSetup(s, 3, 2);
        QVERIFY(STRATA_OpenItem(kTimer, 0, s));
        const uint8_t u8 = 0xFE;
        const uint16_t u16 = 0xCDEF;
        const uint8_t masks[8] = {0, 1, 0x80, 0xFF, 7, 0, 0, 9};
        QVERIFY(STRATA_InsertValue(toU16(ValueId::ByteSelect), &u8, s));
        QVERIFY(STRATA_InsertValue(toU16(ValueId::CanId), &u16, s));
        QVERIFY(STRATA_InsertData(8, masks, s));
        QVERIFY(STRATA_CloseItem(s));
        QVERIFY(STRATA_OpenItem(kTimer, 1, s));
        QVERIFY(STRATA_InsertValue(kName, "", s));
        QVERIFY(STRATA_CloseItem(s));
        QVERIFY(STRATA_OpenItem(kTimer, 2, s));
        QVERIFY(STRATA_InsertValue(kName, "Z\xFCnd\xE9", s));
        StoreBookmark t = nullptr;
        QVERIFY(STRATA_AddBookMark(&t, s));
        QVERIFY(STRATA_CloseItem(s));
        QVERIFY(STRATA_OpenItem(kState, 1, s));
        QVERIFY(STRATA_InsertValue(kName, longText.constData(), s));
        QVERIFY(STRATA_CloseItem(s));
        QVERIFY(STRATA_InsertItemBlocks(kEvent, 1, s));
        QVERIFY(STRATA_OpenItem(kEvent, 0, s));
        QVERIFY(STRATA_InsertItemBlocks(kRefEntry, 3, s));
        QVERIFY(STRATA_OpenItem(kRefEntry, 2, s));
        QVERIFY(STRATA_CreateReference(t, 1, kName, s));
        QVERIFY(STRATA_RemoveBookMark(t, s));
        // The cursor position does not matter for saving.
        QVERIFY(STRATA_SaveSession(path.constData(), s));
    }

    const QByteArray first = readFile(QString::fromLatin1(path));
    QVERIFY(first.startsWith("KELDASET"));
    // The header's checksum is the standard CRC-32 of the payload.
    QCOMPARE(first.mid(16, 4), bigEndian(referenceCrc(first.mid(20)), 4));
    QCOMPARE(first.mid(12, 4), bigEndian(uint32_t(first.size() - 20), 4));

    StoreSession s = nullptr;
    QVERIFY2(STRATA_OpenSession(path.constData(), &s), STRATA_LastError());
    uint16_t type = 0, index = 0;
    QVERIFY(!STRATA_GetParentTID(&type, &index, s));  // cursor at the root
    QVERIFY(STRATA_OpenItem(kSetup, 0, s));
    uint16_t count = 0;
    QVERIFY(STRATA_GetItemCount(kTimer, &count, s));
    QCOMPARE(count, uint16_t(3));
    QVERIFY(STRATA_OpenItem(kTimer, 0, s));
    QCOMPARE(name(s), QByteArray("Timer 1"));
    QCOMPARE(data(s), uint16_t(100));
    uint8_t u8 = 0;
    uint16_t u16 = 0;
    uint8_t masks[8] = {};
    const uint8_t expectedMasks[8] = {0, 1, 0x80, 0xFF, 7, 0, 0, 9};
    QVERIFY(STRATA_GetValue(toU16(ValueId::ByteSelect), &u8, s));
    QCOMPARE(u8, uint8_t(0xFE));
    QVERIFY(STRATA_GetValue(toU16(ValueId::CanId), &u16, s));
    QCOMPARE(u16, uint16_t(0xCDEF));
    QVERIFY(STRATA_GetValue(toU16(ValueId::Lx1Masks), masks, s));
    QVERIFY(std::memcmp(masks, expectedMasks, 8) == 0);
    QVERIFY(STRATA_CloseItem(s));
    QVERIFY(STRATA_OpenItem(kTimer, 1, s));
    uint32_t size = 0;
    QVERIFY(STRATA_GetValSize(kName, &size, s));
    QCOMPARE(size, 1u);
    QVERIFY(STRATA_CloseItem(s));
    QVERIFY(STRATA_OpenItem(kState, 1, s));
    QCOMPARE(name(s), longText);
    QVERIFY(STRATA_CloseItem(s));
    QVERIFY(STRATA_FindType(kTimer, kName, "Z\xFCnd\xE9", s));
    QVERIFY(STRATA_CloseItem(s));
    QVERIFY(STRATA_OpenItem(kEvent, 0, s));
    QVERIFY(STRATA_OpenItem(kRefEntry, 2, s));
    QVERIFY(STRATA_GotoReference(1, s));
    QCOMPARE(name(s), QByteArray("Z\xFCnd\xE9"));

    // Saving what was read gives the same bytes.
    const QByteArray again = (dir.path() + "/again.kelda").toLatin1();
    QVERIFY(STRATA_SaveSession(again.constData(), s));
    QCOMPARE(readFile(QString::fromLatin1(again)), first);
    // Saving over an existing file replaces it.
    QVERIFY(STRATA_GotoRoot(s));
    QVERIFY(STRATA_DeleteItem(kSetup, 0, s));
    QVERIFY(STRATA_SaveSession(path.constData(), s));
    QVERIFY(STRATA_CloseSession(s));
    s = nullptr;
    QVERIFY(STRATA_OpenSession(path.constData(), &s));
    QVERIFY(STRATA_GetItemCount(kSetup, &count, s));
    QCOMPARE(count, uint16_t(0));
    QVERIFY(STRATA_CloseSession(s));
}

// Trees are at most 64 levels deep, in memory and in files alike.
void TestStrata::depthLimit()
{
    Session s;
    for (int level = 0; level < 64; ++level) {
        QVERIFY(STRATA_InsertItemBlocks(kRefList, 1, s));
        QVERIFY(STRATA_OpenItem(kRefList, 0, s));
    }
    QVERIFY(!STRATA_InsertItemBlocks(kRefList, 1, s));
    QVERIFY(STRATA_InsertValue(kName, "deepest", s));
    // Copying a subtree where it would go too deep is refused as a whole.
    QVERIFY(STRATA_GotoRoot(s));
    Session other;
    QVERIFY(STRATA_InsertItemBlocks(kRefList, 1, other));
    QVERIFY(STRATA_OpenItem(kRefList, 0, other));
    QVERIFY(!STRATA_CopyBlocks(s, other));
    uint16_t count = 0;
    QVERIFY(STRATA_GetItemCount(kRefList, &count, other));
    QCOMPARE(count, uint16_t(0));
    QVERIFY(STRATA_CloseItem(other));
    QVERIFY(STRATA_CopyBlocks(s, other));
    QVERIFY(STRATA_GetItemCount(kRefList, &count, other));
    QCOMPARE(count, uint16_t(2));

    QTemporaryDir dir;
    const QByteArray path = (dir.path() + "/deep.kelda").toLatin1();
    QVERIFY(STRATA_SaveSession(path.constData(), s));
    StoreSession opened = nullptr;
    QVERIFY2(STRATA_OpenSession(path.constData(), &opened), STRATA_LastError());
    for (int level = 0; level < 64; ++level)
        QVERIFY(STRATA_OpenItem(kRefList, 0, opened));
    QCOMPARE(name(opened), QByteArray("deepest"));
    QVERIFY(STRATA_CloseSession(opened));
}

void TestStrata::badFiles_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("reason");  // part of the expected message

    const QByteArray emptyRoot = cborItem(0, noValues, 0);
    QTest::newRow("empty") << QByteArray() << "empty";
    QTest::newRow("another kind") << QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR and more bytes")
                                  << "not a KELDA setup file";
    QTest::newRow("text file") << QByteArray("KELDA setup, honest\n") << "not a KELDA setup file";
    QTest::newRow("header only, short") << QByteArray("KELDASET\0\x01") << "not a KELDA setup file";
    QTest::newRow("newer version") << wrap(emptyRoot).replace(8, 2, bigEndian(3, 2)) << "version 3";
    QTest::newRow("version 0") << wrap(emptyRoot).replace(8, 2, bigEndian(0, 2)) << "version 0";
    QTest::newRow("reserved bits") << wrap(emptyRoot).replace(10, 2, bigEndian(1, 2)) << "damaged";
    QTest::newRow("length beyond file") << wrap(emptyRoot).replace(12, 4, bigEndian(0xFFFFFFFF, 4)) << "truncated";
    QTest::newRow("trailing bytes") << wrap(emptyRoot) + "x"
                                    << "damaged";
    QTest::newRow("checksum") << wrap(emptyRoot).replace(16, 4, bigEndian(0x12345678, 4)) << "checksum mismatch";
    QTest::newRow("empty payload") << wrap(QByteArray()) << "damaged";
    QTest::newRow("not an item") << wrap(QByteArray("\x01")) << "damaged";
    QTest::newRow("item of two fields") << wrap(QByteArray("\x82\x00\xA0")) << "damaged";
    QTest::newRow("indefinite item") << wrap(QByteArray("\x9F\x00\xA0\x80\xFF")) << "damaged";
    QTest::newRow("type too large") << wrap(cborItem(0, noValues, 0).replace(1, 1, "\x1A\x00\x01\x00\x00"))
                                    << "damaged";
    QTest::newRow("two trees") << wrap(emptyRoot + emptyRoot) << "damaged";

    auto oneValue = [](uint16_t id, const std::function<void(QCborStreamWriter &)> &v) {
        return wrap(cborItem(
            0,
            [&](QCborStreamWriter &w) {
                w.append(quint64(id));
                v(w);
            },
            1));
    };
    QTest::newRow("unknown value id") << oneValue(4242, [](QCborStreamWriter &w) { w.append(quint64(1)); })
                                      << "unknown value id";
    QTest::newRow("u16 too large") << oneValue(kData, [](QCborStreamWriter &w) { w.append(quint64(0x10000)); })
                                   << "out of range";
    QTest::newRow("u8 too large") << oneValue(toU16(ValueId::ByteSelect), [](QCborStreamWriter &w) {
        w.append(quint64(256));
    }) << "out of range";
    QTest::newRow("negative") << oneValue(kData, [](QCborStreamWriter &w) { w.append(qint64(-1)); }) << "damaged";
    QTest::newRow("number as text") << oneValue(kData, [](QCborStreamWriter &w) { w.appendByteString("\x01\x02", 2); })
                                    << "damaged";
    QTest::newRow("masks too short") << oneValue(toU16(ValueId::Lx1Masks), [](QCborStreamWriter &w) {
        w.appendByteString("1234567", 7);
    }) << "wrong width";
    QTest::newRow("masks too long") << oneValue(toU16(ValueId::Lx1Masks), [](QCborStreamWriter &w) {
        w.appendByteString("123456789", 9);
    }) << "too long";
    QTest::newRow("text with zero") << oneValue(kName, [](QCborStreamWriter &w) { w.appendByteString("a\0b", 3); })
                                    << "zero byte";
    QTest::newRow("text as UTF-8 string")
        << oneValue(kName, [](QCborStreamWriter &w) { w.append(QLatin1String("abc")); }) << "damaged";
    QTest::newRow("text too long") << oneValue(kName, [](QCborStreamWriter &w) {
        const QByteArray big(65535, 'a');
        w.appendByteString(big.constData(), big.size());
    }) << "too long";
    QTest::newRow("duplicate value") << wrap(cborItem(
        0,
        [](QCborStreamWriter &w) {
            w.append(quint64(kData));
            w.append(quint64(1));
            w.append(quint64(kData));
            w.append(quint64(2));
        },
        2)) << "twice";

    // Absurd counts: far more than the bytes could hold.
    QByteArray manyChildren = emptyRoot;
    manyChildren.replace(manyChildren.size() - 1, 1, "\x9B\x00\x00\x00\x01\x00\x00\x00\x00");
    QTest::newRow("2^32 children") << wrap(manyChildren) << "damaged";
    QByteArray manyValues("\x83\x00\xBA\x7F\xFF\xFF\xFF\x80");
    QTest::newRow("2^31 values") << wrap(manyValues) << "damaged";
    const QByteArray nameKey = cborHead(4, 3) + cborHead(0, 0) + cborHead(5, 1) + cborHead(0, kName);
    const QByteArray hugeString = nameKey + QByteArray("\x5B\x7F\xFF\xFF\xFF\xFF\xFF\xFF\xFF");
    QTest::newRow("2^63 byte text") << wrap(hugeString + QByteArray("\x80")) << "damaged";
    // Counts the encoding allows but no setup has.
    QTest::newRow("13 values") << wrap(cborItem(
        0,
        [](QCborStreamWriter &w) {
            for (int i = 0; i < 13; ++i) {
                w.append(quint64(kData));
                w.append(quint64(1));
            }
        },
        13)) << "too many values";
    QTest::newRow("more children than bytes")
        << wrap(cborItem(0, noValues, 0).chopped(1) + cborHead(4, 1000) + cborItem(0, noValues, 0).repeated(300))
        << "more children";
    QByteArray fewerChildren = emptyRoot;
    fewerChildren.replace(fewerChildren.size() - 1, 1, "\x83");  // claims 3, has 1
    QTest::newRow("missing children") << wrap(fewerChildren + emptyRoot) << "damaged";

    // Absurd nesting: 65 levels of items, and a long chain of bare arrays.
    QByteArray nested = emptyRoot;
    for (int level = 0; level < 65; ++level)
        nested = cborItem(kRefList, noValues, 0, {nested});
    QTest::newRow("65 levels") << wrap(nested) << "nested too deeply";
    QTest::newRow("100000 arrays") << wrap(QByteArray(100000, '\x81') + QByteArray("\x80")) << "damaged";
    const QByteArray dataKey = cborHead(4, 3) + cborHead(0, 0) + cborHead(5, 1) + cborHead(0, kData);
    const QByteArray deepInside = dataKey + QByteArray(100000, '\x81') + QByteArray("\x80\x80");
    QTest::newRow("arrays as a value") << wrap(deepInside) << "damaged";
}

void TestStrata::badFiles()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    const QString path = dir.path() + "/bad.kelda";
    const QString message = refusalReason(path, bytes);
    QVERIFY2(!message.isEmpty(), "a bad file was opened");
    QVERIFY2(message.contains(reason), qPrintable(message));
    QVERIFY(refuses(path));
}

// The flat layout of version 2: one array of packed numbers and byte strings.
void TestStrata::badFlatFiles_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("reason");

    // A flat payload from its elements: numbers, or byte strings given as QByteArray.
    auto flat = [](const QList<QVariant> &elements, qsizetype claimed = -1) {
        QByteArray out = cborHead(4, quint64(claimed < 0 ? elements.size() : claimed));
        for (const QVariant &e : elements) {
            if (e.typeId() == QMetaType::QByteArray)
                out += cborHead(2, quint64(e.toByteArray().size())) + e.toByteArray();
            else
                out += cborHead(0, e.toULongLong());
        }
        return wrap(out, 2);
    };
    const quint64 v = 1u << 16, c = 1u << 20;
    const quint64 name = quint64(kName) << 16;
    QTest::newRow("empty root") << flat({0}) << "";
    QTest::newRow("no tree") << wrap(QByteArray(), 2) << "damaged";
    QTest::newRow("empty array") << flat({}) << "damaged";
    QTest::newRow("not an array") << wrap(cborHead(0, 0), 2) << "damaged";
    QTest::newRow("indefinite array") << wrap(QByteArray("\x9F\x00\xFF"), 2) << "damaged";
    QTest::newRow("nested item") << wrap(cborItem(0, noValues, 0), 2) << "damaged";
    QTest::newRow("element after the tree") << flat({0, 0}) << "after the tree";
    QTest::newRow("missing child") << flat({c}) << "damaged";
    QTest::newRow("child missing at the end")
        << flat({2 * c, v, name, QByteArray("a long name")}) << "ends inside an item";
    QTest::newRow("missing value") << flat({v}) << "ends inside an item";
    QTest::newRow("missing text") << flat({v, name}) << "ends inside an item";
    QTest::newRow("array longer than the file") << flat({0}, 1000) << "damaged";
    QTest::newRow("13 values") << flat({13 * v}) << "too many values";
    QTest::newRow("2^40 children") << flat({quint64(1) << 60}) << "more children";
    QTest::newRow("more children than bytes") << flat({1000 * c, 0, 0}) << "more children";
    QTest::newRow("unknown value id") << flat({v, quint64(4242) << 16 | 1}) << "unknown value id";
    QTest::newRow("u8 too large") << flat({v, quint64(toU16(ValueId::ByteSelect)) << 16 | 256}) << "out of range";
    QTest::newRow("key above 32 bits") << flat({v, quint64(1) << 32}) << "out of range";
    QTest::newRow("duplicate value") << flat({2 * v, quint64(kData) << 16 | 1, quint64(kData) << 16 | 2}) << "twice";
    QTest::newRow("text key with a number") << flat({v, name | 5, QByteArray("ab")}) << "not well-formed";
    QTest::newRow("text as a number") << flat({v, name, 7}) << "byte string";
    QTest::newRow("text with zero") << flat({v, name, QByteArray("a\0b", 3)}) << "zero byte";
    QTest::newRow("masks too short") << flat({v, quint64(toU16(ValueId::Lx1Masks)) << 16, QByteArray("1234567")})
                                     << "wrong width";
    QTest::newRow("text as UTF-8 string")
        << wrap(cborHead(4, 3) + cborHead(0, v) + cborHead(0, name) + cborHead(3, 1) + "a", 2) << "byte string";
    QTest::newRow("negative head") << wrap(cborHead(4, 1) + cborHead(1, 0), 2) << "number was expected";

    // 65 levels: one child each, the deepest at level 65.
    QList<QVariant> deep;
    for (int level = 0; level < 65; ++level)
        deep.append(kRefList | c);
    deep.append(kRefList);
    QTest::newRow("65 levels") << flat(deep) << "nested too deeply";
    QList<QVariant> ok64 = deep.mid(1);
    QTest::newRow("64 levels") << flat(ok64) << "";
    QList<QVariant> many;
    many.append(0x10000 * c);
    for (int i = 0; i < 0x10000; ++i)
        many.append(kTimer);
    QTest::newRow("65536 of one type") << flat(many) << "too many items of one type";
}

void TestStrata::badFlatFiles()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    const QString path = dir.path() + "/flat.kelda";
    const QString message = refusalReason(path, bytes);
    if (reason.isEmpty()) {
        QVERIFY2(message.isEmpty(), qPrintable(message));  // the good ones among the bad
        return;
    }
    QVERIFY2(!message.isEmpty(), "a bad file was opened");
    QVERIFY2(message.contains(reason), qPrintable(message));
}

// A parent with children of thousands of types opens in both layouts
// without reserving room for all children once per type.
void TestStrata::manyChildTypes()
{
    constexpr int kTypes = 30000;
    QByteArray flat = cborHead(4, kTypes + 1) + cborHead(0, quint64(kTypes) << 20);
    QByteArray nested = cborHead(4, 3) + cborHead(0, 0) + cborHead(5, 0) + cborHead(4, kTypes);
    for (int t = 1; t <= kTypes; ++t) {
        flat += cborHead(0, quint64(t));
        nested += cborHead(4, 3) + cborHead(0, quint64(t)) + cborHead(5, 0) + cborHead(4, 0);
    }
    QTemporaryDir dir;
    const QString path = dir.path() + "/types.kelda";
    for (const QByteArray &file : {wrap(flat, 2), wrap(nested, 1)}) {
        QVERIFY(writeFresh(path, file));
        StoreSession s = nullptr;
        QVERIFY2(STRATA_OpenSession(path.toLatin1().constData(), &s), STRATA_LastError());
        uint16_t count = 0, type = 0;
        QVERIFY(STRATA_GetChildTypeCount(&count, s));
        QCOMPARE(count, uint16_t(kTypes));
        QVERIFY(STRATA_GetChildType(kTypes - 1, &type, s));
        QCOMPARE(type, uint16_t(kTypes));
        QVERIFY(STRATA_CloseSession(s));
    }
}

// Children may come in any type order; they are grouped by ascending type with
// their sibling order kept. An item holds at most 65535 child types (what a
// count holds), in a file and in memory alike.
void TestStrata::childTypesInAnyOrder()
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/order.kelda";
    const quint64 v = 1u << 16, c = 1u << 20, nameKey = quint64(kName) << 16;
    QByteArray flat = cborHead(4, 1 + 5 * 3) + cborHead(0, 5 * c);
    const QList<std::pair<int, const char *>> children = {{300, "a"}, {100, "b"}, {300, "c"}, {200, "d"}, {100, "e"}};
    for (const auto &[type, text] : children)
        flat += cborHead(0, quint64(type) | v) + cborHead(0, nameKey) + cborHead(2, 1) + text;
    QVERIFY(writeFile(path, wrap(flat, 2)));
    const QByteArray latin1 = path.toLatin1();
    Session s;
    STRATA_CloseSession(s.s);
    s.s = nullptr;
    QVERIFY2(STRATA_OpenSession(latin1.constData(), &s.s), STRATA_LastError());
    uint16_t count = 0, type = 0, index = 0;
    QVERIFY(STRATA_GetChildTypeCount(&count, s));
    QCOMPARE(count, uint16_t(3));
    const QList<std::pair<int, QByteArray>> expected = {{100, "b"}, {100, "e"}, {200, "d"}, {300, "a"}, {300, "c"}};
    int seen = 0;
    for (uint16_t position = 0; position < count; ++position) {
        QVERIFY(STRATA_GetChildType(position, &type, s));
        uint16_t items = 0;
        QVERIFY(STRATA_GetItemCount(type, &items, s));
        for (uint16_t i = 0; i < items; ++i, ++seen) {
            QVERIFY(STRATA_OpenItem(type, i, s));
            QVERIFY(STRATA_GetParentTID(&type, &index, s));
            QCOMPARE(index, i);
            QCOMPARE(int(type), expected.at(seen).first);
            QCOMPARE(name(s), expected.at(seen).second);
            QVERIFY(STRATA_CloseItem(s));
        }
    }
    QCOMPARE(seen, 5);

    // All 65535 types 65535..1 in descending order, then one type more.
    QByteArray descending = cborHead(4, 0x10000) + cborHead(0, quint64(0xFFFF) << 20);
    for (quint64 t = 0xFFFF; t >= 1; --t)
        descending += cborHead(0, t);
    QVERIFY(writeFile(path, wrap(descending, 2)));
    {
        Session all;
        STRATA_CloseSession(all.s);
        all.s = nullptr;
        QVERIFY2(STRATA_OpenSession(latin1.constData(), &all.s), STRATA_LastError());
        QVERIFY(STRATA_GetChildTypeCount(&count, all));
        QCOMPARE(count, uint16_t(0xFFFF));
        QVERIFY(STRATA_GetChildType(0, &type, all) && type == 1);
        QVERIFY(STRATA_GetChildType(0xFFFE, &type, all) && type == 0xFFFF);
    }
    QByteArray tooMany = cborHead(4, 0x10001) + cborHead(0, quint64(0x10000) << 20);
    for (quint64 t = 0; t <= 0xFFFF; ++t)
        tooMany += cborHead(0, t);
    QCOMPARE(refusalReason(path, wrap(tooMany, 2)), QStringLiteral("file is damaged (too many child types)"));

    // In memory the 65536th type is refused too, by every way a type comes in.
    Session mem;
    for (uint32_t t = 0; t < 0xFFFF; ++t)
        QVERIFY(STRATA_InsertItemBlocks(uint16_t(t), 1, mem));
    QVERIFY(!STRATA_InsertItemBlocks(0xFFFF, 1, mem));
    QCOMPARE(QByteArray(STRATA_LastError()), QByteArray("too many child types"));
    QVERIFY(STRATA_InsertItemBlocks(7, 1, mem));  // a type it has already
    Session other;
    QVERIFY(STRATA_InsertItemBlocks(0xFFFF, 1, other));
    QVERIFY(!STRATA_CopyBlocks(other, mem));
    QVERIFY(STRATA_GetChildTypeCount(&count, mem) && count == 0xFFFF);
}

// Any single flipped bit anywhere in a real file is refused.
void TestStrata::everyFlippedBit()
{
    QTemporaryDir dir;
    const QString good = dir.path() + "/good.kelda";
    {
        Session s;
        buildSetup(s, 3, 2);
        const uint8_t masks[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        QVERIFY(STRATA_InsertData(8, masks, s));
        QVERIFY(STRATA_SaveSession(good.toLatin1().constData(), s));
    }
    const QByteArray bytes = readFile(good);
    QVERIFY(bytes.size() > 40);
    QVERIFY(!refuses(good));
    const QString path = dir.path() + "/flipped.kelda";
    for (int bit = 0; bit < bytes.size() * 8; ++bit) {
        QByteArray flipped = bytes;
        flipped[bit / 8] = char(flipped[bit / 8] ^ (1 << (bit % 8)));
        QVERIFY(writeFresh(path, flipped));
        QVERIFY2(refuses(path), qPrintable(QString("bit %1 flipped was accepted").arg(bit)));
    }
}

// A file cut anywhere is refused.
void TestStrata::everyTruncation()
{
    QTemporaryDir dir;
    const QString good = dir.path() + "/good.kelda";
    {
        Session s;
        buildSetup(s, 4, 4);
        QVERIFY(STRATA_SaveSession(good.toLatin1().constData(), s));
    }
    const QByteArray bytes = readFile(good);
    const QString path = dir.path() + "/cut.kelda";
    for (int length = 0; length < bytes.size(); ++length) {
        QVERIFY(writeFresh(path, bytes.left(length)));
        QVERIFY2(refuses(path), qPrintable(QString("cut at %1 was accepted").arg(length)));
    }
    QVERIFY(STRATA_LastError()
            == QByteArray("file is truncated (" + QByteArray::number(bytes.size() - 21) + " of "
                          + QByteArray::number(bytes.size() - 20) + " bytes)"));
}

// Missing files, folders and pipes are refused without blocking.
void TestStrata::notRegularFiles()
{
    QTemporaryDir dir;
    QVERIFY(refuses(dir.path() + "/missing.kelda"));
    QVERIFY(QString::fromLatin1(STRATA_LastError()).contains("No such file"));
    QVERIFY(QString::fromLatin1(STRATA_LastError()).contains("missing.kelda"));
    QVERIFY(refuses(dir.path()));
    const QString fifo = dir.path() + "/pipe.kelda";
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QVERIFY(refuses(fifo));
    QVERIFY(refuses("/dev/zero"));
    QVERIFY(refuses(""));
    StoreSession s = nullptr;
    QVERIFY(!STRATA_OpenSession(nullptr, &s));
    QVERIFY(!STRATA_OpenSession("x", nullptr));
}

// A failed save reports why and leaves an existing file byte for byte.
void TestStrata::saveFailures()
{
    QTemporaryDir dir;
    Session s;
    buildSetup(s, 50, 50);

    const QByteArray missing = (dir.path() + "/no such folder/setup.kelda").toLatin1();
    QVERIFY(!STRATA_SaveSession(missing.constData(), s));
    QVERIFY(QString::fromLatin1(STRATA_LastError()).startsWith("cannot write to " + QString::fromLatin1(missing)));

    // A parent that is a regular file cannot hold anything, even for root.
    const QString plain = dir.path() + "/plain";
    QVERIFY(writeFresh(plain, "just a file"));
    QVERIFY(!STRATA_SaveSession((plain + "/setup.kelda").toLatin1().constData(), s));
    QCOMPARE(readFile(plain), QByteArray("just a file"));

    // A folder at the target path stays a folder.
    const QString folder = dir.path() + "/folder.kelda";
    QVERIFY(QDir().mkdir(folder));
    QVERIFY(!STRATA_SaveSession(folder.toLatin1().constData(), s));
    QVERIFY(QFileInfo(folder).isDir());
    QVERIFY(!STRATA_SaveSession("", s));
    QVERIFY(!STRATA_SaveSession(nullptr, s));
    QVERIFY(!STRATA_SaveSession("x", nullptr));

    // Running out of space part-way (a file size limit stands in for a full
    // disk, which stops root too): the old file is untouched, no temp is left.
    const QString existing = dir.path() + "/existing.kelda";
    {
        Session small;
        QVERIFY(STRATA_SaveSession(existing.toLatin1().constData(), small));
    }
    const QByteArray before = readFile(existing);
    QVERIFY(!before.isEmpty());
    const QStringList entriesBefore = QDir(dir.path()).entryList(QDir::Files);
    rlimit old{};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto *previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tight = old;
    tight.rlim_cur = 512;
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &tight), 0);
    const bool saved = STRATA_SaveSession(existing.toLatin1().constData(), s);
    const QString reason = QString::fromLatin1(STRATA_LastError());
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);
    QVERIFY(!saved);
    QVERIFY2(reason.startsWith("cannot write to "), qPrintable(reason));
    QCOMPARE(readFile(existing), before);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), entriesBefore);

    // The session is unharmed and saves fine afterwards.
    QVERIFY(STRATA_SaveSession(existing.toLatin1().constData(), s));
    QVERIFY(readFile(existing).size() > before.size());
}

// A setup image is byte for byte the file a save writes, opens to the same
// tree, and is refused with the file's reasons when damaged.
void TestStrata::imagesInMemory()
{
    StoreSession s = nullptr;
    QVERIFY(STRATA_NewSession(&s));
    buildSetup(s, 3, 2);
    QTemporaryDir dir;
    const QByteArray path = dir.filePath("setup.kelda").toLatin1();
    QVERIFY(STRATA_SaveSession(path.constData(), s));
    QByteArray image;
    int pieces = 0;
    const auto collect = [](const void *data, size_t size, void *context) {
        auto *out = static_cast<std::pair<QByteArray *, int *> *>(context);
        out->first->append(static_cast<const char *>(data), qsizetype(size));
        ++*out->second;
    };
    std::pair<QByteArray *, int *> into{&image, &pieces};
    QVERIFY(STRATA_OpenItem(kTimer, 1, s));  // the cursor does not matter
    QVERIFY(STRATA_SaveSessionImage(collect, &into, s));
    QVERIFY(pieces >= 1);
    QCOMPARE(image, readFile(QString::fromLatin1(path)));

    StoreSession opened = nullptr;
    QVERIFY(STRATA_OpenSessionImage(image.constData(), size_t(image.size()), &opened));
    uint16_t type = 0, index = 0;
    QVERIFY(!STRATA_GetParentTID(&type, &index, opened));  // at the root
    QVERIFY(STRATA_OpenItem(kSetup, 0, opened) && STRATA_OpenItem(kTimer, 2, opened));
    QCOMPARE(name(opened), QByteArray("Timer 3"));
    QCOMPARE(data(opened), uint16_t(102));
    QByteArray again;
    std::pair<QByteArray *, int *> intoAgain{&again, &pieces};
    QVERIFY(STRATA_SaveSessionImage(collect, &intoAgain, opened));
    QCOMPARE(again, image);
    STRATA_CloseSession(opened);

    // Damaged, truncated or empty images: no session, a reason.
    QByteArray flipped = image;
    flipped[flipped.size() - 3] = char(flipped.at(flipped.size() - 3) ^ 0x10);
    for (const QByteArray &bad : {flipped, image.left(image.size() - 1), QByteArray()}) {
        StoreSession none = nullptr;
        QVERIFY(!STRATA_OpenSessionImage(bad.constData(), size_t(bad.size()), &none));
        QVERIFY(none == nullptr);
        QVERIFY(std::strlen(STRATA_LastError()) > 0);
    }
    StoreSession none = nullptr;
    QVERIFY(!STRATA_OpenSessionImage(nullptr, 20, &none));
    QVERIFY(!STRATA_SaveSessionImage(nullptr, nullptr, s));
    QVERIFY(!STRATA_SaveSessionImage(collect, &into, nullptr));
    STRATA_CloseSession(s);
}

QTEST_GUILESS_MAIN(TestStrata)
#include "tst_strata.moc"
