#pragma once

#include "async/DeferredDataBase.h"

#include <QList>
#include <QMap>
#include <QMetaObject>
#include <QRecursiveMutex>
#include <QSharedData>

#include <atomic>
#include <functional>
#include <optional>
#include <tuple>

class QThread;

template <typename... T>
class Deferred;

namespace GCC_DEF_FIX {

// Calls `callback` with references to `values`.
template <typename... T>
void finishedFunctionTemplate(const std::function<void (T&...)>& callback, T&... values);

} // namespace GCC_DEF_FIX

// The state that every copy of one Deferred<T...> handle shares.
template <typename... T>
class DeferredData : public QSharedData, public DeferredDataBase
{
public:
    using Callback = std::function<void (T&...)>;

    // One copy of the values of a settlement (or of one notify): calling it with a
    // callback calls the callback with references to that copy. Empty until set.
    class Invoker
    {
    public:
        // Moves from `values`: the handle operations pass their own by-value copies.
        void take(T&... values) { m_values.emplace(std::move(values)...); }
        explicit operator bool() const { return m_values.has_value(); }
        void operator()(const Callback& callback) const
        {
            std::apply([&callback](T&... values) {
                GCC_DEF_FIX::finishedFunctionTemplate<T...>(callback, values...);
            }, *m_values);
        }

    private:
        mutable std::optional<std::tuple<T...> > m_values;
    };

    struct CallbackData {
        Callback callback;
        Qt::ConnectionType type;
    };

    struct CallbackDataZero {
        std::function<void ()> callback;
        Qt::ConnectionType type;
    };

    struct DeferredAllCallbacks {
        QList<CallbackData> doneList;
        QList<CallbackData> failList;
        QList<CallbackData> progressList;
        QList<CallbackDataZero> doneZeroList;
        QList<CallbackDataZero> failZeroList;
    };

    DeferredData() = default;
    DeferredData(const DeferredData&) = delete;
    DeferredData& operator=(const DeferredData&) = delete;
    ~DeferredData();

    State currentState() const { return static_cast<State>(state.load(std::memory_order_acquire)); }

    void done(const Callback& callback, const Qt::ConnectionType& type);
    void fail(const Callback& callback, const Qt::ConnectionType& type);
    void doneZero(const std::function<void ()>& callback, const Qt::ConnectionType& type);
    void failZero(const std::function<void ()>& callback, const Qt::ConnectionType& type);
    void progress(const Callback& callback, const Qt::ConnectionType& type);
    DeferredAllCallbacks* getCallbacksForThread();

    // The values are moved into the state; callers pass copies of their own.
    void resolve(Deferred<T...> self, T&... values);
    void reject(Deferred<T...> self, T&... values);
    void notify(Deferred<T...> self, T&... values);
    void rejectZero(Deferred<T...> self);

    // True once a settlement stored values (resolve or reject, not rejectZero).
    bool hasSettledValues() const { return static_cast<bool>(settledInvoker); }

    int whenCount = 0;
    Invoker settledInvoker;
    QMap<QThread*, DeferredAllCallbacks*> threadCallbacks;
    std::atomic<int> state { Pending };
    QRecursiveMutex mutex;
    QList<QMetaObject::Connection> proxyConnections;

private:
    enum class Walk { Done, Fail, FailZeroOnly, Progress };

    void settle(const Deferred<T...>& self, Walk walk, const Invoker& invoker);
    void onProxyDestroyed(QThread* thread);
};
