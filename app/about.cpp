#include "about.h"
#include "ui_about.h"

#include <QDate>
#include <QIcon>
#include <QLocale>
#include <QTime>
#include <QTimeZone>
#include <QtGlobal>

#include "buildinfo.h"
#include "texts.h"

About::About(QWidget *parent) : QDialog(parent), ui(new Ui::HelpAbout)
{
    ui->setupUi(this);
    // Relative to the working directory, as the program has always looked for it.
    setWindowIcon(QIcon(QStringLiteral("Resources/ostrel2007 32+16.ico")));

    ui->labelProduct->setText(kelda::texts::title());
    ui->labelVersion->setText(versionText());
    ui->labelBuildDate->setText(buildDateText());
    ui->labelCopyright->setText(tr("Copyright %1 Ostrel").arg(buildDateTime().date().year()));
    ui->label->setText(tr("This program links dynamically to Qt %1,\nwhich is copyright The Qt Company Ltd.")
                           .arg(QString::fromLatin1(qVersion())));

    connect(ui->OKButton, &QPushButton::clicked, this, &QDialog::close);
}

About::~About()
{
    delete ui;
}

QString About::versionText()
{
    // The trailing blank has always been part of the text.
    return QString::fromLatin1(kelda::kVersion) + QLatin1Char(' ');
}

QDateTime About::buildDateTime()
{
    QDateTime when;
    when = QDateTime::fromString(QString::fromLatin1(kelda::kBuildTimestampUtc), Qt::ISODate);
    when.setTimeZone(QTimeZone::utc());
    if (!when.isValid()) {
        // Compiler's local build time; good enough when no stamp was generated.
        const QString stamp = QStringLiteral(__DATE__ " " __TIME__).simplified();
        when = QLocale::c().toDateTime(stamp, QStringLiteral("MMM d yyyy hh:mm:ss")).toUTC();
    }
    return when.toUTC();
}

QString About::buildDateText()
{
    return buildDateTime().toString(QStringLiteral("yyyy-M-d - hh:mm:ss")) + QStringLiteral("UTC");
}
