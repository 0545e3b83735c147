// HexSpinBox: an integer spin box that shows "0x" hexadecimal and accepts
// hexadecimal, octal or decimal text (C-style prefixes).
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

private:
    QRegularExpressionValidator *validator;
};
