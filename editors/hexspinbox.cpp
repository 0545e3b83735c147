#include "hexspinbox.h"

#include <limits>

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

}  // namespace

HexSpinBox::HexSpinBox(QWidget *parent) : StrictSpinBox(parent)
{
    setRange(0, kelda::kRebroadcastMax);
}

bool HexSpinBox::readText(const QString &text, qint64 &value) const
{
    int v = 0;
    // Blanks around the number, as the box's check allows them.
    if (!readHex(text.trimmed(), v))
        return false;
    value = v;
    return true;
}

QString HexSpinBox::numberKind() const
{
    return QStringLiteral("hexadecimal number");
}

bool HexSpinBox::readHex(const QString &text, int &value)
{
    QStringView t(text);
    if (t.startsWith(u"0x") || t.startsWith(u"0X"))
        t = t.mid(2);
    quint64 v = 0;
    if (!readDigits(t, 16, v) || v > quint64(std::numeric_limits<int>::max()))
        return false;
    value = int(v);
    return true;
}

QString HexSpinBox::textFromValue(int value) const
{
    return QStringLiteral("0x") + QStringLiteral("%1").arg(uint(value), 3, 16, QLatin1Char('0')).toUpper();
}
