// HexSpinBox: an integer spin box that shows "0x" hexadecimal and reads what
// it shows: hexadecimal digits with or without "0x".
#pragma once

#include <QSpinBox>

class QRegularExpressionValidator;

class HexSpinBox : public QSpinBox
{
    Q_OBJECT

public:
    explicit HexSpinBox(QWidget *parent = nullptr);

protected:
    QValidator::State validate(QString &text, int &pos) const override;
    int valueFromText(const QString &text) const override;
    QString textFromValue(int value) const override;

public:
    // The value of hexadecimal text with or without "0x"; false when the text is
    // no such number.
    static bool readHex(const QString &text, int &value);

private:
    QRegularExpressionValidator *validator;
};
