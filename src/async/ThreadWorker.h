#pragma once

#include "async/Deferred.h"

#include <QExplicitlySharedDataPointer>
#include <QString>

#include <functional>

class QObject;
class QThread;
class ThreadWorkerData;

// Handle to a thread of its own that runs posted closures and periodic loop functions.
// Copies share one worker; the last handle gone asks the thread to quit.
class ThreadWorker
{
public:
    ThreadWorker();
    ThreadWorker(const ThreadWorker& other);
    ThreadWorker& operator=(const ThreadWorker& other);
    ~ThreadWorker();

    // False when the worker is quitting or its thread is not running.
    bool execInThread(const std::function<void ()>& closure,
                      const Qt::EventPriority& priority = Qt::NormalEventPriority);
    // The loop id (1, 2, ...), or -1 when refused; the function first runs one interval later.
    int startLoopInThread(const std::function<void ()>& function, const unsigned int& interval);
    Deferred<> stopLoopInThread(const int& id);
    Deferred<> stopAllLoopsInThread();
    // Stops the loops, lets the closures already posted run, then ends the thread;
    // resolves when the thread has finished.
    Deferred<> quitThread();
    bool moveQObjectToThread(QObject* object);
    QString getThreadId() const;
    QThread* getThread() const;

    ThreadWorkerData* data() const { return d.data(); }

private:
    QExplicitlySharedDataPointer<ThreadWorkerData> d;
};
