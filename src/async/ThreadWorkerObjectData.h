#pragma once

#include <QMap>
#include <QMutex>
#include <QObject>

#include <functional>

// Lives in a ThreadWorker's thread: runs the posted closures and the loop functions.
class ThreadWorkerObjectData : public QObject
{
    Q_OBJECT
public:
    ThreadWorkerObjectData();
    ~ThreadWorkerObjectData() override;

    void incrementCallbackCount();
    // Returns the count left.
    int decrementCallbackCount();
    int pendingCount() const;

    bool event(QEvent* e) override;

    // Timer id to loop function; used in the worker thread only.
    QMap<int, std::function<void ()> > functionTable;

signals:
    // Emitted in the worker thread whenever the last pending closure has run.
    void finishedProcessingCallbacks();

protected:
    void timerEvent(QTimerEvent* e) override;

private:
    int m_pendingCount = 0;
    mutable QMutex m_countLock;
};
