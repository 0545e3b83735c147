// The raw image: the compact big-endian form of a setup that the LX2 module
// executes. This header is the one description of its layout; the compiler,
// the simulator's reader, the export and the tests all use it.
//
// Layout: a header of eleven 16-bit words, then ten sections without gaps:
//   1 timers          count, reset ticks x T
//   2 event inputs    count E, offset x E, input record x E (1..3 entries of 4)
//   3 CAN inputs      count, entry x I (descriptor, compare, data16)
//   4 CAN outputs     count, entry x O (descriptor, data16)
//   5 event actions   offset x E (no count), action record x E
//                     (4 lists of count + item numbers, then a 0 byte)
//   6 states          count S, offset x S, state record x S
//                     (LED mask low, LED mask high, NL + numbers, NC + numbers)
//   7 LX1 outputs     count, entry x P (current16, 8 mask bytes)
//   8 receive ids     count, entry x R (id << 5, byte order word)
//   9 transmit ids    count, entry x X (id << 5, 0)
//  10 options + PWM   option16 x K (no count), PWM descriptor x 8
// Every 16-bit field is big-endian; offsets are absolute file positions;
// item numbers are table index + 1 (0 = none where a section allows it).
#pragma once

#include <QByteArray>

#include <cstdint>

#include "schema.h"

namespace kelda::image {

// Header: H0 = header length, H1..H10 = offsets of sections 1..10.
constexpr int kHeaderWordCount = 11;
constexpr int kHeaderSize = 2 * kHeaderWordCount;  // 22
constexpr int kSectionCount = 10;

enum class Section : int {
    Timers = 1,
    EventInputs = 2,
    CanInputs = 3,
    CanOutputs = 4,
    EventActions = 5,
    States = 6,
    Lx1Outputs = 7,
    ReceiveIds = 8,
    TransmitIds = 9,
    Options = 10,
};

// Header word k is at byte 2k; word k (k >= 1) holds the offset of section k.
constexpr int headerWordOffset(int word)
{
    return 2 * word;
}
constexpr int headerWordOffset(Section s)
{
    return 2 * static_cast<int>(s);
}

// Sizes of the fixed records.
constexpr int kCountSize = 1;
constexpr int kOffsetSize = 2;
constexpr int kTimerEntrySize = 2;
constexpr int kInputEntrySize = 4;  // source kind, source number, condition, join
constexpr int kMaxInputEntries = 3;  // an input record is 4 to 12 bytes
constexpr int kCanInputEntrySize = 4;  // descriptor, compare, data16
constexpr int kCanOutputEntrySize = 3;  // descriptor, data16
constexpr int kActionListCount = 4;  // set, clear, start, stop; then a 0 byte
constexpr int kStateMaskSize = 4;  // LED mask low word, high word
constexpr int kLx1OutputEntrySize = 10;  // current16, 8 mask bytes
constexpr int kIdentifierEntrySize = 4;  // id << 5, byte order word (0 for transmit)
constexpr int kOptionEntrySize = 2;
constexpr int kPwmDescriptorCount = 8;  // one per LX1 module

// Bytes within an input entry.
constexpr int kInputSourceKind = 0;
constexpr int kInputSourceNumber = 1;
constexpr int kInputCondition = 2;
constexpr int kInputJoin = 3;

// A count is one byte; an offset must fit in 16 bits.
constexpr int kMaxCount = 255;
constexpr int kMaxImageSize = 65535;  // an image must stay below 65536 bytes

// Byte-order word of a receive identifier.
constexpr uint16_t kBigEndianWord = 0;
constexpr uint16_t kLittleEndianWord = 1;

// Source kind of an event input entry: which table the input reads.
enum class SourceKind : uint8_t {
    KeypadKey = 1,
    Timer = 2,
    CanInput = 3,
    State = 4,
    Switch = 5,
};

// Kind by target type; any other type is written as a keypad key.
constexpr SourceKind sourceKind(ItemType type)
{
    switch (type) {
    case ItemType::Timer:
        return SourceKind::Timer;
    case ItemType::CanInput:
        return SourceKind::CanInput;
    case ItemType::State:
        return SourceKind::State;
    case ItemType::Switch:
        return SourceKind::Switch;
    default:
        return SourceKind::KeypadKey;
    }
}

// Target type by source kind; ItemType::None for a kind the format does not know.
constexpr ItemType sourceItemType(uint8_t kind)
{
    switch (kind) {
    case 1:
        return ItemType::KeypadKey;
    case 2:
        return ItemType::Timer;
    case 3:
        return ItemType::CanInput;
    case 4:
        return ItemType::State;
    case 5:
        return ItemType::Switch;
    default:
        return ItemType::None;
    }
}

// Channel descriptor: one byte naming a data byte or word of one CAN
// identifier. position = index of the identifier in the receive (CAN inputs,
// PWM) or transmit (CAN outputs) list, -1 when it is missing there.
//   byte k (sel 1 << (k-1)):        128 + 8 * position + k
//   word w (sel 3, 12, 48, 192):    4 * position + w
//   any other sel:                  128 + 8 * position
// Only the low 8 bits are kept.
constexpr uint8_t channelDescriptor(int position, uint8_t byteSelect)
{
    int value = 128 + 8 * position;
    switch (byteSelect) {
    case 1:
        value += 1;
        break;
    case 2:
        value += 2;
        break;
    case 4:
        value += 3;
        break;
    case 8:
        value += 4;
        break;
    case 16:
        value += 5;
        break;
    case 32:
        value += 6;
        break;
    case 64:
        value += 7;
        break;
    case 128:
        value += 8;
        break;
    case 3:
        value = 4 * position + 1;
        break;
    case 12:
        value = 4 * position + 2;
        break;
    case 48:
        value = 4 * position + 3;
        break;
    case 192:
        value = 4 * position + 4;
        break;
    default:
        break;
    }
    return static_cast<uint8_t>(value & 0xFF);
}

// How many identifier positions a channel of this selection can name without
// its descriptor running into another kind of channel: a word channel stays
// below 128 (bit 7 marks a byte channel), a byte channel below 256.
constexpr int channelPositions(uint8_t byteSelect)
{
    switch (byteSelect) {
    case 3:
    case 12:
    case 48:
    case 192: {
        const int w = channelDescriptor(0, byteSelect);  // 1..4
        return (127 - w) / 4 + 1;
    }
    default: {
        const int k = channelDescriptor(0, byteSelect) - 128;  // 0..8
        return (255 - 128 - k) / 8 + 1;
    }
    }
}
constexpr bool channelFits(int position, uint8_t byteSelect)
{
    return position >= 0 && position < channelPositions(byteSelect);
}
static_assert(channelPositions(3) == 32 && channelPositions(192) == 31);
static_assert(channelPositions(1) == 16 && channelPositions(128) == 15);

// Reading a descriptor back. Bit 7 set = byte channel, clear = word channel.
constexpr bool isByteChannel(uint8_t descriptor)
{
    return (descriptor & 0x80) != 0;
}
// Identifier position and byte (1..8, 0 = none) of a byte channel.
constexpr int byteChannelPosition(uint8_t d)
{
    return (d & 0x7F) == 0 ? 0 : ((d & 0x7F) - 1) / 8;
}
constexpr int byteChannelByte(uint8_t d)
{
    return (d & 0x7F) == 0 ? 0 : ((d & 0x7F) - 1) % 8 + 1;
}
// Identifier position and word (1..4) of a word channel; descriptor 0 is no channel.
constexpr int wordChannelPosition(uint8_t d)
{
    return d == 0 ? -1 : (d - 1) / 4;
}
constexpr int wordChannelWord(uint8_t d)
{
    return d == 0 ? 0 : (d - 1) % 4 + 1;
}

// Identifier word of sections 8 and 9: the 11-bit identifier in bits 15..5.
constexpr uint16_t identifierWord(uint16_t id)
{
    return static_cast<uint16_t>(id << 5);
}
constexpr uint16_t identifierOfWord(uint16_t word)
{
    return static_cast<uint16_t>(word >> 5);
}

// Big-endian 16-bit fields.
inline void writeU16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v & 0xFF);
}
constexpr uint16_t readU16(const uint8_t *p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline void appendU16(QByteArray &out, uint16_t v)
{
    out.append(static_cast<char>(v >> 8));
    out.append(static_cast<char>(v & 0xFF));
}
// Reads the word at pos; ok (if given) is false when it does not fit in data.
inline uint16_t readU16(const QByteArray &data, qsizetype pos, bool *ok = nullptr)
{
    const bool fits = pos >= 0 && pos + 2 <= data.size();
    if (ok)
        *ok = fits;
    if (!fits)
        return 0;
    return readU16(reinterpret_cast<const uint8_t *>(data.constData()) + pos);
}
inline uint8_t readU8(const QByteArray &data, qsizetype pos, bool *ok = nullptr)
{
    const bool fits = pos >= 0 && pos < data.size();
    if (ok)
        *ok = fits;
    return fits ? static_cast<uint8_t>(data.at(pos)) : 0;
}

// Header word k (0..10) of an image; 0 with ok false when the image is too short.
inline uint16_t headerWord(const QByteArray &image, int word, bool *ok = nullptr)
{
    return readU16(image, headerWordOffset(word), ok);
}
inline uint16_t sectionOffset(const QByteArray &image, Section s, bool *ok = nullptr)
{
    return readU16(image, headerWordOffset(s), ok);
}

// Calibration file: where the export puts the name field and the image.
constexpr int kCalNameOffset = 88;
constexpr int kCalNameSize = 8;
constexpr char kCalNamePad = 0x32;  // the character '2'
constexpr int kCalImageOffset = 96;
constexpr char kRawImageFileName[] = "LX2Raw.bin";

}  // namespace kelda::image
