// Preloaded into a program under test: an open of a path under
// $OL_HUNG_SHARE never returns, as on a network share that hung after it
// answered stat(). Every other open goes through.
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool onHungShare(const char* path)
{
    static const char* const share = std::getenv("OL_HUNG_SHARE");
    return share && *share && path && std::strncmp(path, share, std::strlen(share)) == 0;
}

template<typename Open, typename... Args>
int through(const char* name, const char* path, Args... args)
{
    while (onHungShare(path))
        ::pause();
    static const auto real = reinterpret_cast<Open>(::dlsym(RTLD_NEXT, name));
    return real(args...);
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
        return through<int (*)(const char*, int, mode_t)>(#name, path, path, flags, mode);               \
    }
#define OL_OPENAT(name)                                                                                  \
    extern "C" int name(int dir, const char* path, int flags, ...)                                       \
    {                                                                                                    \
        va_list rest;                                                                                    \
        va_start(rest, flags);                                                                           \
        const mode_t mode = modeOf(flags, rest);                                                         \
        va_end(rest);                                                                                    \
        return through<int (*)(int, const char*, int, mode_t)>(#name, path, dir, path, flags, mode);     \
    }

OL_OPEN(open)
OL_OPEN(open64)
OL_OPENAT(openat)
OL_OPENAT(openat64)
