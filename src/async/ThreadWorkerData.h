#pragma once

#include "async/Deferred.h"
#include "async/ThreadWorkerObjectData.h"

#include <QMap>
#include <QPointer>
#include <QSharedData>
#include <QString>
#include <QThread>

#include <functional>

// The state that every copy of one ThreadWorker handle shares: the thread and its worker
// object. Drive one worker from one thread at a time.
class ThreadWorkerData : public QSharedData
{
public:
    ThreadWorkerData();
    ThreadWorkerData(const ThreadWorkerData&) = delete;
    ThreadWorkerData& operator=(const ThreadWorkerData&) = delete;
    ~ThreadWorkerData();

    bool execInThread(const std::function<void ()>& closure, const Qt::EventPriority& priority);
    int startLoopInThread(const std::function<void ()>& function, const unsigned int& interval);
    Deferred<> stopLoopInThread(const int& id);
    Deferred<> stopAllLoopsInThread();
    Deferred<> quitThread();
    bool moveQObjectToThread(QObject* object);
    QString getThreadId() const;
    QThread* getThread() const;

    ThreadWorkerObjectData* workerObject() const { return m_object.data(); }

private:
    bool accepting() const;
    // afterStop, if given, runs in the worker thread once the loops are stopped.
    void postStopAll(const Deferred<>& result, const std::function<void ()>& afterStop);

    // Both delete themselves once the thread has finished, possibly while handles remain.
    QPointer<QThread> m_thread;
    QPointer<ThreadWorkerObjectData> m_object;
    QString m_threadId;
    QMap<int, int> m_loopTable;
    int m_lastLoopId = 0;
    bool m_quitting = false;
};
