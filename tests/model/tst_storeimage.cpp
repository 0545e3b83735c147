// A setup read back from its bytes, as undo and Open read it, is the setup
// that was saved, item for item; and a session read so behaves as any other
// when edited, copied, bookmarked and closed. Trees are compared through the
// store's C interface, not through the code that wrote or read them.
#include <QtTest>

#include "largesetup.h"
#include "pmmodel.h"
#include "schema.h"
#include "storecursor.h"
#include "strata.h"

using namespace kelda;

namespace {

QByteArray valueAt(StoreSession s, uint16_t id)
{
    uint32_t size = 0;
    if (!STRATA_GetValSize(id, &size, s))
        return QByteArray();
    QByteArray bytes(qsizetype(size), '\0');
    return STRATA_GetValue(id, bytes.data(), s) ? bytes : QByteArray("<unreadable>");
}

// Walks both cursors' subtrees in step. The first difference goes to `where`
// (a path of type:index); the items compared are counted.
bool sameTree(StoreSession a, StoreSession b, QString &where, int &items)
{
    ++items;
    for (const ValueSpec &spec : kValueSpecs) {
        const uint16_t id = toU16(spec.id);
        if (valueAt(a, id) != valueAt(b, id)) {
            where += QStringLiteral(" value %1").arg(id);
            return false;
        }
    }
    uint16_t types = 0, otherTypes = 0;
    if (!STRATA_GetChildTypeCount(&types, a) || !STRATA_GetChildTypeCount(&otherTypes, b) || types != otherTypes) {
        where += QStringLiteral(" child types %1 != %2").arg(types).arg(otherTypes);
        return false;
    }
    for (uint16_t position = 0; position < types; ++position) {
        uint16_t type = 0, otherType = 0, count = 0, otherCount = 0;
        if (!STRATA_GetChildType(position, &type, a) || !STRATA_GetChildType(position, &otherType, b)
            || type != otherType || !STRATA_GetItemCount(type, &count, a) || !STRATA_GetItemCount(type, &otherCount, b)
            || count != otherCount) {
            where += QStringLiteral(" children of type %1").arg(type);
            return false;
        }
        for (uint16_t i = 0; i < count; ++i) {
            if (!STRATA_OpenItem(type, i, a) || !STRATA_OpenItem(type, i, b))
                return false;
            where += QStringLiteral(" %1:%2").arg(type).arg(i);
            if (!sameTree(a, b, where, items))
                return false;
            where.chop(QStringLiteral(" %1:%2").arg(type).arg(i).size());
            if (!STRATA_CloseItem(a) || !STRATA_CloseItem(b))
                return false;
        }
    }
    return true;
}

// Items compared when the two whole trees are equal; 0 (with a warning) at
// the first difference.
int sameSetups(StoreSession a, StoreSession b)
{
    QString where;
    int items = 0;
    if (!STRATA_GotoRoot(a) || !STRATA_GotoRoot(b) || !sameTree(a, b, where, items)) {
        qWarning("the trees differ at%s", qPrintable(where));
        return 0;
    }
    return items;
}

QByteArray imageOf(StoreSession s)
{
    QByteArray out;
    const auto append = [](const void *data, size_t size, void *context) {
        static_cast<QByteArray *>(context)->append(static_cast<const char *>(data), qsizetype(size));
    };
    return STRATA_SaveSessionImage(append, &out, s) ? out : QByteArray();
}

QByteArray nameAt(StoreSession s)
{
    return valueAt(s, toU16(ValueId::Name));
}

}  // namespace

class TestStoreImage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QLocale::setDefault(QLocale::c()); }

    // The largest setup, made by the model's own operations, read back from
    // memory and from a file: every item, value and child order the same.
    void largestSetupReadBack()
    {
        PMModel model;
        QVERIFY(bench::buildLargeSetup(model));
        const QByteArray image = imageOf(model.session());
        QVERIFY(!image.isEmpty());

        UniqueSession fromMemory = UniqueSession::openImage(image);
        QVERIFY2(fromMemory, STRATA_LastError());
        const int items = sameSetups(model.session(), fromMemory.get());
        QVERIFY2(items > 10000, qPrintable(QString::number(items)));

        QTemporaryDir dir;
        const QByteArray path = dir.filePath("large.kelda").toLatin1();
        QVERIFY(STRATA_SaveSession(path.constData(), model.session()));
        UniqueSession fromFile = UniqueSession::open(path);
        QVERIFY2(fromFile, STRATA_LastError());
        QCOMPARE(sameSetups(model.session(), fromFile.get()), items);
        // And the bytes saved again are the bytes read.
        QCOMPARE(imageOf(fromFile.get()), image);
    }

    // Undo of a recorded rename puts back the setup as it was, item for item,
    // however often it is done.
    void undoOfTheLargestSetup()
    {
        PMModel model;
        QVERIFY(bench::buildLargeSetup(model));
        UniqueSession original = UniqueSession::copyOf(model.session());
        SetupStep last;
        connect(&model, &PMModel::changeRecorded, this, [&last](const SetupStep &step) { last = step; });
        model.setRecording(true);
        model.setMode(int(Mode::Timers));
        QVERIFY(model.setData(model.index(0, 0), QStringLiteral("Renamed timer with a long name")));
        QVERIFY(last.before && last.after);
        for (int round = 0; round < 3; ++round) {
            model.restoreSnapshot(last.before);
            QVERIFY(sameSetups(original.get(), model.session()) > 10000);
            model.restoreSnapshot(last.after);
            QCOMPARE(model.data(model.index(0, 0)).toString(), QStringLiteral("Renamed timer with a long name"));
        }
    }

    // A session read from bytes takes every edit: rows added past what was
    // read, long names, values added to read items, removals; bookmarks of
    // it expire with their items and may be released after it is closed;
    // copies of it stay whole when it is gone.
    void readSessionsAreOrdinarySessions()
    {
        PMModel model;
        QVERIFY(bench::buildLargeSetup(model));
        UniqueSession read = UniqueSession::openImage(imageOf(model.session()));
        QVERIFY(read);
        StoreSession s = read.get();
        const uint16_t setup = toU16(ItemType::Setup), timer = toU16(ItemType::Timer);
        QVERIFY(STRATA_OpenItem(setup, 0, s));
        uint16_t timers = 0;
        QVERIFY(STRATA_GetItemCount(timer, &timers, s));
        QVERIFY(STRATA_InsertItemBlocks(timer, 300, s));
        QVERIFY(STRATA_OpenItem(timer, STRATA_LAST_ITEM, s));
        const QByteArray longName = QByteArray(200, 'x');
        QVERIFY(STRATA_InsertValue(toU16(ValueId::Name), longName.constData(), s));
        StoreBookmark kept = nullptr, gone = nullptr;
        QVERIFY(STRATA_AddBookMark(&kept, s));
        QVERIFY(STRATA_CloseItem(s));
        QVERIFY(STRATA_OpenItem(timer, 0, s));
        const QByteArray firstName = nameAt(s);
        const uint16_t ticks = 77;
        QVERIFY(STRATA_InsertValue(toU16(ValueId::Order), &ticks, s));  // a value the item did not have
        QVERIFY(STRATA_CloseItem(s));
        QVERIFY(STRATA_OpenItem(timer, 1, s));
        QVERIFY(STRATA_AddBookMark(&gone, s));
        QVERIFY(STRATA_CloseItem(s));
        QVERIFY(STRATA_DeleteItem(timer, 1, s));
        QVERIFY(!STRATA_GotoBookMark(gone, s));
        QVERIFY(STRATA_GotoBookMark(kept, s));
        QCOMPARE(nameAt(s), longName + '\0');

        UniqueSession copy = UniqueSession::copyOf(s);
        QVERIFY(copy);
        QCOMPARE(sameSetups(s, copy.get()), sameSetups(copy.get(), s));
        QVERIFY(STRATA_GotoRoot(s) && STRATA_OpenItem(setup, 0, s));
        QVERIFY(STRATA_GetItemCount(timer, &timers, s));
        QCOMPARE(int(timers), bench::kLargeCount + 300 - 1);
        read.reset();  // the bookmarks outlive their session until released
        QVERIFY(STRATA_RemoveBookMark(kept, nullptr));
        QVERIFY(STRATA_RemoveBookMark(gone, nullptr));

        StoreSession c = copy.get();
        QVERIFY(STRATA_OpenItem(setup, 0, c) && STRATA_GetItemCount(timer, &timers, c));
        QCOMPARE(int(timers), bench::kLargeCount + 300 - 1);
        QVERIFY(STRATA_OpenItem(timer, 0, c));
        QCOMPARE(nameAt(c), firstName);
        QCOMPARE(valueAt(c, toU16(ValueId::Order)), QByteArray(reinterpret_cast<const char *>(&ticks), 2));
        QVERIFY(STRATA_CloseItem(c) && STRATA_OpenItem(timer, STRATA_LAST_ITEM, c));
        QCOMPARE(nameAt(c), longName + '\0');
    }
};

QTEST_GUILESS_MAIN(TestStoreImage)
#include "tst_storeimage.moc"
