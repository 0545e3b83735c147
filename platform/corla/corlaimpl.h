// Internal objects of the library (not part of the interface).
#ifndef CORLAIMPL_H
#define CORLAIMPL_H

#include "corla.h"
#include "corlaprotocol.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>
#include <vector>

class QSerialPort;

namespace corla::detail {

struct Object {
    explicit Object(int kind);
    virtual ~Object();
    Object(const Object &) = delete;
    Object &operator=(const Object &) = delete;
    const int kind;
    int refs = 0;
};

bool isLive(const void *p, int kind);  // kind 0: any
void noteBadRelease(const char *what);
int addRef(Object *o);
int remRef(Object *o);

inline const char16_t *wide(const QString &s)
{
    return reinterpret_cast<const char16_t *>(s.utf16());
}
inline QString fromWide(const char16_t *s)
{
    return s ? QString::fromUtf16(s) : QString();
}
QString hex4(uint32_t v);

// Posts callbacks to the event loop; DisconnectAndWait can deliver some at once.
enum class ItemType { Internal, TxnEvent, Report, EcuMessage, Listener };
struct Item {
    quint64 id = 0;
    ItemType type = ItemType::Internal;
    const void *ecu = nullptr;  // ECU the item belongs to (not counted)
    CorlaEcuTxn *txn = nullptr;  // counted while the item waits
    void *mediator = nullptr;  // MediatorTable context it calls, if any
    std::function<void(bool asAborted)> run;
};
void post(Item item);
// Runs the items that match now (removing them first); returns how many ran.
int deliverNow(const std::function<bool(const Item &)> &match, bool asAborted);
void drop(const std::function<bool(const Item &)> &match);
bool hasPending(const std::function<bool(const Item &)> &match);

}  // namespace corla::detail

struct CorlaString : corla::detail::Object {
    CorlaString() : Object(CORLA_KIND_STRING) { }
    QString text;
};

struct CorlaRune : corla::detail::Object {
    CorlaRune() : Object(CORLA_KIND_RUNE) { }
    struct LogChannel {
        int index = 0;
        int rateMs = 0;
        QStringList signalNames;
    };
    bool loaded = false;
    QString path, name, version, description, error;
    uint32_t module = 0, firmwareMin = 0, firmwareMax = 0;
    uint32_t calSize = 0, imageAddress = 0;
    uint64_t nameAddress = 0;
    uint16_t nameSize = 0;
    QStringList signalNames;
    QList<LogChannel> channels;
    bool matches(uint32_t a, uint32_t b) const { return loaded && module == a && b >= firmwareMin && b <= firmwareMax; }
};

struct CorlaICal : corla::detail::Object {
    CorlaICal() : Object(CORLA_KIND_ICAL) { }
    virtual bool isEcu() const = 0;
    std::vector<CalListenerTable> calListeners;
};

namespace corla::detail {

struct CalImpl : CorlaICal {
    explicit CalImpl(CorlaRune *rune);
    ~CalImpl() override;
    bool isEcu() const override { return false; }
    uint32_t capacity() const;
    int write(uint32_t address, uint32_t size, const void *bytes);
    struct Range {
        uint32_t start, end;
    };
    std::vector<Range> ranges() const;
    uint32_t writtenBytes() const;
    void replace(const QByteArray &bytes);  // every byte written, as read back from a module
    CorlaRune *rune = nullptr;  // counted
    QByteArray data;  // up to the highest byte written, unwritten bytes kFill
    std::vector<uint8_t> written;
};

struct EcuImpl;

}  // namespace corla::detail

struct CorlaEcuTxn : corla::detail::Object {
    enum class Type { Connect, Upload, Read, Compare, Monitor, Force };
    enum class State { Created, Binding, Queued, Running, Finished };
    CorlaEcuTxn(Type t, corla::detail::CalImpl *c);
    ~CorlaEcuTxn() override;
    Type type;
    QString name;
    State state = State::Created;
    int status = -1;
    int holds = -1;  // an upload's CORLA_HOLDS_… once finished
    int32_t bytesRead = -1;  // a compare's READ bytes once finished
    MediatorTable table{};
    Delegate delegate{};
    Delegate events{};  // event delegate from the mediator
    corla::detail::EcuImpl *ecu = nullptr;  // counted while bound
    corla::detail::CalImpl *cal = nullptr;  // counted
    // MONITOR and FORCE: what to ask, and the answer
    bool full = false;
    uint16_t leaseMs = 0;
    std::vector<CorlaForce> forces;
    bool answered = false;
    uint32_t tick = 0, liveFlags = 0;
    std::vector<CorlaLiveChange> changes;
};

namespace corla::detail {

struct EcuImpl : CorlaICal {
    EcuImpl();
    ~EcuImpl() override;
    bool isEcu() const override { return true; }

    // Transactions
    void enqueue(CorlaEcuTxn *txn);
    void abort(CorlaEcuTxn *txn);
    void disconnectAndWait();
    void removeListeners();
    void forgetMediator(void *context);
    void setRune(CorlaRune *r);

    // Messages through the running (or last) transaction's mediator
    void log(CorlaEcuTxn *txn, const QString &text, int kind = CORLA_MSG_LOG);
    void progress(CorlaEcuTxn *txn, double fraction);
    void postEcuMessage(const QString &text, int kind);
    void notifyConnection(bool connected);

    bool connected = false;
    proto::Identity identity;  // from the last IDENTIFY, kept up to date by our commits
    CorlaRune *rune = nullptr;  // counted
    CalImpl *cal = nullptr;  // counted
    std::vector<EcuListenerTable> ecuListeners;

private:
    void pump();
    // Runs step from a clean turn of the event loop, if txn is still current then.
    void postStep(CorlaEcuTxn *txn, std::function<void()> step);
    void finish(CorlaEcuTxn *txn, int status);
    void runConnect();  // corlaconnect.cpp

    // The upload (corlaupload.cpp)
    void runUpload();
    void uploadSums(uint32_t firstBlock);
    void uploadBegin();
    void uploadAsk();
    void uploadNextBlock();
    void fillWindow();
    void windowReply(const proto::Frame &f);
    void windowTimeout();
    void armWindowTimer();
    void uploadVerify();
    void uploadCommit(uint32_t crc);
    void alreadyHeld();
    void planFullUpload();
    void planChangedBlocks();
    void compareStored();  // SUMS against what IDENTIFY said is stored
    void uploadFromKnown(QByteArray stored, uint32_t crc);
    void planChangedBytes(const QByteArray &stored);
    void uploadPlanned();
    // After COMMIT was sent, a failure is reported with what the module holds.
    void probeAfterCommit(int status);
    void concludeProbe(int holds);
    int probeNow();  // the same, synchronously, for an abort
    int holdsFrom(const proto::Identity &id) const;

    // Reading the stored calibration back (corlaread.cpp)
    // After IDENTIFY: false when the transaction is over, the module holding
    // no calibration (done) or more than its RUNE's (failed; `what` names it).
    bool storedCalibrationFits(CorlaEcuTxn *t, const QString &what);
    // A READ reply of n bytes; false when the transaction is over (the module
    // does not know READ, or refused or answered short).
    bool readReplyFits(CorlaEcuTxn *t, const proto::Frame &fr, uint16_t n);
    void runRead();
    void readNext();

    // Comparing with the stored calibration (corlacompare.cpp)
    struct CompareRun;
    void runCompare();
    void compareSums(const std::shared_ptr<CompareRun> &run, uint32_t firstBlock);
    void compareRead(const std::shared_ptr<CompareRun> &run, size_t range);
    void compareDone(const std::shared_ptr<CompareRun> &run);

    // Live data (corlamonitor.cpp)
    void runMonitor();
    void runForce();

    // The line (corlalink.cpp)
    bool openPort(CorlaPortFactory *factory, QString *error);
    bool openPath(const QString &path, const QString &name, const PortSettings &settings, QString *error);
    void closePort(bool sayGoodbye);
    void onReadyRead();
    void onPortError();
    using ReplyFn = std::function<void(const proto::Frame &)>;
    void request(uint8_t command, const QByteArray &payload, ReplyFn onReply, int extraMs = 0);
    void sendOneWay(uint8_t command, const QByteArray &payload);
    void transmit();
    void retry(const QString &why);
    void refused(uint8_t command, uint8_t result);
    void linkFailed(int status, const QString &text);
    int timeoutFor(qsizetype bytes) const;

    QObject ctx_;
    QSerialPort *port_ = nullptr;
    QString portPath_, portName_;
    PortSettings settings_{};
    proto::FrameParser parser_;
    QElapsedTimer lineClock_;  // arrival times for the parser
    QTimer timer_;
    uint8_t seq_ = 0;
    struct Pending {
        bool active = false;
        uint8_t command = 0, sequence = 0;
        QByteArray frame;
        int attempts = 0;
        int timeoutMs = 0;
        ReplyFn onReply;
    } req_;
    int handlerDepth_ = 0;
    int portGen_ = 0;

    // Mediator of the last transaction (for "Disconnected")
    bool haveMediator_ = false;
    MediatorTable mediator_{};
    Delegate mediatorEvents_{};

    std::deque<CorlaEcuTxn *> queue_;  // counted
    CorlaEcuTxn *current_ = nullptr;  // counted

    // Upload in progress
    std::vector<CalImpl::Range> blocks_;  // what the WRITE requests carry, in order
    size_t nextBlock_ = 0;
    uint32_t sent_ = 0, total_ = 0, end_ = 0, crc_ = 0;
    uint32_t previousLength_ = 0, previousCrc_ = 0;  // what the module held before
    bool begun_ = false;
    bool engineRunning_ = false;
    bool engineAsked_ = false;
    bool asked_ = false;  // the questions have been answered
    bool changedOnly_ = false;  // staging starts from the stored calibration
    bool sameCrc_ = false;  // the module's length and CRC-32 are the new calibration's
    // The stored calibration as a compare on this connection put it together
    // (corlacompare.cpp): the next upload starts from it instead of asking
    // for the block sums again, once IDENTIFY still reports its length and
    // CRC-32. Any upload forgets it; a reopened port has another generation.
    struct KnownStored {
        int portGen = 0;  // 0: nothing known
        uint32_t crc = 0;
        QByteArray bytes;
    } knownStored_;
    uint32_t sumBlock_ = 0;
    std::vector<uint32_t> moduleSums_;
    bool commitSent_ = false;
    uint8_t commitSeq_ = 0;
    bool probing_ = false;  // asking the module after a failed COMMIT
    bool probeNow_ = false;  // replies are read by probeNow, not by onReadyRead
    int probeStatus_ = 0;
    // Reading back
    QByteArray readBuf_;
    bool disconnectedPending_ = false;
    // Calibration blocks in flight: a second block follows the first at once,
    // so the line never idles while a reply crosses it.
    struct InFlight {
        uint8_t sequence;
        CalImpl::Range range;
        QByteArray frame;
        int attempts;
        bool acked;
    };
    std::deque<InFlight> window_;
    bool pipelining_ = false;
};

// Port sources and factories (corlaports.cpp)
struct PortSourceImpl;
QString portSourcePath(const CorlaPortSource *s);
QString portSourceName(const CorlaPortSource *s);

// RUNE lookup (corlarune.cpp)
QStringList runeFolders();
CorlaRune *locateAndLoad(uint32_t a, uint32_t b, QString *info);  // returns a RUNE holding one reference
CorlaRune *callOpenHook(void *mediator, uint32_t a, uint32_t b, bool *haveHook);

// A mediator withdrew its RUNE hook: nothing may call it any more (corlaecu.cpp).
void forgetMediatorEverywhere(void *context);
QString describeModule(uint32_t a, uint32_t b);

// Shared by the ECU's files
constexpr int kMaxAttempts = 4;  // one try plus three retries
EcuImpl *asEcu(CorlaICal *i);  // null unless a live ECU
std::vector<CorlaEcuTxn *> &binding();  // started, not yet bound to their ECU (corlatxn.cpp)
void callDelegate(const Delegate &d, int code, const void *data);
void sendMessage(const MediatorTable &table, const Delegate &events, const QString &text, int kind);
void postReport(CorlaEcuTxn *txn);
void postTxnLog(CorlaEcuTxn *txn, const QString &text, int kind);
// Calls on a transaction's mediator (its start, progress, log lines) and on
// listeners, each from a later turn of the event loop.
void postTxnEvent(CorlaEcuTxn *txn, const void *ecu, std::function<void()> call);
void postListener(const void *ecu, std::function<void()> call);

}  // namespace corla::detail

struct CorlaPortFactory : corla::detail::Object {
    CorlaPortFactory() : Object(CORLA_KIND_FACTORY) { }
    QString path, name;
    PortSettings settings{};
};

#endif
