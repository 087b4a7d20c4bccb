#pragma once

#include "async/Deferred.h"
#include "fakes/EventLoopWait.h"

#include <QList>
#include <QtTest>

#include <cstddef>
#include <memory>
#include <tuple>

// Records how a deferred result settled: which way, how often, with which
// values, and the progress it reported on the way. Copies share one record.
// A second settlement fails the running test at once; settlements() counts
// them for tests that look after the fact.
template <typename... T>
class DeferredProbe
{
public:
    using Values = std::tuple<T...>;

    // Watches nothing: never settles.
    DeferredProbe()
        : m_state(std::make_shared<State>())
    {
    }

    explicit DeferredProbe(const Deferred<T...> &deferred)
        : m_state(std::make_shared<State>())
    {
        auto state = m_state;
        deferred
            .progress([state](T... values) { state->notifications.append(Values(values...)); })
            .done([state](T... values) { state->take(Values(values...)); })
            .fail([state](T... values) { state->take(Values(values...)); });
        // The value-free lists hear each settlement once, after the value callbacks,
        // and a rejection without values too, which would otherwise look like a hang.
        deferred.data()->doneZero([state] { state->settle(true); }, Qt::AutoConnection);
        deferred.data()->failZero([state] { state->settle(false); }, Qt::AutoConnection);
    }

    bool settled() const { return settlements() > 0; }
    bool resolved() const { return m_state->resolutions > 0; }
    bool rejected() const { return m_state->rejections > 0; }
    int settlements() const { return m_state->resolutions + m_state->rejections; }

    // The values of the first settlement; default ones after a rejection without values.
    const Values &values() const { return m_state->values; }
    template <std::size_t I = 0>
    const std::tuple_element_t<I, Values> &value() const { return std::get<I>(m_state->values); }

    // Every progress report, in order.
    const QList<Values> &notifications() const { return m_state->notifications; }

    // Runs the event loop until the deferred settles, at most msec.
    bool waitSettled(int msec = 5000) const
    {
        return waitUntil([this] { return settled(); }, msec);
    }

private:
    struct State
    {
        int resolutions = 0;
        int rejections = 0;
        Values values{};
        QList<Values> notifications;

        void take(Values settledWith)
        {
            if (resolutions + rejections == 0)
                values = std::move(settledWith);
        }

        void settle(bool resolve)
        {
            if (resolutions + rejections > 0)
                QTest::qFail("deferred settled more than once", __FILE__, __LINE__);
            ++(resolve ? resolutions : rejections);
        }
    };
    std::shared_ptr<State> m_state;
};
