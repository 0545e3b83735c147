// Conversions between stored codes and the texts and numbers of the tables.
#pragma once

#include <QString>
#include <QStringList>

#include <cmath>
#include <cstdint>

#include "schema.h"
#include "storecursor.h"

namespace kelda::detail {

// Truncates toward zero and keeps the low 16 bits; negative, NaN and infinite
// values give 0, so nonsense input cannot wrap to a large stored number.
inline int truncLow16(double v)
{
    if (!std::isfinite(v) || v <= 0)
        return 0;
    if (v >= 9.0e15)  // beyond exact doubles; low bits meaningless
        return 0xFFFF;
    return int(static_cast<int64_t>(v) & 0xFFFF);
}

inline QString canCodeText(int id)
{
    return QLatin1String("0x") + QString::number(uint(id), 16).toUpper().rightJustified(3, QLatin1Char('0'));
}

// "0x" hexadecimal, leading "0" octal, else decimal; junk gives 0; low 16 bits, clamped to 11 bits.
inline int parseCanCode(const QString &text)
{
    bool ok = false;
    const qulonglong v = text.trimmed().toULongLong(&ok, 0);
    const int low = ok ? int(v & 0xFFFF) : 0;
    return low > kMaxCanId ? kMaxCanId : low;
}

inline QString byteSelectText(int code)
{
    for (const auto &c : kByteSelectChoices)
        if (c.code == code)
            return QLatin1String(c.text);
    return QString();
}
inline int byteSelectCode(const QString &text)
{
    for (const auto &c : kByteSelectChoices)
        if (text == QLatin1String(c.text))
            return c.code;
    return 1;
}

inline QStringList byteSelectTexts()
{
    QStringList l;
    for (const auto &c : kByteSelectChoices)
        l << QLatin1String(c.text);
    return l;
}

inline QString canCompareText(int code)
{
    for (const auto &c : kCanCompareChoices)
        if (c.code == code)
            return QLatin1String(c.text);
    return QString();
}
inline int canCompareCode(const QString &text)
{
    for (const auto &c : kCanCompareChoices)
        if (text == QLatin1String(c.text))
            return c.code;
    return 1;
}

inline QStringList canCompareTexts()
{
    QStringList l;
    for (const auto &c : kCanCompareChoices)
        l << QLatin1String(c.text);
    return l;
}

inline int conditionCode(const QString &text)
{
    for (size_t i = 0; i < kConditionTexts.size(); ++i)
        if (text == QLatin1String(kConditionTexts[i]))
            return int(i);
    return 0;
}

inline int combineCode(const QString &text)
{
    if (text == QLatin1String("AND"))
        return int(Combine::And);
    if (text == QLatin1String("OR"))
        return int(Combine::Or);
    return int(Combine::None);
}

inline QString combineText(int code)
{
    return QLatin1String(code == 1 || code == 2 ? kCombineTexts[size_t(code)] : kCombineTexts[0]);
}

inline QStringList combineTexts()
{
    QStringList l;
    for (const char *t : kCombineTexts)
        l << QLatin1String(t);
    return l;
}

// Seconds to 5 ms ticks, truncated.
inline int secondsToTicks(double seconds)
{
    return truncLow16(seconds * 1000 / kTickMs);
}
inline double ticksToSeconds(int ticks)
{
    return ticks * kTickMs / 1000.0;
}

// Amperes to the nearest 0.4 A step, at most 255.
inline int ampsToSteps(double amps)
{
    const int steps = truncLow16(amps / kAmpsPerStep + 0.5);
    return steps > kMaxLx1Current ? kMaxLx1Current : steps;
}
inline double stepsToAmps(int steps)
{
    return qMin(steps, kMaxLx1Current) * kAmpsPerStep;
}

// One mask byte as eight binary digits, channel 1 rightmost.
inline QString maskByteText(uint8_t mask)
{
    return QStringLiteral("%1").arg(uint(mask), 8, 2, QLatin1Char('0'));
}

// Binary digits to one mask byte; junk gives 0; above 255 gives 255.
inline int parseMaskByte(const QString &text)
{
    bool ok = false;
    const qulonglong v = text.trimmed().toULongLong(&ok, 2);
    const int low = ok ? int(v & 0xFFFF) : 0;
    return low > 255 ? 255 : low;
}

// Event input k is in use only while every earlier input joins on (Combine != 0).
// With the cursor on an event: opens input k, walking the chain first when asked.
inline bool openEventInput(StoreCursor &c, int k, bool chain)
{
    if (k < 0 || k >= kEventInputCount)
        return false;
    if (chain) {
        for (int i = 0; i < k; ++i) {
            if (!c.open(ItemType::RefEntry, i))
                return false;
            const int combine = c.u16Or(ValueId::Combine, 0);
            c.close();
            if (combine == 0)
                return false;
        }
    }
    return c.open(ItemType::RefEntry, k);
}

} // namespace kelda::detail
