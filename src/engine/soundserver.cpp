#include "soundserver.h"

#include <QAudioDevice>
#include <QAudioSink>
#include <QDeadlineTimer>
#include <QMediaDevices>
#include <QTimer>

#include <atomic>

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/operation.h>
#include <pulse/thread-mainloop.h>

namespace {

constexpr int kRetryMs = 1000;

const char kPrefix[] = "Sound server: ";

// Set by a watch that saw the server go: a question for a device would
// then only wait out its time, on the caller's thread.
std::atomic<bool> s_knownGone{false};

// One turn of the loop, waiting at most until the deadline; false once it
// has passed or the loop fails.
bool turn(pa_mainloop* loop, const QDeadlineTimer& deadline)
{
    const qint64 leftMs = deadline.remainingTime();
    if (leftMs <= 0)
        return false;
    if (pa_mainloop_prepare(loop, int(leftMs * 1000)) < 0 || pa_mainloop_poll(loop) < 0)
        return false;
    return pa_mainloop_dispatch(loop) >= 0;
}

} // namespace

SoundServer::SoundServer(QObject* parent)
    : QObject(parent)
{
    m_retry = new QTimer(this);
    m_retry->setSingleShot(true);
    m_retry->setInterval(kRetryMs);
    connect(m_retry, &QTimer::timeout, this, &SoundServer::connectAgain);
}

SoundServer::~SoundServer()
{
    if (!m_loop)
        return;
    dropContext();
    pa_threaded_mainloop_stop(m_loop);
    pa_threaded_mainloop_free(m_loop);
}

void SoundServer::start()
{
    if (m_loop)
        return;
    m_loop = pa_threaded_mainloop_new();
    if (!m_loop || pa_threaded_mainloop_start(m_loop) < 0) {
        emit logMessage(QString::fromLatin1(kPrefix) + QStringLiteral("cannot be watched (no thread for it)"));
        if (m_loop)
            pa_threaded_mainloop_free(m_loop);
        m_loop = nullptr;
        return;
    }
    connectAgain();
}

void SoundServer::holdQtAudioHere()
{
    static bool held = false;
    // Without an output Qt opens no stream, and a player could not play.
    if (held || QMediaDevices::audioOutputs().isEmpty())
        return;
    held = true;
    const QAudioDevice device = QMediaDevices::defaultAudioOutput();
    QAudioSink sink(device, device.preferredFormat());
    sink.start();
    sink.reset();
}

void SoundServer::dropContext()
{
    if (!m_context)
        return;
    pa_threaded_mainloop_lock(m_loop);
    pa_context_set_state_callback(m_context, nullptr, nullptr);
    pa_context_disconnect(m_context);
    pa_context_unref(m_context);
    pa_threaded_mainloop_unlock(m_loop);
    m_context = nullptr;
}

void SoundServer::connectAgain()
{
    dropContext();
    pa_threaded_mainloop_lock(m_loop);
    const quint64 attempt = ++m_attempt;
    m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), "Orchidlantern sound server watch");
    bool started = false;
    if (m_context) {
        pa_context_set_state_callback(m_context, &SoundServer::onContextState, this);
        // The server the players reach, found as they find it; never one
        // started for this.
        started = pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
    }
    const QString reason = QString::fromUtf8(pa_strerror(m_context ? pa_context_errno(m_context) : PA_ERR_INTERNAL));
    pa_threaded_mainloop_unlock(m_loop);
    if (!started)
        onNotAnswering(attempt, reason);
}

// On the watch's own thread, with its loop locked.
void SoundServer::onContextState(pa_context* context, void* self)
{
    auto* watch = static_cast<SoundServer*>(self);
    const quint64 attempt = watch->m_attempt;
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
        QMetaObject::invokeMethod(watch, [watch, attempt] { watch->onAnswered(attempt); }, Qt::QueuedConnection);
        break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED: {
        const QString reason = QString::fromUtf8(pa_strerror(pa_context_errno(context)));
        QMetaObject::invokeMethod(watch, [watch, attempt, reason] { watch->onNotAnswering(attempt, reason); },
                                  Qt::QueuedConnection);
        break;
    }
    default:
        break;
    }
}

void SoundServer::onAnswered(quint64 attempt)
{
    if (attempt != m_attempt)
        return;
    if (m_said)
        emit logMessage(QString::fromLatin1(kPrefix)
                        + QStringLiteral("answering again; the players are heard on it within a few seconds"));
    m_said = false;
    m_everAnswered = true;
    setAnswering(true);
}

void SoundServer::onNotAnswering(quint64 attempt, const QString& reason)
{
    if (attempt != m_attempt)
        return;
    if (!m_said) {
        m_said = true;
        emit logMessage(QString::fromLatin1(kPrefix)
                        + (m_everAnswered ? QStringLiteral("gone (%1); the players go on unheard until it answers "
                                                           "again")
                                          : QStringLiteral("not answering (%1); nothing is heard until it does"))
                              .arg(reason));
    }
    setAnswering(false);
    m_retry->start();
}

void SoundServer::setAnswering(bool answering)
{
    s_knownGone = !answering && m_everAnswered;
    if (m_known && answering == m_answering)
        return;
    m_known = true;
    m_answering = answering;
    emit answeringChanged(answering);
}

SoundServer::Answer SoundServer::has(const QAudioDevice& device)
{
    if (device.isNull())
        return Answer::Absent;
    if (s_knownGone)
        return Answer::NoAnswer;

    const QDeadlineTimer deadline(kAnswerTimeoutMs);
    pa_mainloop* loop = pa_mainloop_new();
    if (!loop)
        return Answer::NoAnswer;
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "Orchidlantern device check");
    Answer answer = Answer::NoAnswer;
    // The server the players reach, found as Qt finds it; none is started
    // for the question.
    if (context && pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        pa_context_state_t state = pa_context_get_state(context);
        while (state != PA_CONTEXT_READY && PA_CONTEXT_IS_GOOD(state) && turn(loop, deadline))
            state = pa_context_get_state(context);
        if (state == PA_CONTEXT_READY) {
            struct Reply
            {
                bool found = false;
                bool done = false;
            } reply;
            const QByteArray name = device.id();
            pa_operation* op = nullptr;
            if (device.mode() == QAudioDevice::Input) {
                op = pa_context_get_source_info_by_name(
                    context, name.constData(),
                    [](pa_context*, const pa_source_info* info, int eol, void* r) {
                        static_cast<Reply*>(r)->found |= info != nullptr;
                        static_cast<Reply*>(r)->done |= eol != 0;
                    },
                    &reply);
            } else {
                op = pa_context_get_sink_info_by_name(
                    context, name.constData(),
                    [](pa_context*, const pa_sink_info* info, int eol, void* r) {
                        static_cast<Reply*>(r)->found |= info != nullptr;
                        static_cast<Reply*>(r)->done |= eol != 0;
                    },
                    &reply);
            }
            if (op) {
                while (!reply.done && pa_operation_get_state(op) == PA_OPERATION_RUNNING && turn(loop, deadline)) {
                }
                pa_operation_unref(op);
            }
            if (reply.done)
                answer = reply.found ? Answer::Present : Answer::Absent;
        }
        pa_context_disconnect(context);
    }
    if (context)
        pa_context_unref(context);
    pa_mainloop_free(loop);
    return answer;
}
