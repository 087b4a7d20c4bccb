#pragma once

#include <QObject>

// One per thread that registers deferred callbacks; runs the deliveries posted to that thread.
class DeferredProxyObject : public QObject
{
    Q_OBJECT
public:
    DeferredProxyObject();

    bool event(QEvent* e) override;
};
