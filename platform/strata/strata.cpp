// The store's C interface over the in-memory tree of strata_tree.h.
#include "strata.h"
#include "strata_tree.h"

#include "schema.h"

#include <QByteArray>

#include <algorithm>
#include <cstring>
#include <new>

namespace strata {

namespace {

// Static reasons are only pointed at; built ones are kept in the string.
thread_local const char *tlsError = "no error";
thread_local std::string tlsErrorText;

constexpr uint16_t kReferenceType = kelda::toU16(kelda::ItemType::Reference);
constexpr uint16_t kTargetTypeId = kelda::toU16(kelda::ValueId::TargetType);
constexpr uint16_t kNameId = kelda::toU16(kelda::ValueId::Name);
constexpr uint16_t kMasksId = kelda::toU16(kelda::ValueId::Lx1Masks);

STRATA_BOOL fail(const char *message)
{
    setError(message);
    return 0;
}

void invalidateNames(Item *item)
{
    if (item->parent)
        if (Group *g = item->parent->group(item->type))
            g->nameIndexValid = false;
}

// Appends count new empty children; the caller has checked the limits.
void appendEmpty(Item *parent, uint16_t type, uint32_t count)
{
    Group &g = parent->groupFor(type);
    // Grown by doubling: rows are added one at a time, and an exact reserve
    // would copy the whole group for each.
    const size_t needed = g.items.size() + count;
    if (needed > g.items.capacity())
        g.items.reserve(std::max(needed, 2 * g.items.capacity()));
    for (uint32_t i = 0; i < count; ++i) {
        auto child = std::make_shared<Item>();
        child->type = type;
        child->depth = static_cast<uint16_t>(parent->depth + 1);
        child->index = static_cast<uint32_t>(g.items.size());
        child->parent = parent;
        g.items.push_back(std::move(child));
    }
    // New children have no names, so the name index stays right.
}

void eraseChild(Item *parent, Group &g, uint32_t index)
{
    g.items.erase(g.items.begin() + index);
    for (uint32_t i = index; i < g.items.size(); ++i)
        g.items[i]->index = i;
    g.nameIndexValid = false;
    if (g.items.empty()) {
        const uint16_t type = g.type;
        auto &groups = parent->groups;
        groups.erase(std::find_if(groups.begin(), groups.end(), [type](const Group &x) { return x.type == type; }));
    }
}

// False when a child of that type would be one child type too many.
bool roomForType(const Item *parent, uint16_t type)
{
    return parent->groups.size() < kMaxChildTypes || parent->group(type);
}

// First child of the given type whose text value equals key.
Item *findChild(Item *parent, uint16_t type, uint16_t valueId, std::string_view key)
{
    Group *g = parent->group(type);
    if (!g)
        return nullptr;
    if (valueId == kNameId) {
        const uint32_t *index = g->findName(key);
        return index ? g->items[*index].get() : nullptr;
    }
    for (const ItemPtr &child : g->items)
        if (const Value *v = child->value(valueId); v && textOf(*v) == key)
            return child.get();
    return nullptr;
}

}  // namespace

void setError(const char *message)
{
    tlsError = message;
}

void setError(std::string message)
{
    tlsErrorText = std::move(message);
    tlsError = tlsErrorText.c_str();
}

const uint32_t *Group::findName(std::string_view name)
{
    if (!nameIndexValid) {
        if (nameIndex)
            nameIndex->clear();
        else
            nameIndex = std::make_unique<decltype(nameIndex)::element_type>();
        for (uint32_t i = 0; i < items.size(); ++i)
            if (const Value *v = items[i]->value(kNameId))
                nameIndex->emplace(std::string(textOf(*v)), i);  // keeps the first
        nameIndexValid = true;
    }
    auto it = nameIndex->find(name);
    return it == nameIndex->end() ? nullptr : &it->second;
}

Group *Item::group(uint16_t childType)
{
    auto it = std::lower_bound(groups.begin(), groups.end(), childType,
                               [](const Group &g, uint16_t t) { return g.type < t; });
    return it != groups.end() && it->type == childType ? &*it : nullptr;
}

const Group *Item::group(uint16_t childType) const
{
    return const_cast<Item *>(this)->group(childType);
}

Group &Item::groupFor(uint16_t childType)
{
    auto it = std::lower_bound(groups.begin(), groups.end(), childType,
                               [](const Group &g, uint16_t t) { return g.type < t; });
    if (it != groups.end() && it->type == childType)
        return *it;
    Group g;
    g.type = childType;
    return *groups.insert(it, std::move(g));
}

const Value *Item::value(uint16_t id) const
{
    for (const Value &v : values)
        if (v.id == id)
            return &v;
    return nullptr;
}

void Item::setValue(uint16_t id, std::string bytes)
{
    for (Value &v : values)
        if (v.id == id) {
            v.bytes = std::move(bytes);
            return;
        }
    values.push_back(Value{id, std::move(bytes)});
}

int Item::height() const
{
    int h = 0;
    for (const Group &g : groups)
        for (const ItemPtr &child : g.items)
            h = std::max(h, child->height() + 1);
    return h;
}

ItemPtr Item::clone(Item *newParent, uint32_t newIndex) const
{
    auto copy = std::make_shared<Item>();
    copy->type = type;
    copy->depth = newParent ? static_cast<uint16_t>(newParent->depth + 1) : 0;
    copy->index = newIndex;
    copy->parent = newParent;
    copy->values = values;
    copy->groups.reserve(groups.size());
    for (const Group &g : groups) {
        Group cg;
        cg.type = g.type;
        cg.items.reserve(g.items.size());
        for (uint32_t i = 0; i < g.items.size(); ++i)
            cg.items.push_back(g.items[i]->clone(copy.get(), i));
        copy->groups.push_back(std::move(cg));
    }
    return copy;
}

}  // namespace strata

using namespace strata;

#define STRATA_NEED_SESSION(s)                                                                                         \
    do {                                                                                                               \
        if (!(s))                                                                                                      \
            return fail("no store session");                                                                           \
    } while (0)

namespace {
// A session around a tree read whole from a file or from memory.
STRATA_BOOL adoptTree(Tree tree, StoreSession *session)
{
    auto *s = new (std::nothrow) StrataSession;
    if (!s)
        return fail("out of memory");
    s->arena = std::move(tree.arena);
    s->root = std::move(tree.root);
    s->cursor = s->root.get();
    *session = s;
    return 1;
}
}  // namespace

extern "C" {

const char *STRATA_LastError(void)
{
    return tlsError;
}

STRATA_BOOL STRATA_NewSession(StoreSession *session)
{
    if (!session)
        return fail("no place for the new session");
    auto *s = new (std::nothrow) StrataSession;
    if (!s)
        return fail("out of memory");
    s->root = std::make_shared<Item>();
    s->cursor = s->root.get();
    *session = s;
    return 1;
}

STRATA_BOOL STRATA_OpenSession(const char *latin1Path, StoreSession *session)
{
    if (!latin1Path || !session)
        return fail("no file name given");
    Tree tree = loadTree(latin1Path);
    if (!tree.root)
        return 0;  // loadTree has set the reason; *session is left as it was
    return adoptTree(std::move(tree), session);
}

STRATA_BOOL STRATA_SaveSession(const char *latin1Path, StoreSession session)
{
    STRATA_NEED_SESSION(session);
    if (!latin1Path)
        return fail("no file name given");
    return saveTree(*session->root, latin1Path) ? 1 : 0;
}

STRATA_BOOL STRATA_SaveSessionImage(STRATA_IMAGE_WRITER write, void *context, StoreSession session)
{
    STRATA_NEED_SESSION(session);
    if (!write)
        return fail("no place for the setup image");
    QByteArray image;
    if (!encodeTree(*session->root, image, "cannot save the setup in memory: "))
        return 0;
    write(image.constData(), size_t(image.size()), context);
    return 1;
}

STRATA_BOOL STRATA_OpenSessionImage(const void *data, size_t size, StoreSession *session)
{
    if (!session)
        return fail("no place for the session");
    if (!data && size > 0)
        return fail("no setup image");
    if (size > size_t(STRATA_MAX_FILE_SIZE))
        return fail("too large to be a KELDA setup");
    Tree tree = parseFile(static_cast<const char *>(data), size);
    if (!tree.root)
        return 0;  // parseFile has set the reason
    return adoptTree(std::move(tree), session);
}

STRATA_BOOL STRATA_CloseSession(StoreSession session)
{
    STRATA_NEED_SESSION(session);
    // Bookmarks still held by the caller expire with the items.
    delete session;
    return 1;
}

STRATA_BOOL STRATA_CopyBlocks(StoreSession source, StoreSession destination)
{
    if (!source || !destination)
        return fail("no store session");
    const Item *from = source->cursor;
    Item *to = destination->cursor;
    int height = 0;
    for (const Group &g : from->groups) {
        const Group *dg = to->group(g.type);
        if ((dg ? dg->items.size() : 0) + g.items.size() > kMaxChildrenPerType)
            return fail("too many items of one type");
        for (const ItemPtr &child : g.items)
            height = std::max(height, child->height() + 1);
    }
    if (to->depth + height > kMaxDepth)
        return fail("items nested too deeply");
    size_t newTypes = 0;
    for (const Group &g : from->groups)
        newTypes += to->group(g.type) ? 0 : 1;
    if (to->groups.size() + newTypes > kMaxChildTypes)
        return fail("too many child types");
    // Clone first: source and destination may be the same session.
    std::vector<std::pair<uint16_t, std::vector<ItemPtr>>> copies;
    for (const Group &g : from->groups) {
        std::vector<ItemPtr> items;
        items.reserve(g.items.size());
        for (const ItemPtr &child : g.items)
            items.push_back(child->clone(to, 0));
        copies.emplace_back(g.type, std::move(items));
    }
    for (auto &[type, items] : copies) {
        Group &dg = to->groupFor(type);
        for (ItemPtr &item : items) {
            item->index = static_cast<uint32_t>(dg.items.size());
            dg.items.push_back(std::move(item));
        }
        dg.nameIndexValid = false;
    }
    return 1;
}

STRATA_BOOL STRATA_GotoRoot(StoreSession session)
{
    STRATA_NEED_SESSION(session);
    session->cursor = session->root.get();
    return 1;
}

STRATA_BOOL STRATA_OpenItem(uint16_t type, uint16_t index, StoreSession session)
{
    STRATA_NEED_SESSION(session);
    Group *g = session->cursor->group(type);
    if (!g)
        return fail("no item of that type");
    const size_t i = index == STRATA_LAST_ITEM ? g->items.size() - 1 : index;
    if (i >= g->items.size())
        return fail("no item at that index");
    session->cursor = g->items[i].get();
    return 1;
}

STRATA_BOOL STRATA_CloseItem(StoreSession session)
{
    STRATA_NEED_SESSION(session);
    if (!session->cursor->parent)
        return fail("already at the root");
    session->cursor = session->cursor->parent;
    return 1;
}

STRATA_BOOL STRATA_GetItemCount(uint16_t type, uint16_t *count, StoreSession session)
{
    STRATA_NEED_SESSION(session);
    if (!count)
        return fail("no place for the count");
    const Group *g = session->cursor->group(type);
    *count = g ? static_cast<uint16_t>(g->items.size()) : 0;
    return 1;
}

STRATA_BOOL STRATA_GetChildTypeCount(uint16_t *count, StoreSession session)
{
    STRATA_NEED_SESSION(session);
    if (!count)
        return fail("no place for the count");
    // The store never holds more types than a count can hold; this is the
    // same limit.
    if (session->cursor->groups.size() > kMaxChildTypes)
        return fail("more child types than a count can hold");
    *count = static_cast<uint16_t>(session->cursor->groups.size());
    return 1;
}

STRATA_BOOL STRATA_GetChildType(uint16_t position, uint16_t *type, StoreSession session)
{
    STRATA_NEED_SESSION(session);
    if (!type)
        return fail("no place for the type");
    const auto &groups = session->cursor->groups;
    if (position >= groups.size())
        return fail("no child type at that position");
    *type = groups[position].type;
    return 1;
}

STRATA_BOOL STRATA_InsertItemBlocks(uint16_t type, uint16_t n, StoreSession session)
{
    STRATA_NEED_SESSION(session);
    Item *cur = session->cursor;
    if (n == 0)
        return 1;
    if (cur->depth + 1 > kMaxDepth)
        return fail("items nested too deeply");
    const Group *g = cur->group(type);
    if ((g ? g->items.size() : 0) + n > kMaxChildrenPerType)
        return fail("too many items of one type");
    if (!roomForType(cur, type))
        return fail("too many child types");
    appendEmpty(cur, type, n);
    return 1;
}

STRATA_BOOL STRATA_DeleteItem(uint16_t type, uint16_t index, StoreSession session)
{
    STRATA_NEED_SESSION(session);
    Item *cur = session->cursor;
    Group *g = cur->group(type);
    if (!g)
        return fail("no item of that type");
    const size_t i = index == STRATA_LAST_ITEM ? g->items.size() - 1 : index;
    if (i >= g->items.size())
        return fail("no item at that index");
    eraseChild(cur, *g, static_cast<uint32_t>(i));
    return 1;
}

STRATA_BOOL STRATA_GetParentTID(uint16_t *type, uint16_t *index, StoreSession session)
{
    STRATA_NEED_SESSION(session);
    if (!type || !index)
        return fail("no place for the result");
    const Item *cur = session->cursor;
    if (!cur->parent)
        return fail("the root has no parent");
    *type = cur->type;
    *index = static_cast<uint16_t>(cur->index);
    return 1;
}

STRATA_BOOL STRATA_GetValSize(uint16_t valueId, uint32_t *size, StoreSession session)
{
    STRATA_NEED_SESSION(session);
    if (!size)
        return fail("no place for the size");
    const Value *v = session->cursor->value(valueId);
    if (!v)
        return fail("no such value");
    *size = static_cast<uint32_t>(v->bytes.size());
    return 1;
}

STRATA_BOOL STRATA_GetValue(uint16_t valueId, void *buffer, StoreSession session)
{
    STRATA_NEED_SESSION(session);
    if (!buffer)
        return fail("no buffer");
    const Value *v = session->cursor->value(valueId);
    if (!v)
        return fail("no such value");
    std::memcpy(buffer, v->bytes.data(), v->bytes.size());
    return 1;
}

STRATA_BOOL STRATA_InsertValue(uint16_t valueId, const void *data, StoreSession session)
{
    STRATA_NEED_SESSION(session);
    if (!data)
        return fail("no data");
    const int width = kelda::valueWidth(valueId);
    if (width < 0)
        return fail("unknown value id");
    Item *cur = session->cursor;
    const char *bytes = static_cast<const char *>(data);
    if (width == kelda::kTextWidth) {
        const size_t length = ::strnlen(bytes, kMaxTextLength + 1);
        if (length > kMaxTextLength)
            return fail("text too long");
        cur->setValue(valueId, std::string(bytes, length + 1));
        if (valueId == kNameId)
            invalidateNames(cur);
    } else {
        cur->setValue(valueId, std::string(bytes, static_cast<size_t>(width)));
    }
    return 1;
}

STRATA_BOOL STRATA_InsertData(uint32_t size, const void *data, StoreSession session)
{
    STRATA_NEED_SESSION(session);
    if (!data)
        return fail("no data");
    if (size != static_cast<uint32_t>(kelda::valueWidth(kMasksId)))
        return fail("a data block must be 8 bytes");
    session->cursor->setValue(kMasksId, std::string(static_cast<const char *>(data), size));
    return 1;
}

STRATA_BOOL STRATA_FindType(uint16_t type, uint16_t valueId, const char *key, StoreSession session)
{
    STRATA_NEED_SESSION(session);
    if (!key)
        return fail("no key");
    if (kelda::valueWidth(valueId) != kelda::kTextWidth)
        return fail("items are found by a text value only");
    Item *found = findChild(session->cursor, type, valueId, key);
    if (!found)
        return fail("no item with that name");
    session->cursor = found;
    return 1;
}

STRATA_BOOL STRATA_AddBookMark(StoreBookmark *bookmark, StoreSession session)
{
    STRATA_NEED_SESSION(session);
    if (!bookmark)
        return fail("no place for the bookmark");
    auto *b = new (std::nothrow) StrataBookmark;
    if (!b)
        return fail("out of memory");
    b->session = session;
    b->arena = session->arena;
    Item *cur = session->cursor;
    // The cursor item is owned by its parent's group (or is the root).
    if (!cur->parent)
        b->item = session->root;
    else
        b->item = cur->parent->group(cur->type)->items[cur->index];
    *bookmark = b;
    return 1;
}

STRATA_BOOL STRATA_GotoBookMark(StoreBookmark bookmark, StoreSession session)
{
    STRATA_NEED_SESSION(session);
    if (!bookmark)
        return fail("no bookmark");
    if (bookmark->session != session)
        return fail("the bookmark belongs to another session");
    ItemPtr item = bookmark->item.lock();
    if (!item)
        return fail("the bookmarked item was deleted");
    session->cursor = item.get();
    return 1;
}

STRATA_BOOL STRATA_RemoveBookMark(StoreBookmark bookmark, StoreSession session)
{
    (void)session;  // bookmarks outlive their session until released
    if (!bookmark)
        return fail("no bookmark");
    delete bookmark;
    return 1;
}

STRATA_BOOL STRATA_CreateReference(StoreBookmark target, uint16_t slot, uint16_t keyValueId, StoreSession session)
{
    STRATA_NEED_SESSION(session);
    if (!target)
        return fail("no bookmark");
    if (slot != 1)
        return fail("only reference slot 1 exists");
    if (kelda::valueWidth(keyValueId) != kelda::kTextWidth)
        return fail("references are keyed by a text value only");
    if (target->session != session)
        return fail("the bookmark belongs to another session");
    ItemPtr item = target->item.lock();
    if (!item)
        return fail("the bookmarked item was deleted");
    const Value *key = item->value(keyValueId);
    if (!key)
        return fail("the bookmarked item has no name");
    Item *cur = session->cursor;
    if (cur->depth + 1 > kMaxDepth)
        return fail("items nested too deeply");
    if (!roomForType(cur, kReferenceType))
        return fail("too many child types");
    const uint16_t targetType = item->type;
    const std::string name(textOf(*key));

    auto record = std::make_shared<Item>();
    record->type = kReferenceType;
    record->depth = static_cast<uint16_t>(cur->depth + 1);
    record->parent = cur;
    record->setValue(kTargetTypeId, std::string(reinterpret_cast<const char *>(&targetType), 2));
    record->setValue(kNameId, name + '\0');

    Group &g = cur->groupFor(kReferenceType);
    if (g.items.empty()) {
        g.items.push_back(std::move(record));
    } else {
        g.items[0] = std::move(record);  // the earlier record and its subtree go
    }
    g.nameIndexValid = false;
    return 1;
}

STRATA_BOOL STRATA_GotoReference(uint16_t slot, StoreSession session)
{
    STRATA_NEED_SESSION(session);
    if (slot != 1)
        return fail("only reference slot 1 exists");
    Item *cur = session->cursor;
    const Group *g = cur->group(kReferenceType);
    if (!g)
        return fail("no reference");
    const Item *record = g->items[0].get();
    const Value *type = record->value(kTargetTypeId);
    const Value *name = record->value(kNameId);
    if (!type || !name || type->bytes.size() != 2)
        return fail("the reference is incomplete");
    uint16_t targetType;
    std::memcpy(&targetType, type->bytes.data(), 2);
    const std::string_view key = textOf(*name);
    for (Item *scope = cur->parent; scope; scope = scope->parent) {
        if (Item *found = findChild(scope, targetType, kNameId, key)) {
            session->cursor = found;
            return 1;
        }
    }
    return fail("the referenced item does not exist");
}

}  // extern "C"
