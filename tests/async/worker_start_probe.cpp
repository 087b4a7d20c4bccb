// Makes a worker whose thread cannot start (no address space left for its stack) and
// prints what quitThread gives; for the worker test.
#include "async/ThreadWorker.h"

#include <QCoreApplication>
#include <QFile>
#include <QThread>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);

    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly)) {
        std::puts("no /proc/self/statm");
        return 2;
    }
    const rlim_t mapped = rlim_t(statm.readAll().split(' ').value(0).toULongLong()) * rlim_t(sysconf(_SC_PAGESIZE));
    rlimit before {};
    getrlimit(RLIMIT_AS, &before);
    // Room for small allocations, none for a thread's stack.
    const rlimit tight { mapped + 2 * 1024 * 1024, before.rlim_max };
    if (setrlimit(RLIMIT_AS, &tight) != 0) {
        std::puts("setrlimit refused");
        return 2;
    }
    ThreadWorker worker;
    setrlimit(RLIMIT_AS, &before);

    if (worker.getThread()->isRunning() || worker.getThread()->isFinished()) {
        std::puts("thread started anyway");
        return 2;
    }
    const Deferred<> quit = worker.quitThread();
    const bool resolved = quit.state() == DeferredDataBase::Resolved;
    std::puts(resolved ? "quit resolved" : "quit pending");
    std::fflush(stdout);
    return resolved ? 0 : 1;
}
