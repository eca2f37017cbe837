#include "prompts.h"

#include <QDialog>
#include <QFileDialog>
#include <QInputDialog>

namespace {

Prompts::Responder& responderSlot()
{
    static Prompts::Responder responder;
    return responder;
}

} // namespace

void Prompts::setResponder(Responder responder)
{
    responderSlot() = std::move(responder);
}

bool Prompts::hasResponder()
{
    return bool(responderSlot());
}

Prompts::Answer Prompts::respond(const Request& request)
{
    return responderSlot()(request);
}

QString Prompts::openFileName(QWidget* parent, const QString& title, const QString& dir,
                              const QString& filter)
{
    if (!hasResponder())
        return QFileDialog::getOpenFileName(parent, title, dir, filter);
    const Answer a = respond({.kind = Kind::OpenFile, .parent = parent, .title = title,
                              .value = dir, .filter = filter});
    return a.accepted ? a.text : QString();
}

QStringList Prompts::openFileNames(QWidget* parent, const QString& title, const QString& dir,
                                   const QString& filter)
{
    if (!hasResponder())
        return QFileDialog::getOpenFileNames(parent, title, dir, filter);
    const Answer a = respond({.kind = Kind::OpenFiles, .parent = parent, .title = title,
                              .value = dir, .filter = filter});
    return a.accepted ? a.texts : QStringList();
}

QString Prompts::saveFileName(QWidget* parent, const QString& title, const QString& dir,
                              const QString& filter)
{
    if (!hasResponder())
        return QFileDialog::getSaveFileName(parent, title, dir, filter);
    const Answer a = respond({.kind = Kind::SaveFile, .parent = parent, .title = title,
                              .value = dir, .filter = filter});
    return a.accepted ? a.text : QString();
}

QString Prompts::existingDirectory(QWidget* parent, const QString& title, const QString& dir)
{
    if (!hasResponder())
        return QFileDialog::getExistingDirectory(parent, title, dir);
    const Answer a = respond({.kind = Kind::Folder, .parent = parent, .title = title, .value = dir});
    return a.accepted ? a.text : QString();
}

QString Prompts::text(QWidget* parent, const QString& title, const QString& label,
                      const QString& value, bool* ok, QLineEdit::EchoMode echo)
{
    if (!hasResponder())
        return QInputDialog::getText(parent, title, label, echo, value, ok);
    Request request{.kind = Kind::Text, .parent = parent, .title = title, .text = label, .value = value};
    request.echo = echo;
    const Answer a = respond(request);
    if (ok)
        *ok = a.accepted;
    return a.accepted ? a.text : QString();
}

QString Prompts::item(QWidget* parent, const QString& title, const QString& label,
                      const QStringList& items, int current, bool* ok)
{
    if (!hasResponder())
        return QInputDialog::getItem(parent, title, label, items, current, false, ok);
    const Answer a = respond({.kind = Kind::Item, .parent = parent, .title = title, .text = label,
                              .value = items.value(current), .items = items, .number = current});
    if (ok)
        *ok = a.accepted;
    return a.accepted ? a.text : QString();
}

int Prompts::integer(QWidget* parent, const QString& title, const QString& label, int value,
                     int minimum, int maximum, bool* ok)
{
    if (!hasResponder())
        return QInputDialog::getInt(parent, title, label, value, minimum, maximum, 1, ok);
    const Answer a = respond({.kind = Kind::Integer, .parent = parent, .title = title, .text = label,
                              .number = value, .minimum = minimum, .maximum = maximum});
    if (ok)
        *ok = a.accepted;
    return a.accepted ? qBound(minimum, a.number, maximum) : value;
}

QMessageBox::StandardButton Prompts::question(QWidget* parent, const QString& title,
                                              const QString& text,
                                              QMessageBox::StandardButtons buttons,
                                              QMessageBox::StandardButton defaultButton)
{
    if (!hasResponder())
        return QMessageBox::question(parent, title, text, buttons, defaultButton);
    const Answer a = respond({.kind = Kind::Question, .parent = parent, .title = title,
                              .text = text, .buttons = buttons});
    // A cancelled question is the answer a closed box gives: the escape button.
    if (!a.accepted || a.button == QMessageBox::NoButton)
        return buttons.testFlag(QMessageBox::Cancel) ? QMessageBox::Cancel
               : buttons.testFlag(QMessageBox::No)   ? QMessageBox::No
                                                     : QMessageBox::NoButton;
    return a.button;
}

void Prompts::information(QWidget* parent, const QString& title, const QString& text)
{
    if (!hasResponder()) {
        QMessageBox::information(parent, title, text);
        return;
    }
    respond({.kind = Kind::Information, .parent = parent, .title = title, .text = text});
}

void Prompts::warning(QWidget* parent, const QString& title, const QString& text)
{
    if (!hasResponder()) {
        QMessageBox::warning(parent, title, text);
        return;
    }
    respond({.kind = Kind::Warning, .parent = parent, .title = title, .text = text});
}

void Prompts::critical(QWidget* parent, const QString& title, const QString& text)
{
    if (!hasResponder()) {
        QMessageBox::critical(parent, title, text);
        return;
    }
    respond({.kind = Kind::Critical, .parent = parent, .title = title, .text = text});
}

int Prompts::exec(QDialog& dialog)
{
    if (!hasResponder())
        return dialog.exec();
    const Answer a = respond({.kind = Kind::Dialog, .parent = dialog.parentWidget(),
                              .title = dialog.windowTitle(), .dialog = &dialog});
    dialog.setResult(a.number);
    return a.number;
}
