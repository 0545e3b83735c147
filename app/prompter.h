// Every question, file dialog, message box and modal dialog of the main window
// goes through a Prompter, so that tests can answer them without a modal loop.
#pragma once

#include <QFileDialog>
#include <QMessageBox>
#include <QString>
#include <QStringList>

class QDialog;
class QWidget;

class Prompter
{
public:
    virtual ~Prompter() = default;

    virtual QMessageBox::StandardButton ask(QWidget *parent, QMessageBox::Icon icon, const QString &title,
                                            const QString &text, QMessageBox::StandardButtons buttons);
    virtual void tell(QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &text);
    // A question whose answers are named buttons (the first is the default);
    // returns the index of the one chosen, -1 when the box was closed otherwise.
    virtual int choose(QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &text,
                       const QStringList &buttons);
    virtual QString openFileName(QWidget *parent, const QString &caption, const QString &dir, const QString &filter);
    virtual QString saveFileName(QWidget *parent, const QString &caption, const QString &dir, const QString &filter,
                                 QFileDialog::Options options = {});
    // Runs a modal dialog (editors, upload, COM port, About) and returns its result.
    virtual int exec(QDialog *dialog);
};
