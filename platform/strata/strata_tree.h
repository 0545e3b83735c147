// The in-memory tree behind a store session. Internal to the strata library.
#pragma once

#include <cstdint>
#include <memory>
#include <memory_resource>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "strata.h"

class QByteArray;

namespace strata {

// Deepest level an item may sit at (the root is level 0). A setup needs about
// six; the limit keeps recursion bounded when reading, copying and freeing.
constexpr int kMaxDepth = STRATA_MAX_DEPTH;
// Children of one type: indexes 0..0xFFFE are addressable, 0xFFFF means "last".
constexpr uint32_t kMaxChildrenPerType = STRATA_MAX_CHILDREN_PER_TYPE;
// Child types of one item: as many as a 16-bit count holds, so that whatever
// the store holds can be listed.
constexpr size_t kMaxChildTypes = STRATA_MAX_CHILD_TYPES;
// Longest text value in bytes without its terminating zero, so that the size
// with the zero still fits 16 bits.
constexpr uint32_t kMaxTextLength = STRATA_MAX_TEXT_LENGTH;

struct Item;
using ItemPtr = std::shared_ptr<Item>;

// Where a tree read from setup bytes keeps its items, their control blocks
// and their lists: one region per tree, handed out in order and given back
// whole, so that reading and freeing a tree cost no allocator call per item.
// Whatever may still point into it holds it: the session, and each bookmark
// (a weak reference keeps an item's control block). Items made by editing
// come from the heap as before.
using Arena = std::shared_ptr<std::pmr::memory_resource>;

struct Value {
    uint16_t id;
    std::string bytes;  // fixed-width values: exactly the width; texts: with the zero
};

struct StringHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};
struct StringEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
};

// The children of one item that share a type, in sibling order.
struct Group {
    Group() = default;
    explicit Group(std::pmr::memory_resource *arena) : items(arena) { }

    uint16_t type = 0;
    std::pmr::vector<ItemPtr> items;
    // Name -> index of the first child carrying it; rebuilt lazily after a
    // Name of a child changed or children were removed or copied in. Made
    // only when first searched: most groups never are, and an opened setup
    // has thousands of them.
    bool nameIndexValid = false;
    std::unique_ptr<std::unordered_map<std::string, uint32_t, StringHash, StringEqual>> nameIndex;

    const uint32_t *findName(std::string_view name);
};

struct Item {
    Item() = default;
    explicit Item(std::pmr::memory_resource *arena) : values(arena), groups(arena) { }

    uint16_t type = 0;
    uint16_t depth = 0;  // root = 0
    uint32_t index = 0;  // among the parent's children of this type
    Item *parent = nullptr;
    std::pmr::vector<Value> values;  // few per item: a linear search beats a map
    std::pmr::vector<Group> groups;  // sorted by type

    Group *group(uint16_t childType);
    const Group *group(uint16_t childType) const;
    Group &groupFor(uint16_t childType);

    const Value *value(uint16_t id) const;
    void setValue(uint16_t id, std::string bytes);

    // Levels below this item (0 when it has no children).
    int height() const;
    ItemPtr clone(Item *newParent, uint32_t newIndex) const;
};

// The text of a text value, without its terminating zero.
inline std::string_view textOf(const Value &v)
{
    std::string_view s(v.bytes);
    if (!s.empty() && s.back() == '\0')
        s.remove_suffix(1);
    return s;
}

}  // namespace strata

struct StrataSession {
    strata::Arena arena;  // first: it outlives the tree (null for a tree made in memory)
    strata::ItemPtr root;
    strata::Item *cursor = nullptr;
};

struct StrataBookmark {
    const StrataSession *session = nullptr;  // compared only, never followed
    strata::Arena arena;  // the item's control block may live there
    std::weak_ptr<strata::Item> item;  // expires when the item is deleted
};

namespace strata {

void setError(const char *message);
void setError(std::string message);

// File reader and writer (strata_file.cpp).
bool saveTree(const Item &root, const char *latin1Path);
// The bytes of a whole setup file; false (error set, prefixed by `where`)
// when the tree is too large for one.
bool encodeTree(const Item &root, QByteArray &file, const std::string &where);
// A tree read whole, with the arena its items live in.
struct Tree {
    Arena arena;  // first: destroyed after the items
    ItemPtr root;
};
Tree loadTree(const char *latin1Path);
// CRC-32 (IEEE 802.3 / zlib polynomial) of the file payload.
uint32_t crc32(const char *data, size_t size);
// Parses a whole file image; no root (with the error set) when it is not valid.
Tree parseFile(const char *data, size_t size);

}  // namespace strata
