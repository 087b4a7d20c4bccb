#include "async/DeferredProxyEvent.h"

DeferredProxyEvent::DeferredProxyEvent()
    : QEvent(EventType)
{
}

DeferredProxyEvent::~DeferredProxyEvent() = default;
