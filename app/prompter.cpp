#include "prompter.h"

#include <QDialog>

QMessageBox::StandardButton Prompter::ask(QWidget *parent, QMessageBox::Icon icon, const QString &title,
                                          const QString &text, QMessageBox::StandardButtons buttons)
{
    QMessageBox box(icon, title, text, buttons, parent);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

void Prompter::tell(QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &text)
{
    QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
    box.exec();
}

QString Prompter::openFileName(QWidget *parent, const QString &caption, const QString &dir, const QString &filter)
{
    return QFileDialog::getOpenFileName(parent, caption, dir, filter);
}

QString Prompter::saveFileName(QWidget *parent, const QString &caption, const QString &dir, const QString &filter,
                               QFileDialog::Options options)
{
    return QFileDialog::getSaveFileName(parent, caption, dir, filter, nullptr, options);
}

int Prompter::exec(QDialog *dialog)
{
    return dialog->exec();
}
