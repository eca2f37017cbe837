// Preloaded into a program under test: an open of a path under
// $OL_HUNG_SHARE never returns, as on a network share that hung after it
// answered stat(); with $OL_HUNG_SHARE_DELAY_MS it returns after that many
// milliseconds, as on a share that answers slowly. Every way the program,
// Qt, TagLib and FFmpeg open a file or a folder is covered; every other
// open goes through.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool onHungShare(const char* path)
{
    static const char* const share = std::getenv("OL_HUNG_SHARE");
    return share && *share && path && std::strncmp(path, share, std::strlen(share)) == 0;
}

void waitForShare(const char* path)
{
    if (!onHungShare(path))
        return;
    static const char* const delay = std::getenv("OL_HUNG_SHARE_DELAY_MS");
    const long ms = delay ? std::atol(delay) : 0;
    if (ms <= 0) {
        for (;;)
            ::pause();
    }
    ::usleep(useconds_t(ms) * 1000);
}

template<typename Call>
Call real(const char* name)
{
    return reinterpret_cast<Call>(::dlsym(RTLD_NEXT, name));
}

mode_t modeOf(int flags, va_list& rest)
{
    return (flags & (O_CREAT | O_TMPFILE)) ? mode_t(va_arg(rest, int)) : 0;
}

} // namespace

#define OL_OPEN(name)                                                                                    \
    extern "C" int name(const char* path, int flags, ...)                                                \
    {                                                                                                    \
        va_list rest;                                                                                    \
        va_start(rest, flags);                                                                           \
        const mode_t mode = modeOf(flags, rest);                                                         \
        va_end(rest);                                                                                    \
        waitForShare(path);                                                                              \
        static const auto call = real<int (*)(const char*, int, mode_t)>(#name);                         \
        return call(path, flags, mode);                                                                  \
    }
#define OL_OPENAT(name)                                                                                  \
    extern "C" int name(int dir, const char* path, int flags, ...)                                       \
    {                                                                                                    \
        va_list rest;                                                                                    \
        va_start(rest, flags);                                                                           \
        const mode_t mode = modeOf(flags, rest);                                                         \
        va_end(rest);                                                                                    \
        waitForShare(path);                                                                              \
        static const auto call = real<int (*)(int, const char*, int, mode_t)>(#name);                    \
        return call(dir, path, flags, mode);                                                             \
    }
// The checked forms that _FORTIFY_SOURCE builds call.
#define OL_OPEN_2(name)                                                                                  \
    extern "C" int name(const char* path, int flags)                                                     \
    {                                                                                                    \
        waitForShare(path);                                                                              \
        static const auto call = real<int (*)(const char*, int)>(#name);                                 \
        return call(path, flags);                                                                        \
    }
#define OL_OPENAT_2(name)                                                                                \
    extern "C" int name(int dir, const char* path, int flags)                                            \
    {                                                                                                    \
        waitForShare(path);                                                                              \
        static const auto call = real<int (*)(int, const char*, int)>(#name);                            \
        return call(dir, path, flags);                                                                   \
    }
#define OL_FOPEN(name)                                                                                   \
    extern "C" FILE* name(const char* path, const char* mode)                                            \
    {                                                                                                    \
        waitForShare(path);                                                                              \
        static const auto call = real<FILE* (*)(const char*, const char*)>(#name);                       \
        return call(path, mode);                                                                         \
    }
#define OL_FREOPEN(name)                                                                                 \
    extern "C" FILE* name(const char* path, const char* mode, FILE* stream)                              \
    {                                                                                                    \
        waitForShare(path);                                                                              \
        static const auto call = real<FILE* (*)(const char*, const char*, FILE*)>(#name);                \
        return call(path, mode, stream);                                                                 \
    }
#define OL_CREAT(name)                                                                                   \
    extern "C" int name(const char* path, mode_t mode)                                                   \
    {                                                                                                    \
        waitForShare(path);                                                                              \
        static const auto call = real<int (*)(const char*, mode_t)>(#name);                              \
        return call(path, mode);                                                                         \
    }

OL_OPEN(open)
OL_OPEN(open64)
OL_OPENAT(openat)
OL_OPENAT(openat64)
OL_OPEN_2(__open_2)
OL_OPEN_2(__open64_2)
OL_OPENAT_2(__openat_2)
OL_OPENAT_2(__openat64_2)
OL_FOPEN(fopen)
OL_FOPEN(fopen64)
OL_FREOPEN(freopen)
OL_FREOPEN(freopen64)
OL_CREAT(creat)
OL_CREAT(creat64)

// A folder's listing opens it inside glibc, out of reach of the forms above.
extern "C" DIR* opendir(const char* path)
{
    waitForShare(path);
    static const auto call = real<DIR* (*)(const char*)>("opendir");
    return call(path);
}
