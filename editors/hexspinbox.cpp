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

}  // namespace

HexSpinBox::HexSpinBox(QWidget *parent)
    : QSpinBox(parent),
      validator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9A-Fa-fXx]{1,8}")), this))
{
    setRange(0, kelda::kRebroadcastMax);
}

QValidator::State HexSpinBox::validate(QString &text, int &pos) const
{
    const QValidator::State shape = validator->validate(text, pos);
    if (shape != QValidator::Acceptable)
        return shape;
    // A prefix alone may still become a number; anything else must be one in range.
    if (text.compare(QLatin1String("0x"), Qt::CaseInsensitive) == 0)
        return QValidator::Intermediate;
    int value = 0;
    if (!readHex(text, value) || value > maximum())
        return QValidator::Invalid;
    return value < minimum() ? QValidator::Intermediate : QValidator::Acceptable;
}

int HexSpinBox::valueFromText(const QString &text) const
{
    // Only text that validate() accepted gets here; the range clamps anything else.
    int value = 0;
    return readHex(text, value) ? value : 0;
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
