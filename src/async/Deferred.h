#pragma once

#include "async/DeferredData.h"

#include <QExplicitlySharedDataPointer>

#include <functional>
#include <type_traits>

template <typename... T>
class Deferred;

namespace DeferredTraits {

template <typename X>
struct IsDeferred : std::false_type {};

template <typename... T>
struct IsDeferred<Deferred<T...> > : std::true_type {};

// A callable other than the std::function that done/fail/progress take.
template <typename F, typename... T>
struct IsPlainCallback
    : std::integral_constant<bool, std::is_invocable_v<std::decay_t<F>&, T&...>
                                       && !std::is_same_v<std::decay_t<F>, std::function<void (T...)> > > {};

// Keeps a parameter out of template argument deduction.
template <typename X>
struct Identity {
    using type = X;
};

} // namespace DeferredTraits

// Handle to a deferred result carrying the values T... (none for Deferred<>).
// Copies share one state: a settlement made through any copy reaches callbacks
// registered through any other.
template <typename... T>
class Deferred
{
public:
    using Data = DeferredData<T...>;

    Deferred();
    Deferred(const Deferred& other) = default;
    Deferred& operator=(const Deferred& other) = default;
    ~Deferred() = default;

    DeferredDataBase::State state() const;

    // The shared state, for the library's own closures and for tests.
    Data* data() const { return d.data(); }

    // Callbacks run in the registering thread (Qt::AutoConnection), at once when the
    // deferred has already settled the matching way. Each returns a copy of the handle,
    // so registrations chain.
    Deferred<T...> done(const std::function<void (T...)>& callback,
                        const Qt::ConnectionType& type = Qt::AutoConnection) const;
    Deferred<T...> fail(const std::function<void (T...)>& callback,
                        const Qt::ConnectionType& type = Qt::AutoConnection) const;
    Deferred<T...> progress(const std::function<void (T...)>& callback,
                            const Qt::ConnectionType& type = Qt::AutoConnection) const;

    // The same for any other callable (lambdas): it is stored as given, without a
    // second std::function around it.
    template <typename F, typename = std::enable_if_t<DeferredTraits::IsPlainCallback<F, T...>::value> >
    Deferred<T...> done(F&& callback, const Qt::ConnectionType& type = Qt::AutoConnection) const;
    template <typename F, typename = std::enable_if_t<DeferredTraits::IsPlainCallback<F, T...>::value> >
    Deferred<T...> fail(F&& callback, const Qt::ConnectionType& type = Qt::AutoConnection) const;
    template <typename F, typename = std::enable_if_t<DeferredTraits::IsPlainCallback<F, T...>::value> >
    Deferred<T...> progress(F&& callback, const Qt::ConnectionType& type = Qt::AutoConnection) const;

    void resolve(T... values) const;
    void reject(T... values) const;
    void notify(T... values) const;
    // Rejects without values: only callbacks that take no values hear it.
    void rejectZero() const;

    // When this deferred resolves, `step` is called with its values; the returned alias
    // follows the deferred that `step` returns. A failure of this deferred, or of the
    // step's deferred without values, rejects the alias without values.
    template <typename... R>
    Deferred<R...> thenAlias(
        const typename DeferredTraits::Identity<std::function<Deferred<R...> (T...)> >::type& step,
        const Qt::ConnectionType& type = Qt::AutoConnection) const;

    // The same for any callable returning a Deferred; the alias type is its return type.
    template <typename F,
              typename Alias = std::invoke_result_t<std::decay_t<F>&, T&...>,
              typename = std::enable_if_t<DeferredTraits::IsDeferred<Alias>::value> >
    Alias thenAlias(F&& step, const Qt::ConnectionType& type = Qt::AutoConnection) const;

    // Resolves when every input has resolved, rejected at the first failure of any.
    template <typename... A, typename... Rest>
    static Deferred<> when(Deferred<A...> first, Rest... rest);

    // Container form (QList, QVector, std::vector); an empty container gives a
    // resolved joint.
    template <template <typename...> class C, typename... A, typename... Extra>
    static Deferred<> when(const C<Deferred<A...>, Extra...>& deferreds);

private:
    template <typename F>
    static typename DeferredData<T...>::Callback wrap(F&& callback);

    template <typename... R>
    Deferred<R...> thenAliasFrom(const std::function<Deferred<R...> (T...)>& step,
                                 const Qt::ConnectionType& type) const;

    static std::function<void ()> whenCountClosure(const Deferred<>& joint, int count);
    static std::function<void ()> whenAbortClosure(const Deferred<>& joint);

    template <typename...>
    friend class Deferred;
    friend class DeferredDataBase;

    QExplicitlySharedDataPointer<DeferredData<T...> > d;
};

#include "async/Deferred.inl"
