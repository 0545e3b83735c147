#include "corlaprotocol.h"

#include "crc32.h"

#include <algorithm>
#include <array>

namespace corla::proto {

const char *commandName(uint8_t command)
{
    switch (command & ~kReplyBit) {
    case Identify:
        return "IDENTIFY";
    case Status:
        return "STATUS";
    case Begin:
        return "BEGIN";
    case Write:
        return "WRITE";
    case Verify:
        return "VERIFY";
    case Commit:
        return "COMMIT";
    case Abort:
        return "ABORT";
    case Sums:
        return "SUMS";
    case Read:
        return "READ";
    case Monitor:
        return "MONITOR";
    case Force:
        return "FORCE";
    case Disconnect:
        return "DISCONNECT";
    case Nak:
        return "NAK";
    default:
        return "UNKNOWN";
    }
}

const char *resultText(uint8_t result)
{
    switch (result) {
    case Ok:
        return "ok";
    case BadFrame:
        return "corrupt frame";
    case UnknownCommand:
        return "unknown command";
    case BadArgument:
        return "bad argument";
    case NoUpload:
        return "no upload in progress";
    case OutOfRange:
        return "address out of range";
    case CrcMismatch:
        return "CRC mismatch";
    case StorageFailed:
        return "storage failed";
    case EngineRefuses:
        return "the engine is running";
    default:
        return "unknown error";
    }
}

uint16_t crc16(const char *data, qsizetype size, uint16_t crc)
{
    // CRC-16/CCITT-FALSE: polynomial 0x1021, initial 0xFFFF.
    for (qsizetype i = 0; i < size; ++i) {
        crc ^= uint16_t(uint8_t(data[i])) << 8;
        for (int b = 0; b < 8; ++b)
            crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
    }
    return crc;
}

uint32_t crc32(const char *data, qsizetype size, uint32_t crc)
{
    return checksum::crc32(data, size_t(size), crc);
}

void putU16(QByteArray &a, uint16_t v)
{
    a.append(char(v >> 8));
    a.append(char(v));
}

void putU32(QByteArray &a, uint32_t v)
{
    putU16(a, uint16_t(v >> 16));
    putU16(a, uint16_t(v));
}

uint16_t getU16(const QByteArray &a, qsizetype at)
{
    if (at < 0 || at + 2 > a.size())
        return 0;
    return uint16_t((uint8_t(a[at]) << 8) | uint8_t(a[at + 1]));
}

uint32_t getU32(const QByteArray &a, qsizetype at)
{
    if (at < 0 || at + 4 > a.size())
        return 0;
    return (uint32_t(getU16(a, at)) << 16) | getU16(a, at + 2);
}

QByteArray encode(uint8_t command, uint8_t sequence, const QByteArray &payload)
{
    QByteArray f;
    f.reserve(payload.size() + kOverhead);
    f.append(char(kSof0));
    f.append(char(kSof1));
    putU16(f, uint16_t(payload.size() + 2));
    f.append(char(command));
    f.append(char(sequence));
    f.append(payload);
    putU16(f, crc16(f.constData() + 2, f.size() - 2));
    return f;
}

uint8_t replyResult(const QByteArray &payload)
{
    return payload.isEmpty() ? uint8_t(BadArgument) : uint8_t(payload[0]);
}

void putIdentity(QByteArray &a, const Identity &id)
{
    putU16(a, id.module);
    putU16(a, id.firmware);
    a.append(char(id.flags));
    putU32(a, id.capacity);
    putU32(a, id.storedLength);
    putU32(a, id.storedCrc);
    if (id.maxWrite != kBlockSize)
        putU16(a, id.maxWrite);
}

std::optional<Identity> readIdentity(const QByteArray &payload)
{
    if (payload.size() < 18 || uint8_t(payload[0]) != Ok)
        return std::nullopt;
    Identity id{getU16(payload, 1), getU16(payload, 3),  uint8_t(payload[5]),
                getU32(payload, 6), getU32(payload, 10), getU32(payload, 14)};
    if (payload.size() >= 20)
        id.maxWrite = std::clamp<uint16_t>(getU16(payload, 18), kBlockSize, kMaxWriteData);
    return id;
}

void putStaged(QByteArray &a, const Staged &s)
{
    putU32(a, s.length);
    putU32(a, s.crc);
}

std::optional<Staged> readStaged(const QByteArray &payload)
{
    if (payload.size() < 9 || uint8_t(payload[0]) != Ok)
        return std::nullopt;
    return Staged{getU32(payload, 1), getU32(payload, 5)};
}

std::optional<uint8_t> readFlags(const QByteArray &payload)
{
    if (payload.size() < 2 || uint8_t(payload[0]) != Ok)
        return std::nullopt;
    return uint8_t(payload[1]);
}

QByteArray sumsRequest(const SumsRequest &r)
{
    QByteArray a;
    putU32(a, r.address);
    putU16(a, r.blockSize);
    putU16(a, r.count);
    return a;
}

std::optional<SumsRequest> readSumsRequest(const QByteArray &payload)
{
    if (payload.size() != 8)
        return std::nullopt;
    const SumsRequest r{getU32(payload, 0), getU16(payload, 4), getU16(payload, 6)};
    if (r.blockSize < kMinSumBlock || r.blockSize > kMaxSumBlock || (r.blockSize & (r.blockSize - 1)) || r.count == 0
        || r.count > kMaxSums)
        return std::nullopt;
    return r;
}

std::optional<QList<uint32_t>> readSums(const QByteArray &payload, int count)
{
    if (payload.size() != 1 + 4 * count || uint8_t(payload[0]) != Ok)
        return std::nullopt;
    QList<uint32_t> sums;
    sums.reserve(count);
    for (int i = 0; i < count; ++i)
        sums.append(getU32(payload, 1 + 4 * i));
    return sums;
}

QList<uint32_t> blockSums(const QByteArray &data, const SumsRequest &r)
{
    QList<uint32_t> sums;
    for (int i = 0; i < r.count; ++i) {
        const qsizetype start = qsizetype(r.address) + qsizetype(i) * r.blockSize;
        if (start >= data.size())
            break;
        const qsizetype n = std::min<qsizetype>(r.blockSize, data.size() - start);
        sums.append(crc32(data.constData() + start, n));
    }
    return sums;
}

QByteArray readRequest(uint32_t address, uint16_t length)
{
    QByteArray a;
    putU32(a, address);
    putU16(a, length);
    return a;
}

double silenceMs(int baud)
{
    const double byteMs = kLineBitsPerByte * 1000.0 / (baud > 0 ? baud : kDefaultBaud);
    return std::max(kGapBytes * byteMs, kGapMinMs);
}

void FrameParser::feed(const QByteArray &bytes, double nowMs)
{
    if (bytes.isEmpty())
        return;
    if (!buf_.isEmpty() && nowMs - lastMs_ >= gapMs_)
        beforeSilence_ = buf_.size();
    lastMs_ = nowMs;
    buf_.append(bytes);
}

void FrameParser::consume(qsizetype n)
{
    buf_.remove(0, n);
    beforeSilence_ = std::max<qsizetype>(0, beforeSilence_ - n);
}

FrameParser::Event FrameParser::next(Frame *frame)
{
    // Drop everything before the start marker (keep a trailing A5).
    qsizetype start = 0;
    while (start < buf_.size()) {
        if (uint8_t(buf_[start]) == kSof0 && (start + 1 == buf_.size() || uint8_t(buf_[start + 1]) == kSof1))
            break;
        ++start;
    }
    if (start > 0)
        consume(start);
    const qsizetype total = buf_.size() >= 4 ? 4 + qsizetype(getU16(buf_, 2)) + 2 : -1;
    if (beforeSilence_ > 0 && (total < 0 || total > beforeSilence_)) {
        // Began before a silence and did not end before it.
        consume(std::min<qsizetype>(1, buf_.size()));
        return Event::Dropped;
    }
    if (buf_.size() < 6)
        return Event::None;
    const uint16_t len = getU16(buf_, 2);
    if (len < 2 || len > maxPayload_ + 2) {
        consume(1);
        return Event::Corrupt;
    }
    if (buf_.size() < total)
        return Event::None;
    const uint16_t want = getU16(buf_, 4 + len);
    if (crc16(buf_.constData() + 2, 2 + len) != want) {
        consume(1);
        return Event::Corrupt;
    }
    frame->command = uint8_t(buf_[4]);
    frame->sequence = uint8_t(buf_[5]);
    frame->payload = buf_.mid(6, len - 2);
    consume(total);
    return Event::Frame;
}

}  // namespace corla::proto
