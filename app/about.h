// About: product, version, build time and notices.
#pragma once

#include <QDateTime>
#include <QDialog>
#include <QString>

namespace Ui {
class HelpAbout;
}

class About : public QDialog
{
    Q_OBJECT

public:
    explicit About(QWidget *parent = nullptr);
    ~About() override;

    static QString versionText();  // "2.0.15.0 " (the trailing blank is part of it)
    static QDateTime buildDateTime();  // in UTC
    static QString buildDateText();  // "yyyy-M-d - hh:mm:ssUTC"

private:
    Ui::HelpAbout *ui;
};
