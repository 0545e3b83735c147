#include "dbcclass.h"

#include <cmath>

#include "imageformat.h"
#include "schema.h"
#include "setupview.h"

namespace kelda::dbc {

namespace {

constexpr int kModuleBytes = 8;  // a classic CAN frame

// The channel bit a payload bit lands on; -1 when the channel does not hold it.
int channelBit(const can::Channel &c, bool littleEndian, int payloadBit)
{
    const int byte = payloadBit / 8;
    const int bit = payloadBit % 8;
    if (c.isByte)
        return byte == c.index - 1 ? bit : -1;
    const int high = littleEndian ? 2 * c.index - 1 : 2 * c.index - 2;  // 0-based byte of bits 8..15
    const int low = littleEndian ? 2 * c.index - 2 : 2 * c.index - 1;
    return byte == high ? 8 + bit : byte == low ? bit : -1;
}

struct Candidate {
    Fit fit;
    QList<Op> exact;
    QList<Op> approximate;
    int kept = 0;  // signal bits the channel holds in order from the top
};

// The signal on one channel: its top bits must sit at the channel's top, in
// order; a one-bit flag anywhere in the channel is a Bit Match.
std::optional<Candidate> candidate(const std::vector<int> &bits, const can::Channel &ch, bool little)
{
    const int len = int(bits.size());
    const int width = ch.width();
    int kept = 0;
    while (kept < len && kept < width && channelBit(ch, little, bits[size_t(len - 1 - kept)]) == width - 1 - kept)
        ++kept;
    Candidate c;
    c.fit.channel = ch;
    c.fit.littleEndian = little;
    if (kept == 0) {
        const int at = len == 1 ? channelBit(ch, little, bits[0]) : -1;
        if (at < 0)
            return std::nullopt;
        c.fit.shift = at;
        c.exact = {Op::Bit};
        c.kept = 1;
        return c;
    }
    c.kept = kept;
    c.fit.shift = width - kept;
    c.fit.dropped = len - kept;
    if (c.fit.dropped > 0) {
        c.approximate = {Op::Less, Op::Greater};
        return c;
    }
    if (c.fit.shift == 0)
        c.exact << Op::Equal;
    c.exact << Op::Less << Op::Greater;
    if (len == 1)
        c.exact << Op::Bit;
    return c;
}

bool better(const Candidate &a, const Candidate &b)
{
    if (a.exact.size() != b.exact.size())
        return a.exact.size() > b.exact.size();
    if (a.kept != b.kept)
        return a.kept > b.kept;
    return false;  // the earlier channel (bytes first) stays
}

QList<std::pair<can::Channel, bool>> allChannels()
{
    QList<std::pair<can::Channel, bool>> out;
    for (int k = 1; k <= kModuleBytes; ++k)
        out.append({can::Channel{true, k}, false});
    for (int w = 1; w <= kModuleBytes / 2; ++w)
        for (const bool little : {false, true})
            out.append({can::Channel{false, w}, little});
    return out;
}

QString idText(int id)
{
    return dbc::idText(uint32_t(id), false);
}

// Why the signal cannot be read, whatever the setup; empty when it may be.
QString signalProblem(const Message &m, const Signal &s)
{
    if (m.extended)
        return QStringLiteral("extended identifier %1: the module reads standard (11-bit) frames only")
            .arg(dbc::idText(m.id, true));
    if (s.mux == Mux::Multiplexed)
        return QStringLiteral("multiplexed (m%1): the module cannot tell which multiplexed value a frame carries")
            .arg(s.muxValue);
    if (s.isFloat)
        return QStringLiteral("a floating-point signal: the module compares whole numbers");
    if (s.length > 16)
        return QStringLiteral("%1 bits: the module compares at most 16 bits (a word)").arg(s.length);
    if (s.factor == 0)
        return QStringLiteral("factor 0: every raw value reads the same");
    // A frame of more than 8 data bytes is a CAN FD frame, which a classic
    // CAN node never reads: its first 8 bytes are no better than the rest.
    if (m.length > kModuleBytes)
        return QStringLiteral("a CAN FD message of %1 bytes: the module is a classic CAN node and reads no frame "
                              "beyond byte 8")
            .arg(m.length);
    for (const int b : s.bits())
        if (b >= 8 * kModuleBytes)
            return QStringLiteral("it lies beyond byte 8: the module reads the first 8 data bytes");
    return {};
}

QString setupProblem(const Message &m, const SetupContext &setup)
{
    const int id = int(m.id);
    if (setup.sentBy.contains(id))
        return QStringLiteral("the module sends identifier %1 (CAN output \"%2\"), so it would read its own message "
                              "(check can-id-clash)")
            .arg(idText(id), setup.sentBy.value(id));
    if (setup.inputCount >= kMaxTableItems)
        return QStringLiteral("the CAN Inputs table is full (%1 rows)").arg(kMaxTableItems);
    return {};
}

}  // namespace

const char *opText(Op op)
{
    switch (op) {
    case Op::Equal:
        return "=";
    case Op::Less:
        return "<";
    case Op::Greater:
        return ">";
    case Op::Bit:
        return "bit";
    }
    return "";
}

std::optional<Op> parseOp(const QString &text)
{
    const QString t = text.trimmed().toLower();
    if (t == QLatin1String("=") || t == QLatin1String("eq"))
        return Op::Equal;
    if (t == QLatin1String("<") || t == QLatin1String("lt"))
        return Op::Less;
    if (t == QLatin1String(">") || t == QLatin1String("gt"))
        return Op::Greater;
    if (t == QLatin1String("bit"))
        return Op::Bit;
    return std::nullopt;
}

const char *classText(Class c)
{
    return c == Class::Exact ? "exact" : c == Class::Approximate ? "approximate" : "impossible";
}

SetupContext SetupContext::from(const SetupView &view)
{
    SetupContext c;
    c.inputCount = int(view.canInputs.size());
    for (const ViewCanInput &in : view.canInputs) {
        const bool oneByte = in.byteSelect > 0 && (in.byteSelect & (in.byteSelect - 1)) == 0;
        if (!oneByte)
            c.wordIds.insert(in.canId);
        if (c.receiveIds.contains(in.canId))
            continue;
        c.receiveIds.append(in.canId);
        c.littleEndian.insert(in.canId, in.littleEndian);
        c.firstInput.insert(in.canId, in.name);
    }
    for (const ViewCanOutput &out : view.canOutputs)
        if (!c.sentBy.contains(out.canId))
            c.sentBy.insert(out.canId, out.name);
    return c;
}

uint8_t Fit::byteSelect() const
{
    return uint8_t(channel.isByte ? 1 << (channel.index - 1) : 3 << (2 * (channel.index - 1)));
}

QString Fit::channelText() const
{
    return QStringLiteral("%1 %2")
        .arg(channel.isByte ? QStringLiteral("Byte") : QStringLiteral("Word"))
        .arg(channel.index);
}

Classification classify(const Message &m, const Signal &s, const SetupContext *setup)
{
    Classification out;
    out.reason = signalProblem(m, s);
    if (out.reason.isEmpty() && setup)
        out.reason = setupProblem(m, *setup);
    if (!out.reason.isEmpty())
        return out;
    const std::vector<int> bits = s.bits();
    const int id = int(m.id);
    const bool known = setup && setup->receiveIds.contains(id);
    const bool orderFixed = setup && setup->wordIds.contains(id);
    const int position = setup ? (known ? int(setup->receiveIds.indexOf(id)) : int(setup->receiveIds.size())) : 0;
    std::optional<Candidate> best, unconstrained;
    bool orderConflict = false, positionLimit = false;
    for (const auto &[channel, little] : allChannels()) {
        const std::optional<Candidate> c = candidate(bits, channel, little);
        if (!c)
            continue;
        if (!unconstrained || better(*c, *unconstrained))
            unconstrained = c;
        if (!channel.isByte && orderFixed && setup->littleEndian.value(id) != little) {
            orderConflict = true;
            continue;
        }
        if (setup && !image::channelFits(position, c->fit.byteSelect())) {
            positionLimit = true;
            continue;
        }
        if (!best || better(*c, *best))
            best = c;
    }
    if (!best) {
        if (orderConflict && unconstrained)
            out.reason = QStringLiteral("the module reads identifier %1 as %2 (CAN input \"%3\"), and the signal fits "
                                        "no byte or word in that order")
                             .arg(idText(id), QLatin1String(kEndiannessTexts[setup->littleEndian.value(id) ? 1 : 0]),
                                  setup->firstInput.value(id));
        else if (positionLimit && unconstrained)
            out.reason = QStringLiteral("identifier %1 would be number %2 of the receive identifiers, past what "
                                        "the channels it fits can name (check can-channel)")
                             .arg(idText(id))
                             .arg(position + 1);
        else
            out.reason = QStringLiteral("its bits do not reach the top of any byte or word, so other bits of the "
                                        "frame would decide every comparison");
        return out;
    }
    out.fit = best->fit;
    out.exact = best->exact;
    out.approximate = best->approximate;
    if (!best->exact.isEmpty()) {
        out.cls = Class::Exact;
    } else {
        out.cls = Class::Approximate;
        const int d = best->fit.dropped;
        out.error = double((qint64(1) << d) - 1) * std::abs(s.factor);
        out.reason = QStringLiteral("%1 holds only its top %2 of %3 bits")
                         .arg(best->fit.channelText())
                         .arg(s.length - d)
                         .arg(s.length);
    }
    if (unconstrained && better(*unconstrained, *best)) {
        QString where = unconstrained->fit.channelText();
        if (!unconstrained->fit.channel.isByte)
            where += QLatin1Char(' ') + QLatin1String(kEndiannessTexts[unconstrained->fit.littleEndian ? 1 : 0]);
        out.reason += QStringLiteral("%1better on %2, which the setup does not allow for identifier %3")
                          .arg(out.reason.isEmpty() ? QString() : QStringLiteral("; "), where, idText(id));
    }
    return out;
}

double physical(const Signal &s, qint64 raw)
{
    return double(raw) * s.factor + s.offset;
}

bool physicalHolds(const Signal &s, Op op, double value, double threshold)
{
    const double eps = std::abs(s.factor) * 1e-6;
    switch (op) {
    case Op::Equal:
    case Op::Bit:
        return std::abs(value - threshold) <= eps;
    case Op::Less:
        return value < threshold - eps;
    case Op::Greater:
        return value > threshold + eps;
    }
    return false;
}

QString valueText(const Signal &s, double value)
{
    // Enough decimals for the factor and the offset, within a millionth of
    // each: a factor of 9.53e-7 needs 10, not 0 (which showed every value of
    // such a signal, and its error, as 0).
    constexpr int kMaxDecimals = 12;
    int decimals = 0;
    for (const double x : {s.factor, s.offset}) {
        int n = decimals;
        while (n < kMaxDecimals) {
            const double scaled = x * std::pow(10.0, n);
            if (std::abs(scaled - std::round(scaled)) <= 1e-6 * std::abs(scaled))
                break;
            ++n;
        }
        decimals = std::max(decimals, n);
    }
    return QString::number(value, 'f', decimals);
}

}  // namespace kelda::dbc
