#include "prompter.h"

#include <QAbstractButton>
#include <QDialog>
#include <QPushButton>

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

int Prompter::choose(QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &text,
                     const QStringList &buttons)
{
    QMessageBox box(icon, title, text, QMessageBox::NoButton, parent);
    QList<QAbstractButton *> made;
    for (int i = 0; i < buttons.size(); ++i)
        made << box.addButton(buttons.at(i),
                              i == buttons.size() - 1 && buttons.size() > 1 ? QMessageBox::RejectRole
                                                                            : QMessageBox::AcceptRole);
    if (!made.isEmpty())
        box.setDefaultButton(qobject_cast<QPushButton *>(made.first()));
    box.exec();
    return int(made.indexOf(box.clickedButton()));
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
