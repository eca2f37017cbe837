#include "promptscript.h"

#include <QDebug>
#include <QDialog>

PromptScript::PromptScript()
{
    Prompts::setResponder([this](const Prompts::Request& r) { return respond(r); });
}

PromptScript::~PromptScript()
{
    installDefault();
}

void PromptScript::installDefault()
{
    Prompts::setResponder([](const Prompts::Request& r) {
        qWarning().noquote() << "unanswered prompt:" << r.title << r.text;
        return Prompts::Answer{};
    });
}

void PromptScript::answer(Prompts::Kind kind, const Prompts::Answer& a)
{
    m_queue.append({{kind}, [a](const Prompts::Request&) { return a; }});
}

void PromptScript::answerFile(const QString& path)
{
    m_queue.append({{Prompts::Kind::OpenFile, Prompts::Kind::SaveFile},
                    [path](const Prompts::Request&) { return Prompts::Answer{.accepted = true, .text = path}; }});
}

void PromptScript::answerFiles(const QStringList& paths)
{
    answer(Prompts::Kind::OpenFiles, {.accepted = true, .texts = paths});
}

void PromptScript::answerFolder(const QString& path)
{
    answer(Prompts::Kind::Folder, {.accepted = true, .text = path});
}

void PromptScript::answerText(const QString& text)
{
    m_queue.append({{Prompts::Kind::Text, Prompts::Kind::Item},
                    [text](const Prompts::Request&) { return Prompts::Answer{.accepted = true, .text = text}; }});
}

void PromptScript::answerInteger(int value)
{
    answer(Prompts::Kind::Integer, {.accepted = true, .number = value});
}

void PromptScript::answerButton(QMessageBox::StandardButton button)
{
    answer(Prompts::Kind::Question, {.accepted = true, .button = button});
}

void PromptScript::answerDialog(std::function<int(QDialog&)> driver)
{
    m_queue.append({{Prompts::Kind::Dialog}, [driver](const Prompts::Request& r) {
                        return Prompts::Answer{.accepted = true, .number = driver(*r.dialog)};
                    }});
}

int PromptScript::count(Prompts::Kind kind) const
{
    return int(std::count_if(m_asked.begin(), m_asked.end(),
                             [kind](const Asked& a) { return a.kind == kind; }));
}

QStringList PromptScript::messages() const
{
    QStringList out;
    for (const Asked& a : m_asked) {
        switch (a.kind) {
        case Prompts::Kind::Question:
        case Prompts::Kind::Information:
        case Prompts::Kind::Warning:
        case Prompts::Kind::Critical:
            out << a.text;
            break;
        default:
            break;
        }
    }
    return out;
}

Prompts::Answer PromptScript::respond(const Prompts::Request& request)
{
    const bool isMessage = request.kind == Prompts::Kind::Information
                           || request.kind == Prompts::Kind::Warning
                           || request.kind == Prompts::Kind::Critical;
    for (qsizetype i = 0; i < m_queue.size(); ++i) {
        if (!m_queue[i].kinds.contains(request.kind))
            continue;
        const Queued q = m_queue.takeAt(i);
        m_asked.append({request.kind, request.title, request.text, true});
        return q.make(request);
    }
    // A message box needs no answer; anything else unasked for is cancelled.
    m_asked.append({request.kind, request.title, request.text, isMessage});
    if (!isMessage)
        qWarning().noquote() << "prompt cancelled, no answer queued:" << request.title << request.text;
    return {};
}
