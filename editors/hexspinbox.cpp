#include "hexspinbox.h"

#include <limits>

#include <QRegularExpression>
#include <QRegularExpressionValidator>

#include "schema.h"

namespace {

// Reads digits of one base completely; false on any other character or none.
bool readDigits(QStringView digits, int base, quint64 &out)
{
    if (digits.isEmpty())
        return false;
    quint64 value = 0;
    for (QChar c : digits) {
        int d;
        if (c >= u'0' && c <= u'9')
            d = c.unicode() - u'0';
        else if (c >= u'a' && c <= u'f')
            d = c.unicode() - u'a' + 10;
        else if (c >= u'A' && c <= u'F')
            d = c.unicode() - u'A' + 10;
        else
            return false;
        if (d >= base)
            return false;
        value = value * base + d;
        if (value > 0xFFFFFFFFull)
            return false;
    }
    out = value;
    return true;
}

} // namespace

HexSpinBox::HexSpinBox(QWidget *parent)
    : QSpinBox(parent)
    , validator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9A-Fa-fXx]{1,8}")), this))
{
    setRange(0, kelda::kRebroadcastMax);
}

QValidator::State HexSpinBox::validate(QString &text, int &pos) const
{
    return validator->validate(text, pos);
}

int HexSpinBox::valueFromText(const QString &text) const
{
    // C conventions: "0x"/"0X" hexadecimal, a leading "0" octal, else decimal.
    // Text that is not wholly such a number reads as 0; the range clamps later.
    const QStringView t(text);
    quint64 value = 0;
    bool ok;
    if (t.startsWith(u"0x") || t.startsWith(u"0X"))
        ok = readDigits(t.mid(2), 16, value);
    else if (t.startsWith(u'0'))
        ok = readDigits(t, 8, value);
    else
        ok = readDigits(t, 10, value);
    if (!ok)
        return 0;
    return value > quint64(std::numeric_limits<int>::max()) ? std::numeric_limits<int>::max()
                                                            : int(value);
}

QString HexSpinBox::textFromValue(int value) const
{
    return QStringLiteral("0x") + QStringLiteral("%1").arg(uint(value), 3, 16, QLatin1Char('0')).toUpper();
}
