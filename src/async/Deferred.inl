// Template bodies of Deferred and DeferredData; included at the end of Deferred.h.

#include "async/DeferredProxyEvent.h"
#include "async/DeferredProxyObject.h"

#include <QCoreApplication>
#include <QMutexLocker>
#include <QThread>
#include <QVarLengthArray>
#include <QtGlobal>

#include <tuple>
#include <utility>

namespace GCC_DEF_FIX {

template <typename... T>
void finishedFunctionTemplate(const std::function<void (T&...)>& callback, T&... values)
{
    if (!callback)
        throw std::bad_function_call();
    callback(values...);
}

} // namespace GCC_DEF_FIX

// ---- DeferredData: registration ---------------------------------------------------------

template <typename... T>
DeferredData<T...>::~DeferredData()
{
    // Cut the proxy connections first, so a proxy destroyed meanwhile no longer reaches us.
    for (const QMetaObject::Connection& connection : qAsConst(proxyConnections))
        QObject::disconnect(connection);
    for (DeferredAllCallbacks* callbacks : qAsConst(threadCallbacks))
        delete callbacks;
    threadCallbacks.clear();
}

template <typename... T>
typename DeferredData<T...>::DeferredAllCallbacks* DeferredData<T...>::getCallbacksForThread()
{
    QMutexLocker locker(&mutex);
    QThread* const thread = QThread::currentThread();
    const auto it = threadCallbacks.constFind(thread);
    if (it != threadCallbacks.constEnd())
        return it.value();

    DeferredProxyObject* proxy = getObjectForThread(thread);
    proxyConnections.append(QObject::connect(proxy, &QObject::destroyed, proxy,
                                             [this, thread] { onProxyDestroyed(thread); },
                                             Qt::DirectConnection));
    auto* callbacks = new DeferredAllCallbacks;
    threadCallbacks.insert(thread, callbacks);
    return callbacks;
}

template <typename... T>
void DeferredData<T...>::onProxyDestroyed(QThread* thread)
{
    DeferredAllCallbacks* callbacks = nullptr;
    {
        QMutexLocker locker(&mutex);
        callbacks = threadCallbacks.take(thread);
    }
    if (!callbacks)
        return;
    // The callbacks may hold objects of that thread: release them with the thread object.
    QObject::connect(thread, &QObject::destroyed, thread, [callbacks] { delete callbacks; },
                     Qt::DirectConnection);
}

template <typename... T>
void DeferredData<T...>::done(const Callback& callback, const Qt::ConnectionType& type)
{
    QMutexLocker locker(&mutex);
    if (currentState() == Resolved) {
        settledInvoker(callback);
        return;
    }
    getCallbacksForThread()->doneList.append(CallbackData { callback, type });
}

template <typename... T>
void DeferredData<T...>::fail(const Callback& callback, const Qt::ConnectionType& type)
{
    QMutexLocker locker(&mutex);
    if (currentState() == Rejected && settledInvoker) {
        settledInvoker(callback);
        return;
    }
    getCallbacksForThread()->failList.append(CallbackData { callback, type });
}

template <typename... T>
void DeferredData<T...>::doneZero(const std::function<void ()>& callback, const Qt::ConnectionType& type)
{
    QMutexLocker locker(&mutex);
    if (currentState() == Resolved) {
        callback();
        return;
    }
    getCallbacksForThread()->doneZeroList.append(CallbackDataZero { callback, type });
}

template <typename... T>
void DeferredData<T...>::failZero(const std::function<void ()>& callback, const Qt::ConnectionType& type)
{
    QMutexLocker locker(&mutex);
    if (currentState() == Rejected) {
        callback();
        return;
    }
    getCallbacksForThread()->failZeroList.append(CallbackDataZero { callback, type });
}

template <typename... T>
void DeferredData<T...>::progress(const Callback& callback, const Qt::ConnectionType& type)
{
    QMutexLocker locker(&mutex);
    getCallbacksForThread()->progressList.append(CallbackData { callback, type });
}

// ---- DeferredData: settling -------------------------------------------------------------

template <typename... T>
void DeferredData<T...>::resolve(Deferred<T...> self, T&... values)
{
    QMutexLocker locker(&mutex);
    if (currentState() != Pending) {
        qWarning("Cannot resolve already processed deferred object.");
        return;
    }
    state.store(Resolved, std::memory_order_release);
    settledInvoker.take(values...);
    settle(self, Walk::Done, settledInvoker);
}

template <typename... T>
void DeferredData<T...>::reject(Deferred<T...> self, T&... values)
{
    QMutexLocker locker(&mutex);
    if (currentState() != Pending) {
        qWarning("Cannot reject already processed deferred object.");
        return;
    }
    state.store(Rejected, std::memory_order_release);
    settledInvoker.take(values...);
    settle(self, Walk::Fail, settledInvoker);
}

template <typename... T>
void DeferredData<T...>::rejectZero(Deferred<T...> self)
{
    QMutexLocker locker(&mutex);
    if (currentState() != Pending) {
        qWarning("Cannot reject already processed deferred object.");
        return;
    }
    state.store(Rejected, std::memory_order_release);
    settle(self, Walk::FailZeroOnly, Invoker());
}

template <typename... T>
void DeferredData<T...>::notify(Deferred<T...> self, T&... values)
{
    QMutexLocker locker(&mutex);
    if (currentState() != Pending) {
        qWarning("Cannot notify already processed deferred object.");
        return;
    }
    Invoker progressInvoker;
    progressInvoker.take(values...);
    settle(self, Walk::Progress, progressInvoker);
}

template <typename... T>
void DeferredData<T...>::settle(const Deferred<T...>& self, Walk walk, const Invoker& invoker)
{
    enum class Route { RunNow, Post, Skip };

    // Threads that gain a callback set while the callbacks run are not visited.
    QVarLengthArray<QThread*, 4> snapshot;
    for (auto it = threadCallbacks.constBegin(); it != threadCallbacks.constEnd(); ++it)
        snapshot.append(it.key());
    QThread* const current = QThread::currentThread();

    for (QThread* const thread : snapshot) {
        const bool here = thread == current;

        DeferredAllCallbacks* callbacks = threadCallbacks.value(thread, nullptr);
        if (!callbacks)
            continue;

        // Another thread without a proxy has finished: its callbacks are dropped, never
        // run here in its place.
        DeferredProxyObject* proxy = here ? nullptr : findObjectForThread(thread);
        const bool gone = !here && !proxy;

        const auto route = [here, gone](Qt::ConnectionType type) {
            if (gone)
                return Route::Skip;
            switch (type) {
            case Qt::DirectConnection:
                return Route::RunNow;
            case Qt::AutoConnection:
                return here ? Route::RunNow : Route::Post;
            case Qt::QueuedConnection:
                return Route::Post;
            default:
                return Route::Skip;
            }
        };
        const auto post = [&proxy, thread](std::function<void ()>&& closure) {
            if (!proxy)
                proxy = findObjectForThread(thread);
            if (!proxy)
                return;
            auto* event = new DeferredProxyEvent;
            event->closure = std::move(closure);
            QCoreApplication::postEvent(proxy, event, Qt::HighEventPriority);
        };

        if (walk != Walk::FailZeroOnly) {
            QList<CallbackData>& list = walk == Walk::Done ? callbacks->doneList
                                      : walk == Walk::Fail ? callbacks->failList
                                                           : callbacks->progressList;
            // The length is read again at every step: a callback may append to this list.
            for (int i = 0; i < list.size(); ++i) {
                // Nodes of a QList stay put when it grows, so the reference stays valid.
                const CallbackData& record = list.at(i);
                switch (route(record.type)) {
                case Route::RunNow:
                    invoker(record.callback);
                    break;
                case Route::Post:
                    if (walk == Walk::Progress) {
                        post([self, invoker, callback = record.callback] { invoker(callback); });
                    } else {
                        post([self, data = this, callback = record.callback] {
                            data->settledInvoker(callback);
                        });
                    }
                    break;
                case Route::Skip:
                    break;
                }
            }
        }

        if (walk != Walk::Progress) {
            QList<CallbackDataZero>& list = walk == Walk::Done ? callbacks->doneZeroList
                                                               : callbacks->failZeroList;
            for (int i = 0; i < list.size(); ++i) {
                const CallbackDataZero& record = list.at(i);
                switch (route(record.type)) {
                case Route::RunNow:
                    record.callback();
                    break;
                case Route::Post:
                    post([self, callback = record.callback] { callback(); });
                    break;
                case Route::Skip:
                    break;
                }
            }
        }

        if (walk == Walk::Done || walk == Walk::Fail) {
            callbacks->doneList.clear();
            callbacks->failList.clear();
        }
        if (walk != Walk::Progress) {
            callbacks->doneZeroList.clear();
            callbacks->failZeroList.clear();
        }
    }
}

// ---- Deferred handle --------------------------------------------------------------------

template <typename... T>
Deferred<T...>::Deferred()
    : d(new DeferredData<T...>)
{
}

template <typename... T>
DeferredDataBase::State Deferred<T...>::state() const
{
    return d->currentState();
}

template <typename... T>
Deferred<T...> Deferred<T...>::done(const std::function<void (T...)>& callback,
                                    const Qt::ConnectionType& type) const
{
    if constexpr (sizeof...(T) == 0) {
        d->done(callback, type);
    } else {
        d->done([callback](T&... values) { callback(values...); }, type);
    }
    return *this;
}

template <typename... T>
Deferred<T...> Deferred<T...>::fail(const std::function<void (T...)>& callback,
                                    const Qt::ConnectionType& type) const
{
    if constexpr (sizeof...(T) == 0) {
        d->fail(callback, type);
    } else {
        d->fail([callback](T&... values) { callback(values...); }, type);
    }
    return *this;
}

template <typename... T>
Deferred<T...> Deferred<T...>::progress(const std::function<void (T...)>& callback,
                                        const Qt::ConnectionType& type) const
{
    if constexpr (sizeof...(T) == 0) {
        d->progress(callback, type);
    } else {
        d->progress([callback](T&... values) { callback(values...); }, type);
    }
    return *this;
}

template <typename... T>
template <typename F>
typename DeferredData<T...>::Callback Deferred<T...>::wrap(F&& callback)
{
    if constexpr (sizeof...(T) == 0) {
        return typename DeferredData<T...>::Callback(std::forward<F>(callback));
    } else {
        // Called with references to the one stored copy of the values, which every later
        // callback receives too. A callable that only reads them gets them as const; one
        // that takes non-const references gets copies of its own to change.
        return [callback = std::decay_t<F>(std::forward<F>(callback))](T&... values) mutable {
            if constexpr (std::is_invocable_v<std::decay_t<F>&, const T&...>) {
                callback(std::as_const(values)...);
            } else {
                std::tuple<T...> copies(values...);
                std::apply(callback, copies);
            }
        };
    }
}

template <typename... T>
template <typename F, typename>
Deferred<T...> Deferred<T...>::done(F&& callback, const Qt::ConnectionType& type) const
{
    d->done(wrap(std::forward<F>(callback)), type);
    return *this;
}

template <typename... T>
template <typename F, typename>
Deferred<T...> Deferred<T...>::fail(F&& callback, const Qt::ConnectionType& type) const
{
    d->fail(wrap(std::forward<F>(callback)), type);
    return *this;
}

template <typename... T>
template <typename F, typename>
Deferred<T...> Deferred<T...>::progress(F&& callback, const Qt::ConnectionType& type) const
{
    d->progress(wrap(std::forward<F>(callback)), type);
    return *this;
}

template <typename... T>
void Deferred<T...>::resolve(T... values) const
{
    d->resolve(*this, values...);
}

template <typename... T>
void Deferred<T...>::reject(T... values) const
{
    d->reject(*this, values...);
}

template <typename... T>
void Deferred<T...>::notify(T... values) const
{
    d->notify(*this, values...);
}

template <typename... T>
void Deferred<T...>::rejectZero() const
{
    d->rejectZero(*this);
}

template <typename... T>
template <typename... R>
Deferred<R...> Deferred<T...>::thenAlias(
    const typename DeferredTraits::Identity<std::function<Deferred<R...> (T...)> >::type& step,
    const Qt::ConnectionType& type) const
{
    return thenAliasFrom<R...>(step, type);
}

template <typename... T>
template <typename F, typename Alias, typename>
Alias Deferred<T...>::thenAlias(F&& step, const Qt::ConnectionType& type) const
{
    return thenAliasFrom(std::function<Alias (T...)>(std::forward<F>(step)), type);
}

template <typename... T>
template <typename... R>
Deferred<R...> Deferred<T...>::thenAliasFrom(const std::function<Deferred<R...> (T...)>& step,
                                             const Qt::ConnectionType& type) const
{
    const Deferred<R...> alias;

    d->done([step, alias](T&... values) {
        const Deferred<R...> next = step(values...);
        DeferredData<R...>* const nextData = next.d.data();
        nextData->done([alias](R&... result) { alias.resolve(result...); }, Qt::AutoConnection);
        nextData->fail([alias](R&... result) { alias.reject(result...); }, Qt::AutoConnection);
        nextData->progress([alias](R&... result) { alias.notify(result...); }, Qt::AutoConnection);
        // A rejection without values must not leave the alias pending for ever; one with
        // values has already been forwarded by the fail callback above.
        nextData->failZero([alias, nextData] {
            if (!nextData->hasSettledValues())
                alias.rejectZero();
        }, Qt::AutoConnection);
    }, type);

    d->failZero([alias] { alias.rejectZero(); }, type);
    return alias;
}

template <typename... T>
std::function<void ()> Deferred<T...>::whenCountClosure(const Deferred<>& joint, int count)
{
    return [joint, count] {
        if (++joint.d->whenCount == count)
            joint.resolve();
    };
}

template <typename... T>
std::function<void ()> Deferred<T...>::whenAbortClosure(const Deferred<>& joint)
{
    return [joint] {
        if (joint.state() == DeferredDataBase::Pending)
            joint.reject();
    };
}

template <typename... T>
template <typename... A, typename... Rest>
Deferred<> Deferred<T...>::when(Deferred<A...> first, Rest... rest)
{
    static_assert((DeferredTraits::IsDeferred<Rest>::value && ...), "when() joins deferreds only");
    const Deferred<> joint;
    const int count = 1 + int(sizeof...(Rest));
    DeferredDataBase::whenInternal(whenCountClosure(joint, count), whenAbortClosure(joint), first, rest...);
    return joint;
}

template <typename... T>
template <template <typename...> class C, typename... A, typename... Extra>
Deferred<> Deferred<T...>::when(const C<Deferred<A...>, Extra...>& deferreds)
{
    const Deferred<> joint;
    const int count = int(deferreds.size());
    if (count == 0) {
        // Nothing to wait for; a joint nobody could settle would hang its user.
        joint.resolve();
        return joint;
    }
    const std::function<void ()> countClosure = whenCountClosure(joint, count);
    const std::function<void ()> abortClosure = whenAbortClosure(joint);
    for (const Deferred<A...>& input : deferreds) {
        input.d->doneZero(countClosure, Qt::AutoConnection);
        input.d->failZero(abortClosure, Qt::AutoConnection);
    }
    return joint;
}

template <typename... D>
void DeferredDataBase::whenInternal(std::function<void ()> done, std::function<void ()> fail, D... deferreds)
{
    ((deferreds.d->doneZero(done, Qt::AutoConnection), deferreds.d->failZero(fail, Qt::AutoConnection)), ...);
}
