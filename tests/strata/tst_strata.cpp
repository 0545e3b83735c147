// The store: operations and their failures, cursor, bookmarks, references,
// copies, and the setup file reader and writer.
#include "strata.h"
#include "schema.h"

#include <QtTest>

#include <cstring>

using kelda::ItemType;
using kelda::ValueId;
using kelda::toU16;

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
    ~Session() { if (s) STRATA_CloseSession(s); }
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

} // namespace

class TestStrata : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QLocale::setDefault(QLocale::c()); }
    void sessionsAndNullArguments();
    void itemsAndCursor();
    void lastIndexAndDelete();
    void values();
    void findType();
    void bookmarks();
    void references();
    void copyBlocks();
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
    QVERIFY(!STRATA_CreateReference(timer2, 2, kName, s));   // only slot 1
    QVERIFY(!STRATA_CreateReference(timer2, 1, kData, s));   // key must be a text
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

QTEST_GUILESS_MAIN(TestStrata)
#include "tst_strata.moc"
