// A physical comparison turned into the raw one a CAN input stores.
#include <cmath>

#include "dbcclass.h"
#include "schema.h"

namespace kelda::dbc {

namespace {

// The raw values for which the physical comparison holds: all raw >= value,
// all raw <= value, raw == value, or the one bit set.
struct RawCondition {
    enum Kind { AtLeast, AtMost, Equal, BitSet } kind = Equal;
    qint64 value = 0;
};

// Physical values grow with raw ones for a positive factor and shrink for a
// negative one (in floating point too), so the raw values where "> P" or
// "< P" holds are one run at an end of the range: found by bisection.
std::optional<qint64> firstHolding(const Signal &s, Op op, double p)
{
    qint64 lo = s.rawMin(), hi = s.rawMax();
    if (!physicalHolds(s, op, physical(s, hi), p))
        return std::nullopt;
    while (lo < hi) {
        const qint64 mid = lo + (hi - lo) / 2;
        if (physicalHolds(s, op, physical(s, mid), p))
            hi = mid;
        else
            lo = mid + 1;
    }
    return lo;
}
std::optional<qint64> lastHolding(const Signal &s, Op op, double p)
{
    qint64 lo = s.rawMin(), hi = s.rawMax();
    if (!physicalHolds(s, op, physical(s, lo), p))
        return std::nullopt;
    while (lo < hi) {
        const qint64 mid = hi - (hi - lo) / 2;
        if (physicalHolds(s, op, physical(s, mid), p))
            lo = mid;
        else
            hi = mid - 1;
    }
    return lo;
}

QString unitText(const Signal &s)
{
    return s.unit.isEmpty() ? QString() : QLatin1Char(' ') + s.unit;
}

// A signed one-bit signal reads its set bit as -1 (two's complement).
qint64 setBitRaw(const Signal &s)
{
    return s.isSigned ? -1 : 1;
}

QString rawCondition(const Signal &s, Op op, double p, RawCondition *out)
{
    const QString shown = QString::number(p) + unitText(s);
    if (op == Op::Equal || op == Op::Bit) {
        // Clamped before it becomes a whole number: a huge value must not overflow.
        const double x = std::clamp((p - s.offset) / s.factor, double(s.rawMin()) - 1, double(s.rawMax()) + 1);
        const qint64 guess = qint64(std::llround(x));
        for (const qint64 r : {guess, guess - 1, guess + 1})
            if (r >= s.rawMin() && r <= s.rawMax() && physicalHolds(s, Op::Equal, physical(s, r), p)) {
                if (op == Op::Bit && r != setBitRaw(s))
                    return QStringLiteral("Bit Match tests that the bit is set (%1%2); %3 is the value of the clear "
                                          "bit")
                        .arg(valueText(s, physical(s, setBitRaw(s))), unitText(s), shown);
                *out = {op == Op::Bit ? RawCondition::BitSet : RawCondition::Equal, r};
                return {};
            }
        const qint64 below = std::clamp(qint64(std::floor(x)), s.rawMin(), s.rawMax());
        const qint64 above = std::clamp(qint64(std::ceil(x)), s.rawMin(), s.rawMax());
        if (below == above) {
            // Beyond either end: one "nearest" value twice would read as a range.
            const double a = physical(s, s.rawMin()), b = physical(s, s.rawMax());
            return QStringLiteral("%1 is no value of the signal: its values run from %2 to %3 (steps of %4)")
                .arg(shown, valueText(s, std::min(a, b)), valueText(s, std::max(a, b)),
                     valueText(s, std::abs(s.factor)));
        }
        return QStringLiteral("%1 is no value of the signal: the nearest are %2 and %3 (steps of %4)")
            .arg(shown, valueText(s, physical(s, std::min(below, above))),
                 valueText(s, physical(s, std::max(below, above))), valueText(s, std::abs(s.factor)));
    }
    // "> P" holds at the top of the raw range for a positive factor.
    const bool atTop = (op == Op::Greater) == (s.factor > 0);
    const std::optional<qint64> r = atTop ? firstHolding(s, op, p) : lastHolding(s, op, p);
    const char *word = op == Op::Greater ? "above" : "below";
    if (!r)
        return QStringLiteral("no value of the signal is %1 %2").arg(QLatin1String(word), shown);
    if (*r == (atTop ? s.rawMin() : s.rawMax()))
        return QStringLiteral("every value of the signal is %1 %2, so the input would always be on")
            .arg(QLatin1String(word), shown);
    *out = {atTop ? RawCondition::AtLeast : RawCondition::AtMost, *r};
    return {};
}

// Rounds v / 2^d to the nearest whole number (halves up), for negative v too.
qint64 roundedShift(qint64 v, int d)
{
    return d == 0 ? v : (v + (qint64(1) << (d - 1))) >> d;
}

}  // namespace

Comparison comparison(const Signal &s, const Classification &c, Op op, double value)
{
    Comparison out;
    if (c.cls == Class::Impossible || !c.fit) {
        out.refusal = c.reason;
        return out;
    }
    out.fit = *c.fit;
    out.exact = c.exact.contains(op);
    if (!out.exact && !c.approximate.contains(op)) {
        QStringList can;
        for (const Op o : c.exact + c.approximate)
            can << QLatin1String(opText(o));
        out.refusal =
            QStringLiteral("%1 cannot be compared with %2 on %3; it can with %4")
                .arg(s.name, QLatin1String(opText(op)), out.fit.channelText(), can.join(QStringLiteral(", ")));
        return out;
    }
    RawCondition rc;
    out.refusal = rawCondition(s, op, value, &rc);
    if (!out.refusal.isEmpty())
        return out;
    const int width = out.fit.channel.width();
    const int shift = out.fit.shift, d = out.fit.dropped;
    const qint64 lo = s.rawMin() >> d, hi = s.rawMax() >> d;
    const qint64 step = qint64(1) << d;
    qint64 data = 0, rawShown = 0;
    QString sign;
    const bool hasSign = s.isSigned;
    switch (rc.kind) {
    case RawCondition::AtLeast: {
        // raw >= q * 2^d  <=>  channel >= q << shift  <=>  channel > (q << shift) - 1
        const qint64 q = std::clamp(roundedShift(rc.value, d), lo + 1, hi);
        data = q * (qint64(1) << shift) - 1;
        out.compare = uint8_t(hasSign ? CanCompare::GreaterSigned : CanCompare::Greater);
        out.error = double(std::abs(q * step - rc.value)) * std::abs(s.factor);
        rawShown = q * step - 1;
        sign = QStringLiteral(">");
        break;
    }
    case RawCondition::AtMost: {
        // raw < q * 2^d  <=>  channel < q << shift
        const qint64 q = std::clamp(roundedShift(rc.value + 1, d), lo + 1, hi);
        data = q * (qint64(1) << shift);
        out.compare = uint8_t(hasSign ? CanCompare::LessSigned : CanCompare::Less);
        out.error = double(std::abs(q * step - (rc.value + 1))) * std::abs(s.factor);
        rawShown = q * step;
        sign = QStringLiteral("<");
        break;
    }
    case RawCondition::Equal:
        data = rc.value;
        out.compare = uint8_t(CanCompare::Equal);
        rawShown = rc.value;
        sign = QStringLiteral("=");
        break;
    case RawCondition::BitSet:
        data = qint64(1) << shift;
        out.compare = uint8_t(CanCompare::BitMatch);
        rawShown = setBitRaw(s);
        sign = QStringLiteral("bit set:");
        break;
    }
    out.data = uint16_t(quint64(data) & ((quint64(1) << width) - 1));
    out.rounding = QStringLiteral("%1 %2 raw = %3%4")
                       .arg(sign)
                       .arg(rawShown)
                       .arg(valueText(s, physical(s, rawShown)), unitText(s));
    if (!out.exact)
        out.rounding += QStringLiteral(", within %1%2").arg(valueText(s, out.error), unitText(s));
    return out;
}

}  // namespace kelda::dbc
