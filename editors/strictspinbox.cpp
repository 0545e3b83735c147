#include "strictspinbox.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>

#include <algorithm>
#include <cmath>

namespace {

// Only digits, a sign and (for fractions) the locale's decimal separator: a
// group separator or an exponent is no part of a number typed into a box.
bool plainNumber(const QString &text, const QLocale &locale, bool fraction)
{
    if (text.isEmpty())
        return false;
    for (QChar c : text) {
        const QString s(c);
        if (c.isDigit() || s == locale.negativeSign() || s == locale.positiveSign())
            continue;
        if (fraction && s == locale.decimalPoint())
            continue;
        return false;
    }
    return true;
}

QLocale strictLocale(const QLocale &locale)
{
    QLocale l = locale;
    l.setNumberOptions(QLocale::RejectGroupSeparator);
    return l;
}

QString withUnit(const QString &number, const QString &unit)
{
    return unit.isEmpty() ? number : number + QLatin1Char(' ') + unit;
}

QString rangeText(const QString &min, const QString &max, const QString &unit)
{
    return QStringLiteral("%1 to %2").arg(min, withUnit(max, unit));
}

bool isCommit(const QKeyEvent *event)
{
    return event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
}

}  // namespace

// ---------------------------------------------------------------- StrictSpinBox

StrictSpinBox::StrictSpinBox(QWidget *parent) : QSpinBox(parent)
{
    // The value changes only with a whole text: while "400" is typed, never 4 or 40.
    setKeyboardTracking(false);
}

bool StrictSpinBox::readText(const QString &text, qint64 &value) const
{
    const QString t = text.trimmed();
    if (!plainNumber(t, locale(), false))
        return false;
    bool ok = false;
    value = strictLocale(locale()).toLongLong(t, &ok);
    return ok;
}

QString StrictSpinBox::numberKind() const
{
    return QStringLiteral("whole number");
}

QString StrictSpinBox::problemOf(const QString &typed) const
{
    const QString text = typed.trimmed();
    const QString range = rangeText(textFromValue(minimum()), textFromValue(maximum()), m_unit);
    qint64 v = 0;
    if (!readText(text, v))
        return QStringLiteral("\"%1\" is not a %2: type one from %3.").arg(text, numberKind(), range);
    if (v < minimum() || v > maximum())
        return QStringLiteral("%1 is out of range: type a number from %2.").arg(text, range);
    return QString();
}

int StrictSpinBox::typedValue() const
{
    qint64 v = 0;
    return readText(text(), v) ? int(std::clamp(v, qint64(minimum()), qint64(maximum()))) : value();
}

// Nothing typed is dropped: text that is no number of the box stays as typed
// and is refused, with its reason, when it is committed.
QValidator::State StrictSpinBox::validate(QString &text, int &) const
{
    return problemOf(text).isEmpty() ? QValidator::Acceptable : QValidator::Intermediate;
}

int StrictSpinBox::valueFromText(const QString &text) const
{
    qint64 v = 0;
    return readText(text, v) ? int(std::clamp(v, qint64(minimum()), qint64(maximum()))) : value();
}

void StrictSpinBox::keyPressEvent(QKeyEvent *event)
{
    // Enter on refused text keeps it, so that a table's commit, which comes
    // after the box has seen the key, still finds what was typed.
    if (isCommit(event)) {
        if (const QString why = problem(); !why.isEmpty()) {
            m_reported = text();
            emit refused(why);
            return;
        }
    }
    QSpinBox::keyPressEvent(event);
}

void StrictSpinBox::focusOutEvent(QFocusEvent *event)
{
    // Leaving refused text puts the value back; said once per text.
    const QString why = text() == m_reported ? QString() : problem();
    QSpinBox::focusOutEvent(event);
    if (!why.isEmpty())
        emit refused(why);
}

// ---------------------------------------------------------------- StrictDoubleSpinBox

StrictDoubleSpinBox::StrictDoubleSpinBox(QWidget *parent) : QDoubleSpinBox(parent)
{
    setKeyboardTracking(false);
}

bool StrictDoubleSpinBox::read(const QString &text, double &value) const
{
    const QString t = text.trimmed();
    if (!plainNumber(t, locale(), true))
        return false;
    bool ok = false;
    value = strictLocale(locale()).toDouble(t, &ok);
    return ok && std::isfinite(value);
}

QString StrictDoubleSpinBox::problemOf(const QString &typed) const
{
    const QString text = typed.trimmed();
    const QLocale l = locale();
    const QString range = rangeText(l.toString(minimum(), 'g', QLocale::FloatingPointShortest),
                                    l.toString(maximum(), 'g', QLocale::FloatingPointShortest), m_unit);
    double v = 0;
    if (!read(text, v))
        return QStringLiteral("\"%1\" is not a number: type one from %2, with \"%3\" before the decimals.")
            .arg(text, range, l.decimalPoint());
    if (v < minimum() || v > maximum())
        return QStringLiteral("%1 is out of range: type a number from %2.").arg(text, range);
    const qsizetype point = text.indexOf(l.decimalPoint());
    if (!m_anyDecimals && point >= 0 && text.size() - point - 1 > decimals())
        return QStringLiteral("%1 has more than %2 decimals: type a number from %3 with at most %2.")
            .arg(text)
            .arg(decimals())
            .arg(range);
    return QString();
}

double StrictDoubleSpinBox::typedValue() const
{
    double v = 0;
    return read(text(), v) ? qBound(minimum(), v, maximum()) : value();
}

QValidator::State StrictDoubleSpinBox::validate(QString &text, int &) const
{
    return problemOf(text).isEmpty() ? QValidator::Acceptable : QValidator::Intermediate;
}

double StrictDoubleSpinBox::valueFromText(const QString &text) const
{
    double v = 0;
    return read(text, v) ? qBound(minimum(), v, maximum()) : value();
}

void StrictDoubleSpinBox::keyPressEvent(QKeyEvent *event)
{
    // Enter on refused text keeps it, so that a table's commit, which comes
    // after the box has seen the key, still finds what was typed.
    if (isCommit(event)) {
        if (const QString why = problem(); !why.isEmpty()) {
            m_reported = text();
            emit refused(why);
            return;
        }
    }
    QDoubleSpinBox::keyPressEvent(event);
}

void StrictDoubleSpinBox::focusOutEvent(QFocusEvent *event)
{
    // Leaving refused text puts the value back; said once per text.
    const QString why = text() == m_reported ? QString() : problem();
    QDoubleSpinBox::focusOutEvent(event);
    if (!why.isEmpty())
        emit refused(why);
}
