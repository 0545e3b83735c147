/* The hierarchical typed store that holds a setup.
 *
 * C interface: every operation takes the session handle last and returns a
 * one-byte boolean (nonzero = success). A session is a tree of items; each item
 * has a 16-bit type, an index among its siblings of that type, values keyed by
 * value id (the width of a value is fixed per value id) and children. A cursor
 * marks the current item; bookmarks save positions.
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

/* Index meaning "the last item of that type" for STRATA_OpenItem. */
#define STRATA_LAST_ITEM 0xFFFF

/* Sessions */
STRATA_BOOL STRATA_NewSession(StoreSession *session);
STRATA_BOOL STRATA_OpenSession(const char *latin1Path, StoreSession *session);
STRATA_BOOL STRATA_SaveSession(const char *latin1Path, StoreSession session);
STRATA_BOOL STRATA_CloseSession(StoreSession session);
/* Copies everything below the source cursor to below the destination cursor. */
STRATA_BOOL STRATA_CopyBlocks(StoreSession source, StoreSession destination);

/* Cursor and items */
STRATA_BOOL STRATA_GotoRoot(StoreSession session);
STRATA_BOOL STRATA_OpenItem(uint16_t type, uint16_t index, StoreSession session);
STRATA_BOOL STRATA_CloseItem(StoreSession session);
STRATA_BOOL STRATA_GetItemCount(uint16_t type, uint16_t *count, StoreSession session);
STRATA_BOOL STRATA_InsertItemBlocks(uint16_t type, uint16_t n, StoreSession session);
STRATA_BOOL STRATA_DeleteItem(uint16_t type, uint16_t index, StoreSession session);
STRATA_BOOL STRATA_GetParentTID(uint16_t *type, uint16_t *index, StoreSession session);

/* Values of the current item */
STRATA_BOOL STRATA_GetValSize(uint16_t valueId, uint32_t *size, StoreSession session);
STRATA_BOOL STRATA_GetValue(uint16_t valueId, void *buffer, StoreSession session);
STRATA_BOOL STRATA_InsertValue(uint16_t valueId, const void *data, StoreSession session);
STRATA_BOOL STRATA_InsertData(uint32_t size, const void *data, StoreSession session);
STRATA_BOOL STRATA_FindType(uint16_t type, uint16_t valueId, const char *key, StoreSession session);

/* Bookmarks */
STRATA_BOOL STRATA_AddBookMark(StoreBookmark *bookmark, StoreSession session);
STRATA_BOOL STRATA_GotoBookMark(StoreBookmark bookmark, StoreSession session);
STRATA_BOOL STRATA_RemoveBookMark(StoreBookmark bookmark, StoreSession session);

/* References: slot 1 of the current item, keyed by the target's name value. */
STRATA_BOOL STRATA_CreateReference(StoreBookmark target, uint16_t slot, uint16_t keyValueId, StoreSession session);
STRATA_BOOL STRATA_GotoReference(uint16_t slot, StoreSession session);

/* Why the last failed operation of this thread failed, in plain English
 * (for example why a file could not be opened or saved). Never null. */
const char *STRATA_LastError(void);

#ifdef __cplusplus
}
#endif

#endif
