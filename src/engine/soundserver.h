#pragma once

#include <QAudioDevice>
#include <QObject>
#include <QString>

struct pa_context;
struct pa_threaded_mainloop;
class QTimer;

// Watches the sound server the players play on (PulseAudio, or PipeWire's
// PulseAudio service): says once when it goes away and once when it answers
// again. While it is gone the players go on in time, unheard; the fixed
// media plug-in puts them back on the server once it answers.
class SoundServer : public QObject
{
    Q_OBJECT

public:
    explicit SoundServer(QObject* parent = nullptr);
    ~SoundServer() override;

    // Starts watching; the first answer is taken quietly.
    void start();
    bool isAnswering() const { return m_answering; }

    // Qt keeps one connection to the server for all its streams, made on
    // the thread of the first stream opened; Qt's own build reacts to its
    // loss only through that thread's event loop. The players open theirs
    // on threads that end with each track: called on the window's thread
    // before any player plays, this makes the connection there, so that a
    // lost server is noticed (the fixed build moves it there itself).
    static void holdQtAudioHere();

    // Qt's device list keeps devices the server no longer has (one removed,
    // all those of a server that restarted), and Qt waits for ever on a
    // stream opened on such a device: what is opened is asked here first,
    // of the server itself.
    enum class Answer {
        Present,
        Absent,
        NoAnswer, // no server answered in time, or the watch knows it gone
    };
    static constexpr int kAnswerTimeoutMs = 1500;
    static Answer has(const QAudioDevice& device);
    // The server answered and does not have it: a device listed by Qt that
    // must not be opened.
    static bool gone(const QAudioDevice& device) { return has(device) == Answer::Absent; }

signals:
    void logMessage(const QString& text);
    void answeringChanged(bool answering);

private:
    static void onContextState(pa_context* context, void* self);
    void connectAgain();
    void dropContext();
    void onAnswered(quint64 attempt);
    void onNotAnswering(quint64 attempt, const QString& reason);
    void setAnswering(bool answering);

    pa_threaded_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;
    // Counts connections, so that a late report of an old one is not taken;
    // changed with the loop locked.
    quint64 m_attempt = 0;
    QTimer* m_retry = nullptr;
    bool m_answering = false;
    bool m_known = false; // answeringChanged has told the state
    bool m_everAnswered = false;
    bool m_said = false; // the loss has been told
};
