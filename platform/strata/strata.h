/* The hierarchical typed store that holds a setup.
 *
 * C interface: every operation takes the session handle last and returns a
 * one-byte boolean (nonzero = success). A session is a tree of items; each item
 * has a 16-bit type, an index among its siblings of that type, values keyed by
 * value id (the width of a value is fixed per value id) and children. A cursor
 * marks the current item; bookmarks save positions.
 *
 * Every failure leaves the session as it was (the cursor included) and sets
 * STRATA_LastError(). Sessions are not shared between threads.
 */
#ifndef STRATA_H
#define STRATA_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct StrataSession *StoreSession;
typedef struct StrataBookmark *StoreBookmark;
typedef unsigned char STRATA_BOOL;

/* Index meaning "the last item of that type" for STRATA_OpenItem and
 * STRATA_DeleteItem. An item has at most 65535 children of one type. */
#define STRATA_LAST_ITEM 0xFFFF

/* Limits of a tree, the same in memory, in the file reader and for everyone
 * who lists a tree (STRATA_GetChildTypeCount counts up to the type limit). */
#define STRATA_MAX_CHILDREN_PER_TYPE 0xFFFF /* indexes 0..0xFFFE */
#define STRATA_MAX_CHILD_TYPES 0xFFFF /* distinct child types of one item */
#define STRATA_MAX_DEPTH 64 /* levels below the root */
#define STRATA_MAX_TEXT_LENGTH 0xFFFE /* bytes of a text without its zero */
#define STRATA_MAX_ITEMS 1000000 /* items of a saved or opened tree */
#define STRATA_MAX_FILE_SIZE (64 * 1024 * 1024) /* bytes of a setup file */

/* Sessions */
/* An empty store (a root item of type 0 without values), cursor at the root. */
STRATA_BOOL STRATA_NewSession(StoreSession *session);
/* Loads a whole setup file (Latin-1 path), cursor at the root. On any failure
 * no session is created and *session is left as it was. */
STRATA_BOOL STRATA_OpenSession(const char *latin1Path, StoreSession *session);
/* Writes the whole tree atomically: a failed save leaves any existing file at
 * the path byte for byte as it was. The cursor does not matter. */
STRATA_BOOL STRATA_SaveSession(const char *latin1Path, StoreSession session);
/* Setup images: the bytes of a whole setup file, kept in memory (the undo
 * history keeps setups so). SaveSessionImage hands them to `write` (in one or
 * more pieces, before it returns); nothing is written anywhere else.
 * OpenSessionImage loads such bytes with every check of STRATA_OpenSession,
 * cursor at the root; on any failure no session is created. */
typedef void (*STRATA_IMAGE_WRITER)(const void *data, size_t size, void *context);
STRATA_BOOL STRATA_SaveSessionImage(STRATA_IMAGE_WRITER write, void *context, StoreSession session);
STRATA_BOOL STRATA_OpenSessionImage(const void *data, size_t size, StoreSession *session);
/* Releases the session. Bookmarks of it stay valid handles (GotoBookMark
 * fails) until released with STRATA_RemoveBookMark. */
STRATA_BOOL STRATA_CloseSession(StoreSession session);
/* Deep-copies every child subtree of the source cursor and appends the copies
 * below the destination cursor; the two are independent afterwards. The
 * sessions may be the same. */
STRATA_BOOL STRATA_CopyBlocks(StoreSession source, StoreSession destination);

/* Cursor and items */
STRATA_BOOL STRATA_GotoRoot(StoreSession session);
/* Cursor on child `index` of that type (STRATA_LAST_ITEM: the last one). */
STRATA_BOOL STRATA_OpenItem(uint16_t type, uint16_t index, StoreSession session);
/* Cursor on the parent; false at the root. */
STRATA_BOOL STRATA_CloseItem(StoreSession session);
/* Number of children of that type (0 when there are none). */
STRATA_BOOL STRATA_GetItemCount(uint16_t type, uint16_t *count, StoreSession session);
/* Number of distinct child types of the current item (0 without children). */
STRATA_BOOL STRATA_GetChildTypeCount(uint16_t *count, StoreSession session);
/* The child type at a position (0-based) in ascending type order, which is
 * the store's own order; false if the position is past the last type. */
STRATA_BOOL STRATA_GetChildType(uint16_t position, uint16_t *type, StoreSession session);
/* Appends n empty children of that type; the tree is at most 64 levels deep
 * and an item has at most STRATA_MAX_CHILD_TYPES types of children. */
STRATA_BOOL STRATA_InsertItemBlocks(uint16_t type, uint16_t n, StoreSession session);
/* Removes the child and its subtree; later siblings of that type shift down.
 * Bookmarks of removed items stop working; the cursor stays. */
STRATA_BOOL STRATA_DeleteItem(uint16_t type, uint16_t index, StoreSession session);
/* Type and sibling index of the current item; false at the root. */
STRATA_BOOL STRATA_GetParentTID(uint16_t *type, uint16_t *index, StoreSession session);

/* Values of the current item. Widths come from the schema: texts are
 * zero-terminated Latin-1 (at most 65535 bytes with the zero); fixed-width
 * values are copied in native byte order. Unknown value ids are refused. */
/* Size in bytes (a text with its zero); false if absent. */
STRATA_BOOL STRATA_GetValSize(uint16_t valueId, uint32_t *size, StoreSession session);
/* Copies the value; false and the buffer untouched if absent. */
STRATA_BOOL STRATA_GetValue(uint16_t valueId, void *buffer, StoreSession session);
/* Creates or replaces the value, reading as many bytes as its width. */
STRATA_BOOL STRATA_InsertValue(uint16_t valueId, const void *data, StoreSession session);
/* Stores a raw block as the LX1 masks value (1063); size must be 8. */
STRATA_BOOL STRATA_InsertData(uint32_t size, const void *data, StoreSession session);
/* Cursor on the first child of that type (in sibling order) whose text value
 * valueId equals key; false (cursor unchanged) if none. */
STRATA_BOOL STRATA_FindType(uint16_t type, uint16_t valueId, const char *key, StoreSession session);

/* Bookmarks hold the item itself, so they survive sibling shifts; a bookmark
 * of a deleted item, or of another session, makes GotoBookMark fail. */
STRATA_BOOL STRATA_AddBookMark(StoreBookmark *bookmark, StoreSession session);
STRATA_BOOL STRATA_GotoBookMark(StoreBookmark bookmark, StoreSession session);
STRATA_BOOL STRATA_RemoveBookMark(StoreBookmark bookmark, StoreSession session);

/* References: slot 1 of the current item, keyed by the target's name value.
 * CreateReference replaces child Reference (112) 0 of the current item by a
 * record holding TargetType (1024) = the bookmarked item's type and Name (1002)
 * = its key value. GotoReference reads that record and, from the current
 * item's parent upward, moves to the first ancestor's first child of that type
 * with that name; false (cursor unchanged) if there is no record or no such
 * item. So a reference stops resolving when its target is renamed or deleted,
 * until its record is rewritten. Only slot 1 exists. */
STRATA_BOOL STRATA_CreateReference(StoreBookmark target, uint16_t slot, uint16_t keyValueId, StoreSession session);
STRATA_BOOL STRATA_GotoReference(uint16_t slot, StoreSession session);

/* Why the last failed operation of this thread failed, in plain English, UTF-8
 * (for example why a file could not be opened or saved). Never null. */
const char *STRATA_LastError(void);

#ifdef __cplusplus
}
#endif

#endif
