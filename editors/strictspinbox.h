// Spin boxes that take the whole text the user typed or nothing. While typing,
// no keystroke is dropped (a dropped "0" would turn 400 into 40); on Enter or
// when focus leaves, text that is not one number of the box's range is refused
// with a sentence saying why, and the box goes back to its value.
#pragma once

#include <QDoubleSpinBox>
#include <QSpinBox>

class StrictSpinBox : public QSpinBox
{
    Q_OBJECT

public:
    explicit StrictSpinBox(QWidget *parent = nullptr);

    // Shown after the range in messages: "s", "A"; empty for a count.
    void setUnit(const QString &unit) { m_unit = unit; }
    // Why the text as typed cannot be taken; empty when it can.
    QString problem() const { return problemOf(text()); }
    // The typed number; meaningful when problem() is empty.
    int typedValue() const;

signals:
    // Enter or leaving the box refused the text. Enter keeps the text to be
    // mended; leaving puts the box's value back.
    void refused(const QString &why) const;

protected:
    QValidator::State validate(QString &text, int &pos) const override;
    int valueFromText(const QString &text) const override;
    // Qt's fixup drops group separators: "1,5" would become 15.
    void fixup(QString &) const override { }
    void keyPressEvent(QKeyEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    // The whole text as a number of this box; false when it is none.
    virtual bool readText(const QString &text, qint64 &value) const;
    // "whole number", "hexadecimal number": what the box reads, for messages.
    virtual QString numberKind() const;

private:
    QString problemOf(const QString &text) const;

    QString m_unit;
    QString m_reported;  // the refused text that Enter reported
};

class StrictDoubleSpinBox : public QDoubleSpinBox
{
    Q_OBJECT

public:
    explicit StrictDoubleSpinBox(QWidget *parent = nullptr);

    void setUnit(const QString &unit) { m_unit = unit; }
    // More digits after the decimal separator than the box shows are refused,
    // unless whoever takes the value rounds it and says so (the timers' ticks,
    // the current steps).
    void setAnyDecimals(bool any) { m_anyDecimals = any; }
    QString problem() const { return problemOf(text()); }
    // The typed number, all its digits; meaningful when problem() is empty.
    double typedValue() const;

signals:
    void refused(const QString &why) const;

protected:
    QValidator::State validate(QString &text, int &pos) const override;
    double valueFromText(const QString &text) const override;
    void fixup(QString &) const override { }
    void keyPressEvent(QKeyEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private:
    bool read(const QString &text, double &value) const;
    QString problemOf(const QString &text) const;

    QString m_unit;
    QString m_reported;
    bool m_anyDecimals = false;
};
