/* corla — the ECU-communication library: serial ports, the ECU connection,
 * module description (RUNE) files, calibrations and transactions.
 *
 * Conventions
 * - Objects are opaque pointers. Counted kinds (RUNE, ICal = ECU or calibration,
 *   transaction) have AddRef/RemRef. A Create call of a counted kind returns an
 *   object holding NO reference: the first AddRef takes ownership and the RemRef
 *   that brings the count back to zero destroys it. Get-style calls return
 *   borrowed pointers (no reference added).
 * - The ECU is an ICal: every CORLA_ICal_… call accepts the ECU, and CorlaEcu and
 *   CorlaCal are the same handle type as CorlaICal.
 * - Holders (…Ref_Create) keep one pointer without counting it.
 * - Wide texts are zero-terminated UTF-16 (char16_t), never null (empty text
 *   instead); a returned text stays valid until its owner changes or dies.
 * - Single-threaded: call everything from the thread that runs the Qt event loop
 *   (the GUI thread). Callbacks (mediator table, delegates, listeners) are
 *   posted to that event loop and never run inside a call of ours — except that
 *   CORLA_Ecu_DisconnectAndWait reports every aborted or finished-but-unreported
 *   transaction before it returns. A QCoreApplication must exist.
 * - Details: docs/ecu-protocol.md (ports, transactions, statuses, protocol) and
 *   docs/rune-format.md (RUNE files and where they are found).
 */
#ifndef CORLA_H
#define CORLA_H

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <uchar.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- handles ---------------------------------------------------------- */
typedef struct CorlaPortList CorlaPortList;
typedef struct CorlaPortSource CorlaPortSource; /* lives until the process ends */
typedef struct CorlaPortFactory CorlaPortFactory;
typedef struct CorlaICal CorlaICal; /* counted: ECU or calibration */
typedef CorlaICal CorlaEcu;
typedef CorlaICal CorlaCal;
typedef struct CorlaRune CorlaRune; /* counted */
typedef struct CorlaEcuTxn CorlaEcuTxn; /* counted */
typedef struct CorlaRuneRef CorlaRuneRef; /* holder */
typedef struct CorlaICalRef CorlaICalRef; /* holder */
typedef struct CorlaString CorlaString;
typedef struct CorlaIntLogSetup CorlaIntLogSetup;
typedef struct CorlaIntLogChannel CorlaIntLogChannel; /* owned by its setup */

/* ---- records ---------------------------------------------------------- */

/* Serial settings; callers preset baudRate to 38400 and the rest to 0. */
typedef struct PortSettings {
    uint32_t baudRate; /* bits per second; 0 means 38400 */
    uint32_t dataBits; /* 0 means 8 */
    uint32_t parity; /* 0 none, 1 even, 2 odd */
    uint32_t stopBits; /* 0 or 1 means one, 2 means two */
    uint8_t flowControl; /* 0 none, 1 hardware, 2 software */
    uint8_t reserved[3];
} PortSettings;

typedef struct PortInfo {
    uint32_t index; /* position in the list */
    const char16_t *displayName; /* never null; lives as long as portSource */
    uint32_t kind; /* CORLA_PORT_SYSTEM or CORLA_PORT_CONFIGURED */
    CorlaPortSource *portSource; /* null when there is no such entry */
    PortSettings settings; /* preset by the caller, left untouched */
} PortInfo;

enum {
    CORLA_PORT_SYSTEM = 0, /* a port the system lists (QSerialPortInfo) */
    CORLA_PORT_CONFIGURED = 1 /* named in CORLA_EXTRA_PORTS or the ports file */
};

/* CORLA_EnumPorts flags (0 = every port, system ports first, in system order). */
enum {
    CORLA_ENUM_SORTED = 0x02, /* system ports sorted by name */
    CORLA_ENUM_CONFIGURED_FIRST = 0x04, /* configured ports before system ports */
    CORLA_ENUM_PRESENT_ONLY = 0x10 /* leave out configured ports whose device is missing */
};

/* A callback: the library calls function(context, code, data, extra) with the
 * record's extra word, for every code whose bit (1 << code) is set in mask
 * (-1 = all codes). A null function is never called. */
typedef void (*CorlaDelegateFn)(void *context, int code, const void *data, int extra);
typedef struct Delegate {
    CorlaDelegateFn function;
    void *context;
    int32_t mask;
    int32_t extra;
} Delegate;

/* Completion delegate codes (given to CORLA_EcuTxn_Start). */
enum {
    CORLA_TXN_STARTED = 1, /* data null */
    CORLA_TXN_FINISHED = 2 /* data: const int * status (CORLA_STATUS_…) */
};

/* Event delegate codes (the delegate returned by MediatorTable.eventDelegate). */
enum {
    CORLA_EVENT_PROGRESS = 1, /* data: const double * fraction 0..1 */
    CORLA_EVENT_MESSAGE = 4 /* data: const CorlaMessage * */
};

/* Message kinds. */
enum {
    CORLA_MSG_STATUS = 0, /* short state text: "Connected", "Disconnected" */
    CORLA_MSG_TRACE = 1, /* frame-level detail, for diagnostics only */
    CORLA_MSG_LOG = 2 /* a log line for the user */
};

typedef struct CorlaMessage {
    int32_t kind;
    const char16_t *text;
} CorlaMessage;

/* Transaction statuses (delivered with CORLA_TXN_FINISHED and as the result of
 * MediatorTable.txnFinished). */
enum {
    CORLA_STATUS_OK = 0,
    CORLA_STATUS_ABORTED = 1, /* CORLA_EcuTxn_Abort or a disconnection */
    CORLA_STATUS_NO_PORT = 2, /* no ECU or no port factory from the mediator */
    CORLA_STATUS_PORT_OPEN = 3, /* the port could not be opened */
    CORLA_STATUS_TIMEOUT = 4, /* no valid reply after every retry */
    CORLA_STATUS_NO_RUNE = 5, /* no RUNE installed for the module */
    CORLA_STATUS_REFUSED = 6, /* the module rejected a request */
    CORLA_STATUS_CANCELLED = 7, /* a confirmation was answered "no" */
    CORLA_STATUS_VERIFY_FAILED = 8, /* the module's CRC-32 differs from ours */
    CORLA_STATUS_NOT_CONNECTED = 9, /* upload without a connection */
    CORLA_STATUS_BAD_CALIBRATION = 10, /* empty, too large, or no RUNE to check it */
    CORLA_STATUS_LINK_LOST = 11, /* the port failed or went away */
    CORLA_STATUS_STORAGE_FAILED = 12, /* the module could not store the calibration */
    CORLA_STATUS_UNSUPPORTED = 13 /* the module does not know a request (READ of an older module) */
};

/* What the module holds once an upload has ended (CORLA_EcuTxn_GetModuleHolds).
 * After a failure that came once COMMIT had been sent, the library reconnects
 * and asks the module (IDENTIFY: stored length and CRC-32). */
enum {
    CORLA_HOLDS_PREVIOUS = 0, /* nothing was committed: the failure came before COMMIT */
    CORLA_HOLDS_NEW = 1, /* the calibration of the upload (also after a failure) */
    CORLA_HOLDS_UNKNOWN = 2, /* COMMIT was sent and the module could not be asked */
    CORLA_HOLDS_PREVIOUS_CHECKED = 3 /* COMMIT was sent; asked, the module keeps its previous one */
};

/* The mediator: the system's side of a transaction. Word 0 is passed back as
 * the first argument of every function. The library copies the table when a
 * transaction starts. Slots the library never calls are marked unused. */
typedef struct MediatorTable {
    void *context;
    CorlaICal *(*ecu)(void *context); /* 1 */
    CorlaPortFactory *(*portFactory)(void *context); /* 2 */
    Delegate *(*eventDelegate)(void *context); /* 3 */
    void *(*reserved4)(void *context); /* 4 unused */
    int (*isSetupInstalled)(void *context, uint32_t a, uint32_t b); /* 5 */
    int (*startTxn)(void *context, CorlaEcuTxn *txn, int32_t extra); /* 6 unused */
    void (*txnStarted)(void *context, CorlaEcuTxn *txn); /* 7 */
    void (*txnFinished)(void *context, CorlaEcuTxn *txn, int result); /* 8 */
    void (*removeTxn)(void *context, CorlaEcuTxn *txn); /* 9 */
    void (*message)(void *context, const char16_t *text, int kind); /* 10 */
    int (*reserved11)(void *context); /* 11 unused */
    void (*disconnect)(void *context); /* 12 unused */
    void (*clearText)(void *context, CorlaString *text); /* 13 unused */
    void (*reserved14)(void *context, uint32_t value, uint32_t *inout, uint32_t word); /* 14 unused */
    int (*resetRune)(void *context); /* 15 unused */
    void (*reserved16)(void *context, uint32_t, uint32_t, uint32_t); /* 16 unused */
    int (*confirmEngineRunning)(void *context); /* 17 */
    void (*reserved18)(void *context, uint32_t); /* 18 unused */
    int (*reserved19)(void *context, uint32_t); /* 19 unused */
    int (*reserved20)(void *context, uint32_t, uint32_t); /* 20 unused */
    int (*confirmIntLogSetup)(void *context); /* 21 */
    void (*setRune)(void *context, CorlaRune *rune); /* 22 unused */
    void (*reserved23)(void *context, uint32_t); /* 23 unused */
    void *(*reserved24)(void *context); /* 24 unused */
} MediatorTable;

/* ECU listener: the library posts connectionChanged(1) after a connect succeeds
 * and connectionChanged(0) after a disconnection, and runeChanged(0) when the
 * ECU's RUNE is replaced; the other slots are reserved. */
typedef struct EcuListenerTable {
    void *context;
    void (*connectionChanged)(void *context, uint32_t connected); /* 1 */
    void (*runeChanged)(void *context, uint32_t reserved); /* 2 */
    void (*engineStateChanged)(void *context, uint32_t running); /* 3 reserved */
    void (*calibrationChanged)(void *context, uint32_t reserved); /* 4 reserved */
    void (*linkError)(void *context, uint32_t status); /* 5 reserved */
    void (*dataReceived)(void *context, uint32_t channel, uint32_t value); /* 6 reserved */
} EcuListenerTable;

/* Calibration listener: the library posts changed(0) when CORLA_Ecu_NewCalibration
 * replaces the calibration; the other slots are reserved. */
typedef struct CalListenerTable {
    void *context;
    void (*changed)(void *context, uint32_t reserved); /* 1 */
    void (*beforeWrite)(void *context, uint32_t address, uint32_t *size); /* 2 reserved */
    void (*afterWrite)(void *context, uint32_t address, uint32_t *size); /* 3 reserved */
    void (*rangeChanged)(void *context, uint32_t, uint32_t, uint32_t, uint32_t); /* 4 reserved */
} CalListenerTable;

/* RUNE open hook: asked during a connect for the RUNE of module (a, b). Returns
 * a RUNE carrying one reference that passes to the library and sets *flag to 1,
 * or returns null. */
typedef CorlaRune *(*CorlaRuneOpenHook)(void *context, uint32_t a, uint32_t b, int *flag);

/* ---- ports ------------------------------------------------------------ */
CorlaPortList *CORLA_PortList_Create(void);
/* Replaces the list's contents; returns the number of entries. */
int CORLA_EnumPorts(CorlaPortList *list, uint32_t flags);
int CORLA_PortList_Size(const CorlaPortList *list);
/* Fills index, displayName, kind and portSource; non-zero when index names an
 * entry. Out of range: displayName empty, portSource null, returns 0. */
int CORLA_PortList_Get(const CorlaPortList *list, int index, PortInfo *info);
void CORLA_PortList_Destroy(CorlaPortList *list);
/* A source for a device path that need not be listed (null for an empty path).
 * A relative path that exists is opened as that path, never as one under /dev;
 * the source's display name is the path as given. */
CorlaPortSource *CORLA_PortSource_FromPath(const char16_t *path);

/* Null when source is null; settings null means the defaults. */
CorlaPortFactory *CORLA_PortFactory_Create(CorlaPortSource *source, const PortSettings *settings);
void CORLA_PortFactory_Destroy(CorlaPortFactory *factory);

/* ---- ECU and calibrations --------------------------------------------- */
CorlaEcu *CORLA_Ecu_Create(void);
int CORLA_Ecu_AddListener(CorlaEcu *ecu, const EcuListenerTable *table); /* non-zero on success */
int CORLA_ICal_AddListener(CorlaICal *ical, const CalListenerTable *table); /* non-zero on success */
/* Removes every listener of the ECU and of its calibration, drops callbacks
 * not yet delivered to them and forgets the mediator of its last transaction
 * (no further "Disconnected" message goes to it). */
void CORLA_Ecu_RemoveAllDataListenersNonGlobal(CorlaEcu *ecu);
int CORLA_Ecu_IsConnected(CorlaEcu *ecu);
/* Aborts the ECU's transactions, reports every aborted (or finished but not yet
 * reported) transaction synchronously (removeTxn, then the completion delegate
 * with CORLA_STATUS_ABORTED), closes the port and posts the "Disconnected"
 * status message to the last mediator. Returns when the port is closed. */
void CORLA_Ecu_DisconnectAndWait(CorlaEcu *ecu);
/* Replaces the ECU's calibration with a fresh empty one for its RUNE; returns
 * it (borrowed), or null when ecu is not an ECU. */
CorlaCal *CORLA_Ecu_NewCalibration(CorlaEcu *ecu);
CorlaICal *CORLA_Ecu_GetCalibration(CorlaEcu *ecu); /* borrowed, may be null */
/* Length and CRC-32 of the calibration the module has stored, as its last
 * IDENTIFY said or as our last commit made it; non-zero when connected. */
int CORLA_Ecu_GetStoredCalibration(CorlaEcu *ecu, uint32_t *length, uint32_t *crc);
void CORLA_Ecu_SetRune(CorlaEcu *ecu, CorlaRune *rune); /* the ECU adds its own reference */

CorlaRune *CORLA_ICal_GetRune(CorlaICal *ical); /* borrowed, may be null */
/* The calibration itself, or the ECU's current calibration; borrowed. */
CorlaCal *CORLA_ICal_ToCal(CorlaICal *ical);
/* Writes size bytes at address (an ECU writes into its current calibration).
 * flags and reserved must be 0; *end (may be null) receives address + size.
 * Returns 0 on success, non-zero when the range exceeds the calibration space
 * of the RUNE (or 16 MiB without one) or an argument is invalid. */
int CORLA_ICal_WriteRawDataEx(CorlaICal *ical, uint32_t address, uint32_t size, const void *bytes, int flags,
                              int reserved, uint64_t *end);
/* CRC-32 of the calibration as an upload sends it: bytes 0 to GetDataEnd. */
uint32_t CORLA_ICal_GetCrc32(CorlaICal *ical);
/* Reads back what the calibration holds; bytes never written read as 0xFF.
 * Returns 0 on success. */
int CORLA_ICal_ReadRawData(CorlaICal *ical, uint32_t address, uint32_t size, void *bytes);
/* One past the highest byte written (0 for an empty calibration). */
uint32_t CORLA_ICal_GetDataEnd(CorlaICal *ical);

int CORLA_ICal_AddRef(CorlaICal *ical); /* returns the new count */
int CORLA_ICal_RemRef(CorlaICal *ical); /* returns the new count; 0 = destroyed */

CorlaICalRef *CORLA_ICalRef_Create(void);
void CORLA_ICalRef_Set(CorlaICalRef *ref, CorlaICal *ical);
CorlaICal *CORLA_ICalRef_Get(const CorlaICalRef *ref);
void CORLA_ICalRef_Destroy(CorlaICalRef *ref);

/* ---- RUNE files ------------------------------------------------------- */
CorlaRune *CORLA_Rune_Create(void);
/* Loads a RUNE file; 0 on success, otherwise 1 cannot read, 2 syntax error,
 * 3 a required field missing (CORLA_Rune_GetError says which). */
int CORLA_Rune_Load(CorlaRune *rune, const char16_t *path);
const char16_t *CORLA_Rune_GetName(const CorlaRune *rune);
const char16_t *CORLA_Rune_GetVersion(const CorlaRune *rune);
const char16_t *CORLA_Rune_GetError(const CorlaRune *rune);
uint64_t CORLA_Rune_GetCalNameCC(const CorlaRune *rune);
uint16_t CORLA_Rune_GetCalNameSize(const CorlaRune *rune);
uint32_t CORLA_Rune_GetCalSize(const CorlaRune *rune); /* calibration space in bytes */
uint32_t CORLA_Rune_GetModuleWord(const CorlaRune *rune); /* identity word a */
int CORLA_Rune_AddRef(CorlaRune *rune);
int CORLA_Rune_RemRef(CorlaRune *rune);
/* Installs hook for context (replacing that context's earlier hook); a null
 * hook withdraws the context's hook. A connect asks the hook of its mediator
 * (MediatorTable.context) first, else the most recently installed one; with
 * no hook at all the library locates and loads the RUNE itself. */
void CORLA_Rune_SetOpenDelegate(CorlaRuneOpenHook hook, void *context);

CorlaRuneRef *CORLA_RuneRef_Create(void);
void CORLA_RuneRef_Set(CorlaRuneRef *ref, CorlaRune *rune);
CorlaRune *CORLA_RuneRef_Get(const CorlaRuneRef *ref);
void CORLA_RuneRef_Destroy(CorlaRuneRef *ref);

/* Finds the installed RUNE file for module (a, b): path receives its path and
 * info its name and version; when none is found info says where it looked.
 * Either string may be null. Non-zero when found. */
int CORLA_Setup_LocateRune(CorlaString *path, uint32_t a, uint32_t b, CorlaString *info);
/* Non-zero when a RUNE for (a, b) is installed; reserved must be 0. */
int CORLA_Setup_IsInstalled(uint32_t a, uint32_t b, int reserved);
/* The folders searched for RUNE files, one a line, in search order; returns
 * how many. */
int CORLA_Setup_GetRuneFolders(CorlaString *folders);

/* ---- transactions ----------------------------------------------------- */
CorlaEcuTxn *CORLA_EcuTxn_Connect_Create(void);
/* Uploads what the calibration holds; the calibration gains a reference while
 * the transaction lives. Null when ical is null. */
CorlaEcuTxn *CORLA_EcuTxn_UploadCal_Create(CorlaICal *ical);
/* Reads the calibration the module has stored into ical (a calibration, or
 * the ECU's current one), replacing what it held; checked against the CRC-32
 * of IDENTIFY. A module holding none gives an empty calibration. */
CorlaEcuTxn *CORLA_EcuTxn_ReadCal_Create(CorlaICal *ical);
/* ---- live data: MONITOR and leased FORCE (docs/ecu-protocol.md) ---------- */
enum {
    CORLA_LIVE_KEY = 1, /* keypad row: any box as the tick read it */
    CORLA_LIVE_SWITCH = 2,
    CORLA_LIVE_CANINPUT = 3, /* the result the tick read */
    CORLA_LIVE_TIMER = 4, /* running */
    CORLA_LIVE_STATE = 5,
    CORLA_LIVE_LED = 6, /* index 0..31 */
    CORLA_LIVE_LX1 = 7, /* channel module * 8 + channel, 0..63 */
    CORLA_LIVE_OUTPUT = 8, /* LX1 output row */
    CORLA_LIVE_CANOUTPUT = 9
};
/* Flags of a live reply. */
enum {
    CORLA_LIVE_ENGINE_RUNNING = 0x01,
    CORLA_LIVE_FULL_PICTURE = 0x02, /* the changes start from "everything off" */
    CORLA_LIVE_MORE = 0x04, /* more changes are waiting: ask again */
    CORLA_LIVE_FORCED = 0x08, /* a force is active */
    CORLA_LIVE_RUNS = 0x10 /* the module runs its calibration */
};
enum { CORLA_FORCE_OFF = 0, CORLA_FORCE_ON = 1, CORLA_FORCE_RELEASE = 2 };
/* One item that changed: item numbers from 0; latched: it also went the other
 * way since the last reply (a one-tick pulse: value 1, latched 1); now: its
 * value after the module's last tick (latched with now == value: it changed
 * more than once and stays changed; now != value: it came and went). */
typedef struct CorlaLiveChange {
    uint8_t kind, item, value, latched, now;
} CorlaLiveChange;
typedef struct CorlaForce {
    uint8_t kind, item, action, reserved;
} CorlaForce;
/* What the module's running calibration changed since its last reply; with
 * full, every item from "everything off". A module that does not know MONITOR
 * ends it with CORLA_STATUS_UNSUPPORTED. */
CorlaEcuTxn *CORLA_EcuTxn_Monitor_Create(int full);
/* Sets or releases up to 64 forces, each lapsing leaseMs (1..1000) after this
 * request unless renewed; count 0 renews every active force. A module whose
 * engine runs refuses (CORLA_STATUS_REFUSED, flag CORLA_LIVE_ENGINE_RUNNING). */
CorlaEcuTxn *CORLA_EcuTxn_Force_Create(uint16_t leaseMs, const CorlaForce *forces, int count);
/* After a MONITOR or FORCE has finished: the module's tick (MONITOR), the
 * reply's flags and its changes (valid while the transaction lives); returns
 * how many changes, -1 before an answer. FORCE gives the active forces in
 * tick and no changes. */
int CORLA_EcuTxn_GetLive(const CorlaEcuTxn *txn, uint32_t *tick, uint32_t *flags, const CorlaLiveChange **changes);

/* Queues the transaction on the mediator's ECU; both records are copied.
 * Non-zero when started; 0 (and no callback ever) when txn or table is null,
 * or the transaction was started before. */
int CORLA_EcuTxn_Start(CorlaEcuTxn *txn, const MediatorTable *table, const Delegate *delegate);
/* Stops the transaction; its report (status 1) is posted, or delivered by
 * CORLA_Ecu_DisconnectAndWait. Nothing happens for one that has finished. */
void CORLA_EcuTxn_Abort(CorlaEcuTxn *txn);
/* "Connect", "Upload Calibration", "Read Calibration", "Monitor", "Force" */
const char16_t *CORLA_EcuTxn_GetName(const CorlaEcuTxn *txn);
int CORLA_EcuTxn_IsDisconnectOnFail(const CorlaEcuTxn *txn);
/* -1 until finished, then the status. */
int CORLA_EcuTxn_GetStatus(const CorlaEcuTxn *txn);
/* An upload's CORLA_HOLDS_… once finished; -1 before, and for other kinds. */
int CORLA_EcuTxn_GetModuleHolds(const CorlaEcuTxn *txn);
/* The sentence that reports a CORLA_HOLDS_… value to the user. */
const char16_t *CORLA_ModuleHoldsText(int holds);
int CORLA_EcuTxn_AddRef(CorlaEcuTxn *txn);
int CORLA_EcuTxn_RemRef(CorlaEcuTxn *txn);

/* English text of a status, e.g. for a command-line tool. */
const char16_t *CORLA_StatusText(int status);

/* ---- strings ---------------------------------------------------------- */
CorlaString *CORLA_String_Create(void);
const char16_t *CORLA_String_WCStr(const CorlaString *string); /* never null */
void CORLA_String_Clear(CorlaString *string);
void CORLA_String_Destroy(CorlaString *string);

/* ---- internal logging setup ------------------------------------------- */
CorlaIntLogSetup *CORLA_IntLogSetup_Create(void);
/* Reads the log channels that the RUNE of ical describes; 0 if ok, otherwise
 * non-zero with the reason in error (may be null). */
int CORLA_IntLogSetup_Parse(CorlaIntLogSetup *setup, CorlaICal *ical, CorlaString *error);
int CORLA_IntLogSetup_GetChannelCount(const CorlaIntLogSetup *setup);
CorlaIntLogChannel *CORLA_IntLogSetup_GetChannel(const CorlaIntLogSetup *setup, int index); /* null out of range */
void CORLA_IntLogSetup_Destroy(CorlaIntLogSetup *setup);
/* Non-zero when every signal of the channel's log list is one the RUNE names,
 * the list is not empty and the rate is positive; reserved must be 0. */
int CORLA_IntLogChannel_IsLogListValid(const CorlaIntLogChannel *channel, CorlaRune *rune, int reserved);

/* ---- checks for tests ------------------------------------------------- */
enum {
    CORLA_KIND_ALL = 0,
    CORLA_KIND_ICAL = 1,
    CORLA_KIND_RUNE = 2,
    CORLA_KIND_TXN = 3,
    CORLA_KIND_HOLDER = 4,
    CORLA_KIND_STRING = 5,
    CORLA_KIND_PORTLIST = 6,
    CORLA_KIND_FACTORY = 7,
    CORLA_KIND_INTLOG = 8
};
/* Library objects of a kind that are alive now (port sources not counted). */
int CORLA_Debug_LiveObjects(int kind);
/* Reference count of a live counted object, -1 for anything else. */
int CORLA_Debug_RefCount(const void *object);
/* RemRef/Destroy calls on objects that were not alive (ignored, counted here). */
int CORLA_Debug_BadReleases(void);

#ifdef __cplusplus
}
#endif

#endif
