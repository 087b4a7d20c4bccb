#include "async/DeferredDataBase.h"

#include "async/DeferredProxyObject.h"

#include <QDebug>
#include <QThread>

// Construction order matters: the lock, then the registry, then the exit marker.
QMutex DeferredDataBase::s_mutex;
QMap<QThread*, DeferredProxyObject*> DeferredDataBase::s_threadMap;
QObject DeferredDataBase::s_objExitCleaner;

DeferredProxyObject* DeferredDataBase::getObjectForThread(QThread* thread)
{
    static bool isFirstTime = true;

    QMutexLocker locker(&s_mutex);
    // Tested under the registry lock: the first request may come from any thread.
    if (isFirstTime) {
        isFirstTime = false;
        QObject::connect(&s_objExitCleaner, &QObject::destroyed, &s_objExitCleaner,
                         [] {
                             qDebug("DeferredDataBase was deleted.");
                             releaseExitingThreadProxy();
                         }, Qt::DirectConnection);
    }

    DeferredProxyObject* proxy = s_threadMap.value(thread, nullptr);
    if (!proxy) {
        QObject::connect(thread, &QThread::finished, thread,
                         [thread] { onThreadFinished(thread); }, Qt::DirectConnection);
        proxy = new DeferredProxyObject;
        s_threadMap.insert(thread, proxy);
    }
    return proxy;
}

DeferredProxyObject* DeferredDataBase::findObjectForThread(QThread* thread)
{
    QMutexLocker locker(&s_mutex);
    return s_threadMap.value(thread, nullptr);
}

void DeferredDataBase::releaseExitingThreadProxy()
{
    // The thread that runs the static clean-up (the main thread) never emits finished;
    // release its proxy here. Proxies of threads still running are left alone.
    QThread* const exiting = s_objExitCleaner.thread();
    DeferredProxyObject* proxy = nullptr;
    {
        QMutexLocker locker(&s_mutex);
        proxy = s_threadMap.take(exiting);
    }
    delete proxy;
}

void DeferredDataBase::onThreadFinished(QThread* thread)
{
    DeferredProxyObject* proxy = nullptr;
    {
        QMutexLocker locker(&s_mutex);
        proxy = s_threadMap.take(thread);
    }
    if (proxy)
        proxy->deleteLater();
}
