#include "canmodel.h"

#include <algorithm>
#include <bit>

#include "imageformat.h"
#include "schema.h"

namespace kelda::can {

namespace {

// Reads a section's count and its fixed-size entries; stops at the image's end.
template <typename Fn>
void readEntries(const QByteArray &image, image::Section s, int entrySize, Fn &&entry)
{
    bool ok = false;
    const uint16_t at = image::sectionOffset(image, s, &ok);
    if (!ok)
        return;
    const uint8_t count = image::readU8(image, at, &ok);
    if (!ok)
        return;
    for (int i = 0; i < count; ++i) {
        const qsizetype pos = at + image::kCountSize + qsizetype(i) * entrySize;
        if (pos + entrySize > image.size())
            return;
        entry(reinterpret_cast<const uint8_t *>(image.constData()) + pos);
    }
}

int16_t asSigned(uint16_t v, int width)
{
    return width == 8 ? int16_t(int8_t(uint8_t(v))) : int16_t(v);
}

const std::vector<int> kNoListeners;

}  // namespace

bool InputRule::fromFrames() const
{
    return position >= 0 && channel.index > 0 && compare != uint8_t(CanCompare::CanKey);
}

Channel channelOf(uint8_t descriptor)
{
    if (image::isByteChannel(descriptor))
        return {true, image::byteChannelByte(descriptor)};
    return {false, image::wordChannelWord(descriptor)};
}

std::optional<uint16_t> channelValue(const Channel &c, bool littleEndian, const uint8_t *data, int length)
{
    if (c.index <= 0)
        return std::nullopt;
    if (c.isByte) {
        if (length < c.index)
            return std::nullopt;
        return data[c.index - 1];
    }
    const int first = 2 * c.index - 2;  // byte 2w-1, 0-based
    if (length < first + 2)
        return std::nullopt;
    const uint8_t a = data[first];
    const uint8_t b = data[first + 1];
    return littleEndian ? uint16_t(b << 8 | a) : uint16_t(a << 8 | b);
}

bool compare(uint8_t code, uint16_t value, uint16_t data, int width)
{
    switch (static_cast<CanCompare>(code)) {
    case CanCompare::Equal:
        return value == data;
    case CanCompare::Less:
        return value < data;
    case CanCompare::Greater:
        return value > data;
    case CanCompare::LessSigned:
        return asSigned(value, width) < asSigned(data, width);
    case CanCompare::GreaterSigned:
        return asSigned(value, width) > asSigned(data, width);
    case CanCompare::BitMatch:
        return (value & data) == data;
    case CanCompare::CanKey:
        break;
    }
    return false;
}

CanModel CanModel::fromImage(const QByteArray &bytes)
{
    CanModel m;
    std::vector<bool> &little = m.m_receiveLittle;
    readEntries(bytes, image::Section::ReceiveIds, image::kIdentifierEntrySize, [&](const uint8_t *p) {
        m.m_receive.push_back(image::identifierOfWord(image::readU16(p)));
        little.push_back(image::readU16(p + 2) == image::kLittleEndianWord);
    });
    readEntries(bytes, image::Section::TransmitIds, image::kIdentifierEntrySize,
                [&](const uint8_t *p) { m.m_transmit.push_back(image::identifierOfWord(image::readU16(p))); });
    readEntries(bytes, image::Section::CanInputs, image::kCanInputEntrySize, [&](const uint8_t *p) {
        InputRule r;
        r.channel = channelOf(p[0]);
        const int pos = r.channel.isByte ? image::byteChannelPosition(p[0]) : image::wordChannelPosition(p[0]);
        if (pos >= 0 && pos < int(m.m_receive.size())) {
            r.position = pos;
            r.identifier = m.m_receive[pos];
            r.littleEndian = little[pos];
        }
        r.compare = p[1];
        r.data = image::readU16(p + 2);
        m.m_inputs.push_back(r);
    });
    readEntries(bytes, image::Section::CanOutputs, image::kCanOutputEntrySize, [&](const uint8_t *p) {
        OutputRule r;
        r.channel = channelOf(p[0]);
        const int pos = r.channel.isByte ? image::byteChannelPosition(p[0]) : image::wordChannelPosition(p[0]);
        if (pos >= 0 && pos < int(m.m_transmit.size())) {
            r.position = pos;
            r.identifier = m.m_transmit[pos];
        }
        r.data = image::readU16(p + 1);
        m.m_outputs.push_back(r);
    });
    m.m_byId.assign(kStandardIdCount, {});
    for (int i = 0; i < int(m.m_inputs.size()); ++i) {
        if (m.m_inputs[i].fromFrames())
            m.m_byId[m.m_inputs[i].identifier & (kStandardIdCount - 1)].push_back(i);
    }
    return m;
}

bool CanModel::littleEndian(uint16_t id) const
{
    for (size_t p = 0; p < m_receive.size(); ++p)
        if (m_receive[p] == id)
            return m_receiveLittle[p];
    return false;
}

const std::vector<int> &CanModel::listeners(uint32_t id, bool extended, bool remote) const
{
    if (extended || remote || id >= uint32_t(kStandardIdCount) || m_byId.empty())
        return kNoListeners;
    return m_byId[id];
}

std::vector<TxFrame> CanModel::transmitFrames(const std::vector<bool> &active) const
{
    std::vector<uint64_t> bits((m_outputs.size() + 63) / 64);
    for (size_t i = 0; i < m_outputs.size() && i < active.size(); ++i)
        if (active[i])
            bits[i / 64] |= uint64_t(1) << (i % 64);
    std::vector<TxFrame> frames;
    transmitFrames(bits.data(), int(bits.size()), frames);
    return frames;
}

void CanModel::transmitFrames(const uint64_t *active, int words, std::vector<TxFrame> &frames) const
{
    frames.resize(m_transmit.size());
    for (size_t p = 0; p < m_transmit.size(); ++p)
        frames[p] = TxFrame{m_transmit[p], {}};
    // Table order: a later active output overwrites an earlier one's bytes.
    const int n = std::min<int>(int(m_outputs.size()), words * 64);
    for (int w = 0; w * 64 < n; ++w) {
        for (uint64_t bits = active[w]; bits != 0; bits &= bits - 1) {
            const int i = w * 64 + std::countr_zero(bits);
            if (i >= n)
                break;
            const OutputRule &o = m_outputs[i];
            if (o.position < 0 || o.channel.index <= 0)
                continue;
            uint8_t *d = frames[o.position].data.data();
            if (o.channel.isByte)
                d[o.channel.index - 1] = uint8_t(o.data & 0xFF);
            else
                image::writeU16(d + 2 * o.channel.index - 2, o.data);
        }
    }
}

CanInputResults::CanInputResults(const CanModel &model) : m_model(model), m_results(model.inputs().size(), false)
{ }

int CanInputResults::apply(uint32_t id, bool extended, bool remote, const uint8_t *data, int length)
{
    int changed = 0;
    for (const int i : m_model.listeners(id, extended, remote)) {
        const InputRule &r = m_model.inputs()[i];
        const std::optional<uint16_t> v = channelValue(r.channel, r.littleEndian, data, length);
        if (!v)
            continue;
        const bool now = compare(r.compare, *v, r.data, r.channel.width());
        changed += now != m_results[i];
        m_results[i] = now;
    }
    return changed;
}

void CanInputResults::set(int input, bool on)
{
    if (input >= 0 && input < int(m_results.size()))
        m_results[input] = on;
}

bool CanInputResults::result(int input) const
{
    return input >= 0 && input < int(m_results.size()) && m_results[input];
}

}  // namespace kelda::can
