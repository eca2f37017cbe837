#pragma once

#include <QLineEdit>
#include <QMessageBox>
#include <QString>
#include <QStringList>

#include <functional>

class QDialog;
class QWidget;

// Every modal question the programs ask goes through here: file and folder
// choosers, text and item inputs, yes/no questions, message boxes and the
// modal dialogs the windows build themselves. Without a responder they are
// the ordinary Qt prompts; tests install a responder that answers them, so
// that nothing waits for a person.
class Prompts
{
public:
    enum class Kind {
        OpenFile,
        OpenFiles,
        SaveFile,
        Folder,
        Text,
        Item,
        Integer,
        Question,
        Information,
        Warning,
        Critical,
        Dialog,
    };

    struct Request
    {
        Kind kind = Kind::Information;
        QWidget* parent = nullptr;
        QString title;
        QString text;       // label, message or question
        QString value;      // default text, start folder or file
        QString filter;     // file-name filter
        QStringList items;  // choices of an item input
        int number = 0;     // default of an integer input
        int minimum = 0;
        int maximum = 0;
        QMessageBox::StandardButtons buttons = QMessageBox::Ok;
        QDialog* dialog = nullptr; // the dialog of a Dialog request, ready to be driven
        QLineEdit::EchoMode echo = QLineEdit::Normal; // of a text input
    };

    struct Answer
    {
        bool accepted = false;    // false: the prompt was cancelled
        QString text;             // chosen file, folder, text or item
        QStringList texts;        // chosen files
        int number = 0;           // integer input, or a dialog's result code
        QMessageBox::StandardButton button = QMessageBox::NoButton;
    };

    using Responder = std::function<Answer(const Request&)>;

    // Replaces the real prompts (tests); an empty responder restores them.
    static void setResponder(Responder responder);
    static bool hasResponder();

    // Empty text (or list) when cancelled.
    static QString openFileName(QWidget* parent, const QString& title, const QString& dir = {},
                                const QString& filter = {});
    static QStringList openFileNames(QWidget* parent, const QString& title, const QString& dir = {},
                                     const QString& filter = {});
    static QString saveFileName(QWidget* parent, const QString& title, const QString& dir = {},
                                const QString& filter = {});
    static QString existingDirectory(QWidget* parent, const QString& title, const QString& dir = {});

    // ok (when given) tells whether the input was accepted.
    static QString text(QWidget* parent, const QString& title, const QString& label,
                        const QString& value = {}, bool* ok = nullptr,
                        QLineEdit::EchoMode echo = QLineEdit::Normal);
    static QString item(QWidget* parent, const QString& title, const QString& label,
                        const QStringList& items, int current = 0, bool* ok = nullptr);
    static int integer(QWidget* parent, const QString& title, const QString& label, int value,
                       int minimum, int maximum, bool* ok = nullptr);

    static QMessageBox::StandardButton question(
        QWidget* parent, const QString& title, const QString& text,
        QMessageBox::StandardButtons buttons = QMessageBox::Yes | QMessageBox::No,
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);
    static void information(QWidget* parent, const QString& title, const QString& text);
    static void warning(QWidget* parent, const QString& title, const QString& text);
    static void critical(QWidget* parent, const QString& title, const QString& text);

    // Runs a modal dialog (QDialog::exec) and returns its result code. A
    // responder gets the dialog to drive and returns the result in number.
    static int exec(QDialog& dialog);

private:
    static Answer respond(const Request& request);
};
