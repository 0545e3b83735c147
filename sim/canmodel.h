// What the module does with CAN frames: which frames a CAN input listens to,
// the value it reads from them, how it compares that value with its Data,
// and which frames its CAN outputs produce. Built from the raw image alone
// (sections 3, 4, 8 and 9), so the engine and the emulated module share it.
// docs/can-model.md lists every assumption as a table.
#pragma once

#include <QByteArray>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace kelda::can {

constexpr int kStandardIdCount = 2048;  // 11-bit identifiers
constexpr int kFrameBytes = 8;

// Where a channel sits in the 8 data bytes: byte k (1..8) or word w (1..4).
// index 0 = the descriptor names no channel.
struct Channel {
    bool isByte = true;
    int index = 0;
    int width() const { return isByte ? 8 : 16; }
};

struct InputRule {
    int position = -1;  // in the receive list (section 8); -1 = none there
    uint16_t identifier = 0;  // valid only when position >= 0
    bool littleEndian = false;  // the identifier's byte order
    Channel channel;
    uint8_t compare = 0;  // schema CanCompare code
    uint16_t data = 0;
    // True when frames decide the result (a channel, an identifier, not CAN Key).
    bool fromFrames() const;
};

struct OutputRule {
    int position = -1;  // in the transmit list (section 9)
    uint16_t identifier = 0;
    Channel channel;
    uint16_t data = 0;
};

struct TxFrame {
    uint16_t identifier = 0;
    std::array<uint8_t, kFrameBytes> data{};
    bool operator==(const TxFrame &) const = default;
};

// The channel's value in a frame; nullopt when the frame is too short.
std::optional<uint16_t> channelValue(const Channel &c, bool littleEndian, const uint8_t *data, int length);
// The comparison of a channel value of `width` bits with an input's Data.
// CAN Key and unknown codes give false: frames do not decide them.
bool compare(uint8_t code, uint16_t value, uint16_t data, int width);
// Channel of a descriptor byte of sections 3 and 4.
Channel channelOf(uint8_t descriptor);

class CanModel
{
public:
    // Reads sections 3, 4, 8 and 9; a short or damaged image gives the rules
    // that were there in full (never reads out of bounds).
    static CanModel fromImage(const QByteArray &image);

    const std::vector<InputRule> &inputs() const { return m_inputs; }
    const std::vector<OutputRule> &outputs() const { return m_outputs; }
    const std::vector<uint16_t> &receiveIds() const { return m_receive; }
    // The byte order of a receive identifier (its first entry in section 8).
    bool littleEndian(uint16_t id) const;
    const std::vector<uint16_t> &transmitIds() const { return m_transmit; }

    // Inputs (table index) that a frame with this identifier and these flags
    // reaches: standard data frames only.
    const std::vector<int> &listeners(uint32_t id, bool extended, bool remote) const;

    // The transmit frames, one per identifier of section 9 in list order,
    // given which CAN outputs (table index) are active.
    std::vector<TxFrame> transmitFrames(const std::vector<bool> &active) const;
    // The same into `frames` (one per transmit identifier, no allocation once
    // sized), output i active when bit i of active[i / 64] is set.
    void transmitFrames(const uint64_t *active, int words, std::vector<TxFrame> &frames) const;

private:
    std::vector<InputRule> m_inputs;
    std::vector<OutputRule> m_outputs;
    std::vector<uint16_t> m_receive;
    std::vector<bool> m_receiveLittle;
    std::vector<uint16_t> m_transmit;
    std::vector<std::vector<int>> m_byId;  // kStandardIdCount lists
};

// The results of the CAN inputs as frames arrive: false before the first
// frame, held until the next frame long enough for the channel.
class CanInputResults
{
public:
    explicit CanInputResults(const CanModel &model);
    // Applies one frame; returns how many results changed.
    int apply(uint32_t id, bool extended, bool remote, const uint8_t *data, int length);
    // A script's direct setting, until the next frame for the identifier.
    void set(int input, bool on);
    bool result(int input) const;
    const std::vector<bool> &results() const { return m_results; }

private:
    const CanModel &m_model;
    std::vector<bool> m_results;
};

}  // namespace kelda::can
