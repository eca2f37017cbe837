#pragma once

#include "dialogs/prompts.h"

#include <QList>

#include <functional>

class QDialog;

// Answers the programs' prompts in a test. Answers are queued per kind and
// taken in order; a prompt with no queued answer is cancelled (a dialog
// rejected). Every prompt is recorded, answered or not. While no script
// exists, every prompt is cancelled and reported as a warning.
class PromptScript
{
public:
    PromptScript();
    ~PromptScript();
    PromptScript(const PromptScript&) = delete;
    PromptScript& operator=(const PromptScript&) = delete;

    void answer(Prompts::Kind kind, const Prompts::Answer& answer);
    // Shorthands for the usual answers.
    void answerFile(const QString& path);         // open or save, whichever comes
    void answerFiles(const QStringList& paths);
    void answerFolder(const QString& path);
    void answerText(const QString& text);         // text or item input
    void answerInteger(int value);
    void answerButton(QMessageBox::StandardButton button);
    // The driver gets the dialog (not shown) and returns its result code.
    void answerDialog(std::function<int(QDialog&)> driver);

    struct Asked
    {
        Prompts::Kind kind;
        QString title;
        QString text;
        bool answered;
    };
    const QList<Asked>& asked() const { return m_asked; }
    int count(Prompts::Kind kind) const;
    // The texts of the message boxes and questions so far, in order.
    QStringList messages() const;

    // Installs the refusing responder (done by the test main).
    static void installDefault();

private:
    Prompts::Answer respond(const Prompts::Request& request);

    struct Queued
    {
        QList<Prompts::Kind> kinds;
        std::function<Prompts::Answer(const Prompts::Request&)> make;
    };
    QList<Queued> m_queue;
    QList<Asked> m_asked;
};
