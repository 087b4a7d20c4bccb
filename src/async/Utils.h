#pragma once

#include "async/Deferred.h"

#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QSharedPointer>
#include <QTimer>

namespace Utils {

// The next emission of `signal` of `object` as a deferred. It is rejected when
// `milliseconds` (if greater than 0) pass first, or when the object is destroyed first.
// Settling it from outside ends the wait as well. Signal arguments are ignored. Call it
// in the object's thread.
template <typename Object, typename Signal>
Deferred<> waitSignal(Object* object, Signal signal, int milliseconds = 0)
{
    const Deferred<> result;
    QTimer* const timer = new QTimer(object);
    const auto connection = QSharedPointer<QMetaObject::Connection>::create();
    const auto destroyedConnection = QSharedPointer<QMetaObject::Connection>::create();

    // Cuts both connections and drops the timer; the timer may already have gone with
    // the object.
    const auto release = [timer = QPointer<QTimer>(timer), connection, destroyedConnection] {
        QObject::disconnect(*connection);
        QObject::disconnect(*destroyedConnection);
        if (timer) {
            timer->stop();
            timer->deleteLater();
        }
    };

    *connection = QObject::connect(object, signal, object,
        [result, release] {
            // A queued emission may still arrive after the wait has ended.
            if (result.state() != DeferredDataBase::Pending)
                return;
            release();
            result.resolve();
        }, Qt::AutoConnection);

    QObject::connect(timer, &QTimer::timeout, object,
        [result, release] {
            if (result.state() != DeferredDataBase::Pending)
                return;
            release();
            result.reject();
        }, Qt::AutoConnection);

    // Without this the caller would wait for ever on an object that is gone.
    *destroyedConnection = QObject::connect(object, &QObject::destroyed, [result] {
        if (result.state() == DeferredDataBase::Pending)
            result.reject();
    });

    // The holder may settle the result first (to give up waiting): the wait must not
    // keep its timer and connections on the object until the object dies.
    result.data()->doneZero(release, Qt::AutoConnection);
    result.data()->failZero(release, Qt::AutoConnection);

    if (milliseconds > 0) {
        timer->setSingleShot(true);
        timer->setInterval(milliseconds);
        timer->start();
    }
    return result;
}

} // namespace Utils
