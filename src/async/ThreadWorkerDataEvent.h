#pragma once

#include <QEvent>

#include <functional>

// Carries one closure to the worker object of a ThreadWorker.
class ThreadWorkerDataEvent : public QEvent
{
public:
    static constexpr QEvent::Type EventType = static_cast<QEvent::Type>(QEvent::User + 666);

    ThreadWorkerDataEvent();
    ~ThreadWorkerDataEvent() override;

    std::function<void ()> closure;
};
