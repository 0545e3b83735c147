// Cell texts: conversions between stored codes and the texts and numbers the
// tables, the command line and the report show. Plain functions over values;
// nothing here reads the store.
#pragma once

#include <QString>
#include <QStringList>

#include <cmath>
#include <cstdint>

#include "schema.h"

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

// Rounds to the nearest whole number and keeps the low 16 bits, as truncLow16.
inline int roundLow16(double v)
{
    return std::isfinite(v) ? truncLow16(std::round(v)) : 0;
}

inline QString canCodeText(int id)
{
    return QLatin1String("0x") + QString::number(uint(id), 16).toUpper().rightJustified(3, QLatin1Char('0'));
}

// A CAN identifier as typed: "0x" or "0X" and hexadecimal digits, or decimal
// digits (a leading zero is not octal). False for anything else and for
// identifiers above 11 bits, so that no text becomes another identifier.
inline bool parseCanCode(const QString &text, int &out)
{
    const QString t = text.trimmed();
    const bool hex = t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive);
    const QStringView digits = hex ? QStringView(t).mid(2) : QStringView(t);
    if (digits.isEmpty() || digits.size() > 8)
        return false;
    for (QChar ch : digits) {
        const char16_t c = ch.unicode();
        const bool digit = c >= u'0' && c <= u'9';
        const bool letter = (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
        if (!(digit || (hex && letter)))
            return false;
    }
    bool ok = false;
    const qulonglong v = digits.toULongLong(&ok, hex ? 16 : 10);
    if (!ok || v > qulonglong(kMaxCanId))
        return false;
    out = int(v);
    return true;
}

// One lookup for every table of (code, text) choices.
template <typename Choices>
QString choiceText(const Choices &choices, int code)
{
    for (const auto &c : choices)
        if (c.code == code)
            return QLatin1String(c.text);
    return QString();
}
template <typename Choices>
int choiceCode(const Choices &choices, const QString &text, int fallback)
{
    for (const auto &c : choices)
        if (text == QLatin1String(c.text))
            return c.code;
    return fallback;
}
template <typename Choices>
QStringList choiceTexts(const Choices &choices)
{
    QStringList l;
    for (const auto &c : choices)
        l << QLatin1String(c.text);
    return l;
}

inline QString byteSelectText(int code)
{
    return choiceText(kByteSelectChoices, code);
}
inline int byteSelectCode(const QString &text)
{
    return choiceCode(kByteSelectChoices, text, 1);
}
inline QStringList byteSelectTexts()
{
    return choiceTexts(kByteSelectChoices);
}

inline QString canCompareText(int code)
{
    return choiceText(kCanCompareChoices, code);
}
inline int canCompareCode(const QString &text)
{
    return choiceCode(kCanCompareChoices, text, 1);
}
inline QStringList canCompareTexts()
{
    return choiceTexts(kCanCompareChoices);
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

// Seconds to the nearest 5 ms tick.
inline int secondsToTicks(double seconds)
{
    return roundLow16(seconds * 1000 / kTickMs);
}
// The longest run time a timer holds: 65535 ticks.
constexpr double kMaxTimerSeconds = 0xFFFF * kTickMs / 1000.0;
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

// One to eight binary digits to one mask byte; false for anything else, so a
// ninth digit or a blank never switches other channels.
inline bool parseMaskByte(const QString &text, int &out)
{
    const QString t = text.trimmed();
    if (t.isEmpty() || t.size() > kLx1ChannelCount)
        return false;
    int v = 0;
    for (QChar ch : t) {
        if (ch != u'0' && ch != u'1')
            return false;
        v = v * 2 + (ch == u'1' ? 1 : 0);
    }
    out = v;
    return true;
}

}  // namespace kelda::detail
