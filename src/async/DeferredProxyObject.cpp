#include "async/DeferredProxyObject.h"

#include "async/DeferredProxyEvent.h"

DeferredProxyObject::DeferredProxyObject()
    : QObject(nullptr)
{
}

bool DeferredProxyObject::event(QEvent* e)
{
    if (e->type() == DeferredProxyEvent::EventType) {
        auto* delivery = static_cast<DeferredProxyEvent*>(e);
        if (delivery->closure)
            delivery->closure();
        return true;
    }
    return QObject::event(e);
}
