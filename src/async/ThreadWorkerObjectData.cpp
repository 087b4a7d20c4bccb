#include "async/ThreadWorkerObjectData.h"

#include "async/ThreadWorkerDataEvent.h"

#include <QTimerEvent>

ThreadWorkerObjectData::ThreadWorkerObjectData()
    : QObject(nullptr)
{
}

ThreadWorkerObjectData::~ThreadWorkerObjectData() = default;

void ThreadWorkerObjectData::incrementCallbackCount()
{
    QMutexLocker locker(&m_countLock);
    ++m_pendingCount;
}

int ThreadWorkerObjectData::decrementCallbackCount()
{
    QMutexLocker locker(&m_countLock);
    return --m_pendingCount;
}

int ThreadWorkerObjectData::pendingCount() const
{
    QMutexLocker locker(&m_countLock);
    return m_pendingCount;
}

bool ThreadWorkerObjectData::event(QEvent* e)
{
    if (e->type() != ThreadWorkerDataEvent::EventType)
        return QObject::event(e);

    auto* work = static_cast<ThreadWorkerDataEvent*>(e);
    work->closure();
    if (decrementCallbackCount() == 0)
        emit finishedProcessingCallbacks();
    return true;
}

void ThreadWorkerObjectData::timerEvent(QTimerEvent* e)
{
    const auto it = functionTable.constFind(e->timerId());
    if (it != functionTable.constEnd())
        it.value()();
}
