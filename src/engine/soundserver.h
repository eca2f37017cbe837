#pragma once

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
