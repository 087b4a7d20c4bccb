#pragma once

#include "async/ThreadWorker.h"

#include <QSemaphore>

#include <memory>

// A worker thread kept busy until released, as a slow disk holds up a write: what is handed to it
// waits behind the hold. Released at the latest when the fixture goes, so the thread can end.
class HeldWorker
{
public:
    HeldWorker()
    {
        auto gate = m_gate;
        auto holding = std::make_shared<QSemaphore>();
        m_held = m_worker.execInThread([gate, holding] {
            holding->release();
            gate->acquire();
        }) && holding->tryAcquire(1, 5000);
    }
    ~HeldWorker() { release(); }
    HeldWorker(const HeldWorker &) = delete;
    HeldWorker &operator=(const HeldWorker &) = delete;

    // False if the thread never took up the hold.
    bool isHeld() const { return m_held; }
    ThreadWorker &worker() { return m_worker; }

    void release()
    {
        if (m_held)
            m_gate->release();
        m_held = false;
    }

private:
    ThreadWorker m_worker;
    std::shared_ptr<QSemaphore> m_gate = std::make_shared<QSemaphore>();
    bool m_held = false;
};
