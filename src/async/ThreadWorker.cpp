#include "async/ThreadWorker.h"

#include "async/ThreadWorkerData.h"

ThreadWorker::ThreadWorker()
    : d(new ThreadWorkerData)
{
}

ThreadWorker::ThreadWorker(const ThreadWorker& other) = default;
ThreadWorker& ThreadWorker::operator=(const ThreadWorker& other) = default;
ThreadWorker::~ThreadWorker() = default;

bool ThreadWorker::execInThread(const std::function<void ()>& closure, const Qt::EventPriority& priority)
{
    return d->execInThread(closure, priority);
}

int ThreadWorker::startLoopInThread(const std::function<void ()>& function, const unsigned int& interval)
{
    return d->startLoopInThread(function, interval);
}

Deferred<> ThreadWorker::stopLoopInThread(const int& id)
{
    return d->stopLoopInThread(id);
}

Deferred<> ThreadWorker::stopAllLoopsInThread()
{
    return d->stopAllLoopsInThread();
}

Deferred<> ThreadWorker::quitThread()
{
    return d->quitThread();
}

bool ThreadWorker::moveQObjectToThread(QObject* object)
{
    return d->moveQObjectToThread(object);
}

QString ThreadWorker::getThreadId() const
{
    return d->getThreadId();
}

QThread* ThreadWorker::getThread() const
{
    return d->getThread();
}
