#pragma once

#include "async/Deferred.h"

#include <QMetaObject>
#include <QObject>
#include <QSharedPointer>
#include <QTimer>

namespace Utils {

// The next emission of `signal` of `object` as a deferred. It is rejected when
// `milliseconds` (if greater than 0) pass first, or when the object is destroyed first.
// Signal arguments are ignored. Call it in the object's thread.
template <typename Object, typename Signal>
Deferred<> waitSignal(Object* object, Signal signal, int milliseconds = 0)
{
    const Deferred<> result;
    QTimer* const timer = new QTimer(object);
    const auto connection = QSharedPointer<QMetaObject::Connection>::create();
    const auto destroyedConnection = QSharedPointer<QMetaObject::Connection>::create();

    *connection = QObject::connect(object, signal, object,
        [result, timer, connection, destroyedConnection] {
            // A queued emission may still arrive after the wait has ended.
            if (result.state() != DeferredDataBase::Pending)
                return;
            QObject::disconnect(*connection);
            QObject::disconnect(*destroyedConnection);
            timer->stop();
            timer->deleteLater();
            result.resolve();
        }, Qt::AutoConnection);

    QObject::connect(timer, &QTimer::timeout, object,
        [result, timer, connection, destroyedConnection] {
            if (result.state() != DeferredDataBase::Pending)
                return;
            QObject::disconnect(*connection);
            QObject::disconnect(*destroyedConnection);
            timer->deleteLater();
            result.reject();
        }, Qt::AutoConnection);

    // Without this the caller would wait for ever on an object that is gone.
    *destroyedConnection = QObject::connect(object, &QObject::destroyed, [result] {
        if (result.state() == DeferredDataBase::Pending)
            result.reject();
    });

    if (milliseconds > 0) {
        timer->setSingleShot(true);
        timer->setInterval(milliseconds);
        timer->start();
    }
    return result;
}

} // namespace Utils
