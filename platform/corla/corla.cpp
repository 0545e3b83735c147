// Object registry, callback queue, strings, holders and calibrations.
#include "corlaimpl.h"

#include <QCoreApplication>
#include <QDebug>

#include <array>
#include <cstring>
#include <list>
#include <unordered_set>

namespace corla::detail {

namespace {
struct Registry {
    std::unordered_set<const Object *> live;
    std::array<int, 9> counts{};
    int badReleases = 0;
};
Registry &registry()
{
    static Registry *r = new Registry;  // outlives every static destructor
    return *r;
}

struct Queue {
    std::list<Item> items;
    quint64 nextId = 1;
    QObject *target = nullptr;
};
Queue &queue()
{
    static Queue *q = new Queue;
    return *q;
}

void runItem(Item &item, bool asAborted)
{
    if (item.run)
        item.run(asAborted);
    if (item.txn)
        remRef(item.txn);
}

void deliver(quint64 id)
{
    auto &q = queue();
    for (auto it = q.items.begin(); it != q.items.end(); ++it) {
        if (it->id == id) {
            Item item = std::move(*it);
            q.items.erase(it);
            runItem(item, false);
            return;
        }
    }
}
}  // namespace

Object::Object(int k) : kind(k)
{
    auto &r = registry();
    r.live.insert(this);
    ++r.counts[size_t(k)];
}

Object::~Object()
{
    auto &r = registry();
    r.live.erase(this);
    --r.counts[size_t(kind)];
}

bool isLive(const void *p, int kind)
{
    if (!p)
        return false;
    auto &r = registry();
    auto it = r.live.find(static_cast<const Object *>(p));
    return it != r.live.end() && (kind == 0 || (*it)->kind == kind);
}

void noteBadRelease(const char *what)
{
    ++registry().badReleases;
    qWarning("corla: %s of an object that is not alive (ignored)", what);
}

int addRef(Object *o)
{
    return ++o->refs;
}

int remRef(Object *o)
{
    if (o->refs <= 0) {
        noteBadRelease("RemRef");
        return 0;
    }
    const int n = --o->refs;
    if (n == 0)
        delete o;
    return n;
}

QString hex4(uint32_t v)
{
    return QStringLiteral("0x%1")
        .arg(v, 4, 16, QLatin1Char('0'))
        .toUpper()
        .replace(QLatin1String("0X"), QLatin1String("0x"));
}

void post(Item item)
{
    auto &q = queue();
    if (!q.target)
        q.target = new QObject;  // lives in the thread that first posts: the GUI thread
    item.id = q.nextId++;
    if (item.txn)
        addRef(item.txn);
    const quint64 id = item.id;
    q.items.push_back(std::move(item));
    QMetaObject::invokeMethod(
        q.target, [id] { deliver(id); }, Qt::QueuedConnection);
}

int deliverNow(const std::function<bool(const Item &)> &match, bool asAborted)
{
    auto &q = queue();
    int ran = 0;
    for (;;) {
        auto it = q.items.begin();
        while (it != q.items.end() && !match(*it))
            ++it;
        if (it == q.items.end())
            return ran;
        Item item = std::move(*it);
        q.items.erase(it);
        runItem(item, asAborted);
        ++ran;
    }
}

void drop(const std::function<bool(const Item &)> &match)
{
    auto &q = queue();
    std::vector<CorlaEcuTxn *> release;
    for (auto it = q.items.begin(); it != q.items.end();) {
        if (match(*it)) {
            if (it->txn)
                release.push_back(it->txn);
            it = q.items.erase(it);
        } else {
            ++it;
        }
    }
    for (auto *t : release)
        remRef(t);
}

bool hasPending(const std::function<bool(const Item &)> &match)
{
    for (const auto &i : queue().items)
        if (match(i))
            return true;
    return false;
}

// ---- calibrations ----

CalImpl::CalImpl(CorlaRune *r) : rune(r)
{
    if (rune)
        addRef(rune);
}

CalImpl::~CalImpl()
{
    if (rune)
        remRef(rune);
}

uint32_t CalImpl::capacity() const
{
    return rune && rune->calSize ? rune->calSize : proto::kMaxCalibration;
}

int CalImpl::write(uint32_t address, uint32_t size, const void *bytes)
{
    if (size == 0)
        return 0;
    if (!bytes)
        return 2;
    if (uint64_t(address) + size > capacity())
        return 1;
    const uint32_t end = address + size;
    if (uint32_t(data.size()) < end) {
        data.append(QByteArray(end - data.size(), char(proto::kFill)));
        written.resize(end, 0);
    }
    std::memcpy(data.data() + address, bytes, size);
    std::fill(written.begin() + address, written.begin() + end, uint8_t(1));
    return 0;
}

std::vector<CalImpl::Range> CalImpl::ranges() const
{
    std::vector<Range> out;
    uint32_t i = 0;
    const uint32_t n = uint32_t(written.size());
    while (i < n) {
        while (i < n && !written[i])
            ++i;
        if (i == n)
            break;
        const uint32_t s = i;
        while (i < n && written[i])
            ++i;
        out.push_back({s, i});
    }
    return out;
}

void CalImpl::replace(const QByteArray &bytes)
{
    data = bytes;
    written.assign(size_t(bytes.size()), uint8_t(1));
}

uint32_t CalImpl::writtenBytes() const
{
    uint32_t n = 0;
    for (auto w : written)
        n += w;
    return n;
}

}  // namespace corla::detail

using namespace corla::detail;

namespace {
struct RuneRefImpl : Object {
    RuneRefImpl() : Object(CORLA_KIND_HOLDER) { }
    CorlaRune *rune = nullptr;
};
struct ICalRefImpl : Object {
    ICalRefImpl() : Object(CORLA_KIND_HOLDER) { }
    CorlaICal *ical = nullptr;
};

CalImpl *asCal(CorlaICal *i)
{
    if (!isLive(i, CORLA_KIND_ICAL))
        return nullptr;
    if (i->isEcu())
        return static_cast<EcuImpl *>(i)->cal;
    return static_cast<CalImpl *>(i);
}
}  // namespace

struct CorlaRuneRef : RuneRefImpl { };
struct CorlaICalRef : ICalRefImpl { };

extern "C" {

// ---- strings ----
CorlaString *CORLA_String_Create(void)
{
    return new CorlaString;
}
const char16_t *CORLA_String_WCStr(const CorlaString *s)
{
    return isLive(s, CORLA_KIND_STRING) ? wide(s->text) : u"";
}
void CORLA_String_Clear(CorlaString *s)
{
    if (isLive(s, CORLA_KIND_STRING))
        s->text.clear();
}
void CORLA_String_Destroy(CorlaString *s)
{
    if (!s)
        return;
    if (!isLive(s, CORLA_KIND_STRING))
        return noteBadRelease("CORLA_String_Destroy");
    delete s;
}

// ---- holders ----
CorlaRuneRef *CORLA_RuneRef_Create(void)
{
    return new CorlaRuneRef;
}
void CORLA_RuneRef_Set(CorlaRuneRef *ref, CorlaRune *rune)
{
    if (isLive(ref, CORLA_KIND_HOLDER))
        ref->rune = rune;
}
CorlaRune *CORLA_RuneRef_Get(const CorlaRuneRef *ref)
{
    return isLive(ref, CORLA_KIND_HOLDER) ? ref->rune : nullptr;
}
void CORLA_RuneRef_Destroy(CorlaRuneRef *ref)
{
    if (!ref)
        return;
    if (!isLive(ref, CORLA_KIND_HOLDER))
        return noteBadRelease("CORLA_RuneRef_Destroy");
    delete ref;
}
CorlaICalRef *CORLA_ICalRef_Create(void)
{
    return new CorlaICalRef;
}
void CORLA_ICalRef_Set(CorlaICalRef *ref, CorlaICal *ical)
{
    if (isLive(ref, CORLA_KIND_HOLDER))
        ref->ical = ical;
}
CorlaICal *CORLA_ICalRef_Get(const CorlaICalRef *ref)
{
    return isLive(ref, CORLA_KIND_HOLDER) ? ref->ical : nullptr;
}
void CORLA_ICalRef_Destroy(CorlaICalRef *ref)
{
    if (!ref)
        return;
    if (!isLive(ref, CORLA_KIND_HOLDER))
        return noteBadRelease("CORLA_ICalRef_Destroy");
    delete ref;
}

// ---- counting ----
int CORLA_ICal_AddRef(CorlaICal *i)
{
    return isLive(i, CORLA_KIND_ICAL) ? addRef(i) : 0;
}
int CORLA_ICal_RemRef(CorlaICal *i)
{
    if (!i)
        return 0;
    if (!isLive(i, CORLA_KIND_ICAL)) {
        noteBadRelease("CORLA_ICal_RemRef");
        return 0;
    }
    return remRef(i);
}
int CORLA_Rune_AddRef(CorlaRune *r)
{
    return isLive(r, CORLA_KIND_RUNE) ? addRef(r) : 0;
}
int CORLA_Rune_RemRef(CorlaRune *r)
{
    if (!r)
        return 0;
    if (!isLive(r, CORLA_KIND_RUNE)) {
        noteBadRelease("CORLA_Rune_RemRef");
        return 0;
    }
    return remRef(r);
}
int CORLA_EcuTxn_AddRef(CorlaEcuTxn *t)
{
    return isLive(t, CORLA_KIND_TXN) ? addRef(t) : 0;
}
int CORLA_EcuTxn_RemRef(CorlaEcuTxn *t)
{
    if (!t)
        return 0;
    if (!isLive(t, CORLA_KIND_TXN)) {
        noteBadRelease("CORLA_EcuTxn_RemRef");
        return 0;
    }
    return remRef(t);
}

// ---- calibrations ----
CorlaRune *CORLA_ICal_GetRune(CorlaICal *i)
{
    if (auto *e = asEcu(i))
        return e->rune;
    if (auto *c = asCal(i))
        return c->rune;
    return nullptr;
}
CorlaCal *CORLA_ICal_ToCal(CorlaICal *i)
{
    return asCal(i);
}
int CORLA_ICal_WriteRawDataEx(CorlaICal *i, uint32_t address, uint32_t size, const void *bytes, int flags, int reserved,
                              uint64_t *end)
{
    CalImpl *c = asCal(i);
    if (!c || flags != 0 || reserved != 0)
        return 2;
    const int rc = c->write(address, size, bytes);
    if (rc == 0 && end)
        *end = uint64_t(address) + size;
    return rc;
}
int CORLA_ICal_ReadRawData(CorlaICal *i, uint32_t address, uint32_t size, void *bytes)
{
    CalImpl *c = asCal(i);
    if (!c || (size && !bytes) || uint64_t(address) + size > c->capacity())
        return 2;
    auto *out = static_cast<char *>(bytes);
    for (uint32_t k = 0; k < size; ++k) {
        const uint32_t a = address + k;
        out[k] = a < uint32_t(c->data.size()) ? c->data[a] : char(corla::proto::kFill);
    }
    return 0;
}
uint32_t CORLA_ICal_GetCrc32(CorlaICal *i)
{
    CalImpl *c = asCal(i);
    return corla::proto::crc32(c ? c->data : QByteArray());
}
uint32_t CORLA_ICal_GetDataEnd(CorlaICal *i)
{
    CalImpl *c = asCal(i);
    return c ? uint32_t(c->data.size()) : 0;
}
int CORLA_ICal_AddListener(CorlaICal *i, const CalListenerTable *table)
{
    if (!isLive(i, CORLA_KIND_ICAL) || !table)
        return 0;
    i->calListeners.push_back(*table);
    return 1;
}

// ---- checks ----
int CORLA_Debug_LiveObjects(int kind)
{
    auto &r = registry();
    if (kind == CORLA_KIND_ALL) {
        int n = 0;
        for (int c : r.counts)
            n += c;
        return n;
    }
    return kind > 0 && kind < int(r.counts.size()) ? r.counts[size_t(kind)] : 0;
}
int CORLA_Debug_RefCount(const void *object)
{
    if (!isLive(object, 0))
        return -1;
    auto *o = static_cast<const Object *>(object);
    if (o->kind != CORLA_KIND_ICAL && o->kind != CORLA_KIND_RUNE && o->kind != CORLA_KIND_TXN)
        return -1;
    return o->refs;
}
int CORLA_Debug_BadReleases(void)
{
    return registry().badReleases;
}

const char16_t *CORLA_StatusText(int status)
{
    switch (status) {
    case CORLA_STATUS_OK:
        return u"completed";
    case CORLA_STATUS_ABORTED:
        return u"aborted";
    case CORLA_STATUS_NO_PORT:
        return u"no port selected";
    case CORLA_STATUS_PORT_OPEN:
        return u"the port could not be opened";
    case CORLA_STATUS_TIMEOUT:
        return u"the module did not answer";
    case CORLA_STATUS_NO_RUNE:
        return u"no RUNE file is installed for the module";
    case CORLA_STATUS_REFUSED:
        return u"the module refused a request";
    case CORLA_STATUS_CANCELLED:
        return u"cancelled";
    case CORLA_STATUS_VERIFY_FAILED:
        return u"verification failed";
    case CORLA_STATUS_NOT_CONNECTED:
        return u"not connected to a module";
    case CORLA_STATUS_BAD_CALIBRATION:
        return u"the calibration does not fit the module";
    case CORLA_STATUS_LINK_LOST:
        return u"the connection to the module was lost";
    case CORLA_STATUS_STORAGE_FAILED:
        return u"the module could not store the calibration";
    case CORLA_STATUS_UNSUPPORTED:
        return u"the module does not know the request";
    default:
        return u"unknown status";
    }
}

}  // extern "C"
