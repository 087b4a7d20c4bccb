#include "async/ThreadWorkerData.h"

#include "async/ThreadWorkerDataEvent.h"
#include "async/ThreadWorkerObjectData.h"

#include <QCoreApplication>
#include <QtGlobal>

ThreadWorkerData::ThreadWorkerData()
    : m_thread(new QThread)
    , m_object(new ThreadWorkerObjectData)
{
    m_threadId = QStringLiteral("QThread(0x%1)").arg(reinterpret_cast<quintptr>(m_thread.data()), 0, 16);
    m_object->moveToThread(m_thread);
    QObject::connect(m_thread, &QThread::finished, m_object, &QObject::deleteLater);
    QObject::connect(m_thread, &QThread::finished, m_thread, &QObject::deleteLater);
    m_thread->start(QThread::InheritPriority);
}

ThreadWorkerData::~ThreadWorkerData()
{
    // Only ask: the thread and its object delete themselves when it has finished.
    if (!m_quitting && m_thread && !m_thread->isFinished())
        m_thread->quit();
}

bool ThreadWorkerData::accepting() const
{
    // Once quitting, the thread object may already be gone: the flag alone decides.
    return !m_quitting && m_thread && m_thread->isRunning() && m_object;
}

bool ThreadWorkerData::execInThread(const std::function<void ()>& closure, const Qt::EventPriority& priority)
{
    if (!accepting())
        return false;
    auto* event = new ThreadWorkerDataEvent;
    event->closure = closure;
    m_object->incrementCallbackCount();
    QCoreApplication::postEvent(m_object, event, priority);
    return true;
}

int ThreadWorkerData::startLoopInThread(const std::function<void ()>& function, const unsigned int& interval)
{
    if (!accepting())
        return -1;
    const int id = ++m_lastLoopId;
    QExplicitlySharedDataPointer<ThreadWorkerData> self(this);
    const int milliseconds = int(interval);
    execInThread([self, function, milliseconds, id] {
        ThreadWorkerObjectData* object = self->m_object;
        const int timerId = object->startTimer(milliseconds, Qt::CoarseTimer);
        self->m_loopTable.insert(id, timerId);
        object->functionTable.insert(timerId, function);
    }, Qt::HighEventPriority);
    return id;
}

Deferred<> ThreadWorkerData::stopLoopInThread(const int& id)
{
    const Deferred<> result;
    if (!accepting()) {
        result.reject();
        return result;
    }
    QExplicitlySharedDataPointer<ThreadWorkerData> self(this);
    const int loopId = id;
    execInThread([self, loopId, result] {
        if (!self->m_loopTable.contains(loopId)) {
            qWarning("ThreadWorker::stopLoopInThread : Invalid loop Id.");
            result.reject();
            return;
        }
        const int timerId = self->m_loopTable.take(loopId);
        self->m_object->functionTable.remove(timerId);
        self->m_object->killTimer(timerId);
        result.resolve();
    }, Qt::HighEventPriority);
    return result;
}

Deferred<> ThreadWorkerData::stopAllLoopsInThread()
{
    const Deferred<> result;
    if (!accepting()) {
        result.reject();
        return result;
    }
    postStopAll(result, nullptr);
    return result;
}

void ThreadWorkerData::postStopAll(const Deferred<>& result, const std::function<void ()>& afterStop)
{
    QExplicitlySharedDataPointer<ThreadWorkerData> self(this);
    execInThread([self, result, afterStop] {
        while (!self->m_loopTable.isEmpty()) {
            const int timerId = self->m_loopTable.take(self->m_loopTable.firstKey());
            self->m_object->functionTable.remove(timerId);
            self->m_object->killTimer(timerId);
        }
        if (afterStop)
            afterStop();
        result.resolve();
    }, Qt::HighEventPriority);
}

Deferred<> ThreadWorkerData::quitThread()
{
    const Deferred<> result;
    // A thread that failed to start never finishes: nothing is left to wait for.
    if (m_quitting || !m_thread || !m_thread->isRunning() || !m_object) {
        result.resolve();
        return result;
    }
    QObject::connect(m_thread, &QThread::finished, m_object, [result] { result.resolve(); }, Qt::AutoConnection);

    // Hooked by the stop-all closure itself in the worker thread, while that closure still
    // counts as pending: the count reaches 0 only afterwards, so the signal that ends the
    // thread cannot be missed. A callback filed under the calling thread would be dropped
    // if that thread ended before the worker got here.
    const QPointer<ThreadWorkerObjectData> object = m_object;
    const QPointer<QThread> thread = m_thread;
    const auto quitWhenIdle = [object, thread] {
        QObject::connect(object, &ThreadWorkerObjectData::finishedProcessingCallbacks, object,
                         [thread] {
                             if (thread)
                                 thread->quit();
                         }, Qt::AutoConnection);
    };
    postStopAll(Deferred<>(), quitWhenIdle);
    m_quitting = true;
    return result;
}

bool ThreadWorkerData::moveQObjectToThread(QObject* object)
{
    if (!accepting() || !object)
        return false;
    object->moveToThread(m_thread);
    return true;
}

QString ThreadWorkerData::getThreadId() const
{
    return m_threadId;
}

QThread* ThreadWorkerData::getThread() const
{
    return m_thread.data();
}
