#pragma once

#include <QMap>
#include <QMutex>
#include <QObject>

#include <functional>

class QThread;
class DeferredProxyObject;

// What every deferred instantiation shares: its states, the per-thread proxy registry
// and the registration step of joins.
class DeferredDataBase
{
public:
    enum State {
        Pending = 0,
        Resolved = 1,
        Rejected = 2
    };

    // The proxy object of `thread`, created (in the calling thread) on the first request.
    static DeferredProxyObject* getObjectForThread(QThread* thread);

    // The proxy object of `thread` if it has one; never creates one. Settling uses this so
    // that a thread that has finished gets no new proxy living in some other thread.
    static DeferredProxyObject* findObjectForThread(QThread* thread);

    // Registers `done` as a doneZero and `fail` as a failZero callback on each deferred,
    // first argument first.
    template <typename... D>
    static void whenInternal(std::function<void ()> done, std::function<void ()> fail, D... deferreds);

private:
    static void onThreadFinished(QThread* thread);
    static void releaseExitingThreadProxy();

    static QMutex s_mutex;
    static QMap<QThread*, DeferredProxyObject*> s_threadMap;
    static QObject s_objExitCleaner;
};
