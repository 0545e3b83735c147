// Frame format and commands shared by the library and lx2-emulator.
#ifndef CORLAPROTOCOL_H
#define CORLAPROTOCOL_H

#include <QByteArray>
#include <QList>
#include <cstdint>
#include <optional>

namespace corla::proto {

// A5 5A | length (2, BE) | command | sequence | payload | CRC-16 (2, BE)
// length counts command + sequence + payload; the CRC covers length to payload.
constexpr uint8_t kSof0 = 0xA5;
constexpr uint8_t kSof1 = 0x5A;
constexpr int kOverhead = 8;
constexpr int kMaxPayload = 1100;  // what every module accepts
constexpr int kBlockSize = 1024;  // calibration bytes per write request, unless IDENTIFY offers more
constexpr int kWriteHeader = 4;  // the address in front of a WRITE's data
static_assert(kWriteHeader + kBlockSize <= kMaxPayload);
// A module may offer larger WRITE requests (IDENTIFY); never more than this.
constexpr int kMaxWriteData = 4096;
constexpr int kMaxLargePayload = kWriteHeader + kMaxWriteData;
// SUMS: CRC-32s of blocks of the stored calibration, at most this many a reply.
constexpr int kMaxSums = 256;
constexpr int kMinSumBlock = 64;
constexpr int kMaxSumBlock = 1024;
// READ: at most this many stored bytes a reply.
constexpr int kMaxRead = 1024;
constexpr uint8_t kReplyBit = 0x80;
constexpr uint8_t kFill = 0xFF;  // value of calibration bytes never written
constexpr uint32_t kMaxCalibration = 16u * 1024 * 1024;  // largest calibration space

// The line: a port set to 0 baud runs at kDefaultBaud; a byte takes start,
// eight data and stop bits.
constexpr int kDefaultBaud = 38400;
constexpr int kLineBitsPerByte = 10;

enum Command : uint8_t {
    Identify = 0x01,
    Status = 0x02,
    Begin = 0x10,
    Write = 0x11,
    Verify = 0x12,
    Commit = 0x13,
    Abort = 0x14,
    Sums = 0x15,  // CRC-32 of each block of the stored calibration
    Read = 0x16,  // bytes of the stored calibration
    Monitor = 0x17,  // what the running calibration changed since the last reply (corlalive.h)
    Force = 0x18,  // force inputs and outputs on or off for a lease (corlalive.h)
    Disconnect = 0x1F,
    Nak = 0x7F,  // module -> host: a request arrived corrupt
};

enum Result : uint8_t {
    Ok = 0,
    BadFrame = 1,
    UnknownCommand = 2,
    BadArgument = 3,
    NoUpload = 4,
    OutOfRange = 5,
    CrcMismatch = 6,
    StorageFailed = 7,
    EngineRefuses = 8,  // FORCE while the engine runs
};

enum StatusFlag : uint8_t {
    EngineRunning = 0x01,
};

// BEGIN's optional fifth byte: what the staging area starts from.
enum BeginBase : uint8_t {
    BaseEmpty = 0,  // every byte kFill (also what a four-byte BEGIN means)
    BaseStored = 1,  // the stored calibration, cut or filled with kFill to the new length
};

const char *commandName(uint8_t command);
const char *resultText(uint8_t result);

uint16_t crc16(const char *data, qsizetype size, uint16_t crc = 0xFFFF);
uint32_t crc32(const char *data, qsizetype size, uint32_t crc = 0);
inline uint32_t crc32(const QByteArray &a)
{
    return crc32(a.constData(), a.size());
}

void putU16(QByteArray &a, uint16_t v);
void putU32(QByteArray &a, uint32_t v);
uint16_t getU16(const QByteArray &a, qsizetype at);
uint32_t getU32(const QByteArray &a, qsizetype at);

QByteArray encode(uint8_t command, uint8_t sequence, const QByteArray &payload = {});

// Reply payloads start with the result; an empty one counts as BadArgument.
uint8_t replyResult(const QByteArray &payload);

// The rest of a reply payload after its result byte. The read functions give
// nothing unless the result is Ok and the payload complete.
struct Identity {  // IDENTIFY
    uint16_t module = 0, firmware = 0;
    uint8_t flags = 0;
    uint32_t capacity = 0, storedLength = 0, storedCrc = 0;
    // Appended by modules that take larger WRITE requests; kBlockSize when absent.
    uint16_t maxWrite = kBlockSize;
};
void putIdentity(QByteArray &a, const Identity &id);
std::optional<Identity> readIdentity(const QByteArray &payload);

struct Staged {  // VERIFY
    uint32_t length = 0, crc = 0;
};
void putStaged(QByteArray &a, const Staged &s);
std::optional<Staged> readStaged(const QByteArray &payload);

std::optional<uint8_t> readFlags(const QByteArray &payload);  // STATUS, BEGIN

// SUMS request: first byte address, block size, block count. Block i covers
// the stored bytes from address + i * size up to the next block or the end.
struct SumsRequest {
    uint32_t address = 0;
    uint16_t blockSize = 0;
    uint16_t count = 0;
};
QByteArray sumsRequest(const SumsRequest &r);
std::optional<SumsRequest> readSumsRequest(const QByteArray &payload);
std::optional<QList<uint32_t>> readSums(const QByteArray &payload, int count);
// CRC-32 of each block of data as SUMS gives them.
QList<uint32_t> blockSums(const QByteArray &data, const SumsRequest &r);

// READ request: address and length (1 to kMaxRead); the reply carries the bytes.
QByteArray readRequest(uint32_t address, uint16_t length);

struct Frame {
    uint8_t command = 0;
    uint8_t sequence = 0;
    QByteArray payload;
};

// Splits a byte stream into frames; resynchronises on the start marker.
// A frame is bytes that follow each other: a partial frame followed by a
// silence (max(kGapBytes byte times, kGapMinMs)) is dropped when the next
// bytes come, so a damaged length cannot make it swallow the next request.
// After a bad frame the hunt for the start marker resumes one byte after the
// start of the bad frame, so a frame that begins inside it is still found.
constexpr int kGapBytes = 20;
constexpr double kGapMinMs = 20;
double silenceMs(int baud);  // the silence that ends a partial frame at this line rate (0: kDefaultBaud)

class FrameParser
{
public:
    enum class Event {
        None,
        Frame,
        Corrupt,  // a frame whose length or CRC is wrong
        Dropped,  // a partial frame ended by a silence
    };
    // Frames whose payload exceeds maxPayload count as corrupt.
    explicit FrameParser(int maxPayload = kMaxLargePayload) : maxPayload_(maxPayload) { }
    void setLineRate(int baud) { gapMs_ = silenceMs(baud); }
    void setSilenceMs(double ms) { gapMs_ = ms; }
    // Bytes that arrived at nowMs (any steady clock in milliseconds).
    void feed(const QByteArray &bytes, double nowMs);
    // Bytes whose arrival time does not matter (a reply read in one go).
    void feed(const QByteArray &bytes) { buf_.append(bytes); }
    Event next(Frame *frame);
    void clear()
    {
        buf_.clear();
        beforeSilence_ = 0;
    }
    qsizetype pending() const { return buf_.size(); }

private:
    void consume(qsizetype n);

    QByteArray buf_;
    int maxPayload_;
    double gapMs_ = silenceMs(0);
    double lastMs_ = 0;
    // The first beforeSilence_ bytes of buf_ arrived before a silence: no
    // frame that starts among them may take bytes from after it.
    qsizetype beforeSilence_ = 0;
};

}  // namespace corla::proto

#endif
