// Preloaded into a child process: moves its wall clock by VORN_CLOCK_SHIFT_SEC
// seconds (read at every call) and leaves the monotonic clocks alone.
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>

namespace {

long shift()
{
    const char *value = getenv("VORN_CLOCK_SHIFT_SEC");
    return value ? atol(value) : 0;
}

} // namespace

extern "C" int clock_gettime(clockid_t id, struct timespec *ts)
{
    using Real = int (*)(clockid_t, struct timespec *);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "clock_gettime"));
    const int rc = real(id, ts);
    if (rc == 0 && (id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE))
        ts->tv_sec += shift();
    return rc;
}

extern "C" int gettimeofday(struct timeval *tv, void *tz)
{
    using Real = int (*)(struct timeval *, void *);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "gettimeofday"));
    const int rc = real(tv, tz);
    if (rc == 0)
        tv->tv_sec += shift();
    return rc;
}
