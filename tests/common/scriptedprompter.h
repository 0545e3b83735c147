// Answers the main window's questions, file dialogs and modal dialogs from
// what the test queued, and records everything it was asked and told, so that
// no modal loop ever runs. Header only: Prompter is keldaapp's, and only tests
// that link keldaapp include this.
#pragma once

#include <QDialog>
#include <QList>
#include <QStringList>

#include <functional>
#include <memory>

#include "prompter.h"

namespace kelda::test {

class ScriptedPrompter : public Prompter
{
public:
    struct Message {
        QMessageBox::Icon icon;
        QString title;
        QString text;
        QMessageBox::StandardButtons buttons;  // Ok for what the window only tells
    };
    struct FileDialog {
        QString caption;
        QString dir;
        QString filter;
        QFileDialog::Options options;
    };
    using Answer = std::function<QMessageBox::StandardButton(QMessageBox::StandardButtons)>;

    // Questions and messages: each list on its own, and both in order.
    QList<Message> asked;
    QList<Message> told;
    QList<Message> messages;
    // Answers to the next questions; once it is empty, `otherwise` answers.
    QList<QMessageBox::StandardButton> answers;
    Answer otherwise = answer(QMessageBox::Cancel);
    // Questions with named buttons; their text ends in "[First|Second]".
    QList<Message> chosen;
    QList<int> choices;
    int unqueuedChoice = -1;  // what an empty queue answers: -1 is the box closed

    QList<FileDialog> openCalls;
    QList<FileDialog> saveCalls;
    // Chosen files; an empty queue answers "" (the dialog was cancelled).
    QStringList openAnswers;
    QStringList saveAnswers;

    // Modal dialogs: onExec stands in for the dialog's own loop and gives
    // exec's result; without it the dialog is accepted at once.
    QList<QDialog *> execs;
    std::function<int(QDialog *)> onExec;

    // Always this button.
    static Answer answer(QMessageBox::StandardButton button)
    {
        return [button](QMessageBox::StandardButtons) { return button; };
    }
    // "Yes" when the question offers it, "OK" otherwise.
    static QMessageBox::StandardButton affirmative(QMessageBox::StandardButtons buttons)
    {
        return (buttons & QMessageBox::Yes) ? QMessageBox::Yes : QMessageBox::Ok;
    }
    // Runs the check on the dialog, then accepts it.
    static std::function<int(QDialog *)> accepting(std::function<void(QDialog *)> check)
    {
        return [check = std::move(check)](QDialog *dialog) {
            check(dialog);
            return int(QDialog::Accepted);
        };
    }

    QMessageBox::StandardButton ask(QWidget *, QMessageBox::Icon icon, const QString &title, const QString &text,
                                    QMessageBox::StandardButtons buttons) override
    {
        asked.append({icon, title, text, buttons});
        messages.append(asked.last());
        return answers.isEmpty() ? otherwise(buttons) : answers.takeFirst();
    }
    void tell(QWidget *, QMessageBox::Icon icon, const QString &title, const QString &text) override
    {
        told.append({icon, title, text, QMessageBox::Ok});
        messages.append(told.last());
    }
    int choose(QWidget *, QMessageBox::Icon icon, const QString &title, const QString &text,
               const QStringList &buttons) override
    {
        chosen.append({icon, title, text + QStringLiteral("\n[") + buttons.join(QLatin1Char('|')) + QLatin1Char(']'),
                       QMessageBox::NoButton});
        messages.append(chosen.last());
        return choices.isEmpty() ? unqueuedChoice : choices.takeFirst();
    }
    QString openFileName(QWidget *, const QString &caption, const QString &dir, const QString &filter) override
    {
        openCalls.append({caption, dir, filter, {}});
        return openAnswers.isEmpty() ? QString() : openAnswers.takeFirst();
    }
    QString saveFileName(QWidget *, const QString &caption, const QString &dir, const QString &filter,
                         QFileDialog::Options options) override
    {
        saveCalls.append({caption, dir, filter, options});
        return saveAnswers.isEmpty() ? QString() : saveAnswers.takeFirst();
    }
    int exec(QDialog *dialog) override
    {
        execs.append(dialog);
        return onExec ? onExec(dialog) : int(QDialog::Accepted);
    }
};

// Gives the main window a fresh prompter that answers unqueued questions
// with `otherwise`, and returns it; the window owns it.
template <class Window>
ScriptedPrompter *installPrompter(Window &window, ScriptedPrompter::Answer otherwise)
{
    auto prompter = std::make_unique<ScriptedPrompter>();
    prompter->otherwise = std::move(otherwise);
    ScriptedPrompter *p = prompter.get();
    window.setPrompter(std::move(prompter));
    return p;
}

}  // namespace kelda::test
