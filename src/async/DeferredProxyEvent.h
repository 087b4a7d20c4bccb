#pragma once

#include <QEvent>

#include <functional>

// Carries one callback delivery to the proxy object of the thread that registered it.
class DeferredProxyEvent : public QEvent
{
public:
    static constexpr QEvent::Type EventType = static_cast<QEvent::Type>(QEvent::User + 123);

    DeferredProxyEvent();
    ~DeferredProxyEvent() override;

    std::function<void ()> closure;
};
