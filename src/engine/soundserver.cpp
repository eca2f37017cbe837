#include "engine/soundserver.h"

#include <QDeadlineTimer>

#include <dlfcn.h>

namespace {

// The few calls of PulseAudio's client library this needs, taken from the
// copy Qt Multimedia has loaded: no second copy, and no answer at all
// where Qt does not use it. Their ABI has been fixed for many years.
struct PulseCalls
{
    using InfoCallback = void (*)(void* context, const void* info, int eol, void* userdata);

    void* (*mainloopNew)() = nullptr;
    void (*mainloopFree)(void*) = nullptr;
    void* (*mainloopApi)(void*) = nullptr;
    int (*mainloopPrepare)(void*, int timeoutUs) = nullptr;
    int (*mainloopPoll)(void*) = nullptr;
    int (*mainloopDispatch)(void*) = nullptr;
    void* (*contextNew)(void* api, const char* name) = nullptr;
    int (*contextConnect)(void*, const char* server, int flags, const void* spawnApi) = nullptr;
    int (*contextState)(void*) = nullptr;
    void (*contextDisconnect)(void*) = nullptr;
    void (*contextUnref)(void*) = nullptr;
    void* (*sourceByName)(void*, const char*, InfoCallback, void*) = nullptr;
    void* (*sinkByName)(void*, const char*, InfoCallback, void*) = nullptr;
    int (*operationState)(void*) = nullptr;
    void (*operationUnref)(void*) = nullptr;
    bool loaded = false;

    static constexpr int kNoAutospawn = 1;
    static constexpr int kContextReady = 4;
    static constexpr int kContextFailed = 5;
    static constexpr int kOperationRunning = 0;
};

template<typename F>
bool take(void* lib, const char* name, F& to)
{
    to = reinterpret_cast<F>(dlsym(lib, name));
    return to != nullptr;
}

const PulseCalls& pulse()
{
    static const PulseCalls calls = [] {
        PulseCalls c;
        void* lib = dlopen("libpulse.so.0", RTLD_NOW | RTLD_NOLOAD);
        if (!lib)
            return c;
        c.loaded = take(lib, "pa_mainloop_new", c.mainloopNew) && take(lib, "pa_mainloop_free", c.mainloopFree)
            && take(lib, "pa_mainloop_get_api", c.mainloopApi) && take(lib, "pa_mainloop_prepare", c.mainloopPrepare)
            && take(lib, "pa_mainloop_poll", c.mainloopPoll) && take(lib, "pa_mainloop_dispatch", c.mainloopDispatch)
            && take(lib, "pa_context_new", c.contextNew) && take(lib, "pa_context_connect", c.contextConnect)
            && take(lib, "pa_context_get_state", c.contextState)
            && take(lib, "pa_context_disconnect", c.contextDisconnect) && take(lib, "pa_context_unref", c.contextUnref)
            && take(lib, "pa_context_get_source_info_by_name", c.sourceByName)
            && take(lib, "pa_context_get_sink_info_by_name", c.sinkByName)
            && take(lib, "pa_operation_get_state", c.operationState)
            && take(lib, "pa_operation_unref", c.operationUnref);
        return c;
    }();
    return calls;
}

// One turn of the loop, waiting at most until the deadline; false once it
// has passed or the loop fails.
bool turn(const PulseCalls& pa, void* loop, const QDeadlineTimer& deadline)
{
    const qint64 leftMs = deadline.remainingTime();
    if (leftMs <= 0)
        return false;
    if (pa.mainloopPrepare(loop, int(leftMs * 1000)) < 0 || pa.mainloopPoll(loop) < 0)
        return false;
    return pa.mainloopDispatch(loop) >= 0;
}

} // namespace

SoundServer::Answer SoundServer::has(const QAudioDevice& device)
{
    const PulseCalls& pa = pulse();
    if (!pa.loaded)
        return Answer::Unknown;
    if (device.isNull())
        return Answer::Absent;

    const QDeadlineTimer deadline(kAnswerTimeoutMs);
    void* loop = pa.mainloopNew();
    if (!loop)
        return Answer::NoAnswer;
    void* context = pa.contextNew(pa.mainloopApi(loop), "Orchidlantern device check");
    Answer answer = Answer::NoAnswer;
    // The server the environment names, as Qt's own connection takes it;
    // none is started for the question.
    if (context && pa.contextConnect(context, nullptr, PulseCalls::kNoAutospawn, nullptr) >= 0) {
        int state = pa.contextState(context);
        while (state != PulseCalls::kContextReady && state < PulseCalls::kContextFailed && turn(pa, loop, deadline))
            state = pa.contextState(context);
        if (state == PulseCalls::kContextReady) {
            struct Reply
            {
                bool found = false;
                bool done = false;
            } reply;
            const auto onInfo = [](void*, const void* info, int eol, void* userdata) {
                auto* r = static_cast<Reply*>(userdata);
                if (info)
                    r->found = true;
                if (eol != 0)
                    r->done = true;
            };
            const QByteArray name = device.id();
            void* op = (device.mode() == QAudioDevice::Input ? pa.sourceByName : pa.sinkByName)(
                context, name.constData(), onInfo, &reply);
            if (op) {
                while (!reply.done && pa.operationState(op) == PulseCalls::kOperationRunning && turn(pa, loop, deadline)) {
                }
                pa.operationUnref(op);
            }
            if (reply.done)
                answer = reply.found ? Answer::Present : Answer::Absent;
        }
        pa.contextDisconnect(context);
    }
    if (context)
        pa.contextUnref(context);
    pa.mainloopFree(loop);
    return answer;
}
