// HexSpinBox: an integer spin box that shows "0x" hexadecimal and reads what
// it shows: hexadecimal digits with or without "0x". Like every strict box it
// keeps what is typed and refuses, with the reason, text it cannot read or a
// value outside its range.
#pragma once

#include "strictspinbox.h"

class HexSpinBox : public StrictSpinBox
{
    Q_OBJECT

public:
    explicit HexSpinBox(QWidget *parent = nullptr);

    // The value of hexadecimal text with or without "0x"; false when the text is
    // no such number.
    static bool readHex(const QString &text, int &value);

protected:
    QString textFromValue(int value) const override;
    bool readText(const QString &text, qint64 &value) const override;
    QString numberKind() const override;
};
