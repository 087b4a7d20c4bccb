#pragma once

#include <utility>

// Change-only property setter: compares, assigns and emits the notify signal
// only when the value differs, so listeners see real changes only.
//
//   PropertySetter::set(this, m_model, model, &Dispenser::modelChanged);
//   PropertySetter::set(this, m_active, active, &Dispenser::activeChanged,
//                       [&] { qInfo() << "Active changed :" << active; });
//
// The optional hook runs after the comparison and before the assignment
// (for log lines that must precede the change). Returns whether it changed.
namespace PropertySetter {

template <typename Owner, typename T, typename V, typename Signal>
bool set(Owner *owner, T &member, V &&value, Signal signal)
{
    if (member == value)
        return false;
    member = std::forward<V>(value);
    (owner->*signal)();
    return true;
}

template <typename Owner, typename T, typename V, typename Signal, typename Hook>
bool set(Owner *owner, T &member, V &&value, Signal signal, Hook beforeAssign)
{
    if (member == value)
        return false;
    beforeAssign();
    member = std::forward<V>(value);
    (owner->*signal)();
    return true;
}

} // namespace PropertySetter
