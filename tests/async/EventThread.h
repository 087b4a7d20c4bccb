#pragma once

#include <QMetaObject>
#include <QObject>
#include <QThread>

// A second thread running an event loop, and a way to run code in it and wait.
class EventThread
{
public:
    EventThread()
    {
        m_thread.start();
        m_context.moveToThread(&m_thread);
    }
    ~EventThread() { stop(); }

    template <typename F>
    void run(F function)
    {
        QMetaObject::invokeMethod(&m_context, function, Qt::BlockingQueuedConnection);
    }

    void stop()
    {
        m_thread.quit();
        m_thread.wait();
    }

    QThread* thread() { return &m_thread; }

private:
    QThread m_thread;
    QObject m_context;
};
