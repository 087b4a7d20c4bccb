#pragma once

#include <memory>

#include "async/Deferred.h"

// The settled state of one deferred, for QTRY_VERIFY to wait on.
template <typename T>
struct Outcome
{
    bool resolved = false;
    bool rejected = false;
    int settles = 0;
    T value{};

    bool settled() const { return resolved || rejected; }
};

template <typename T>
std::shared_ptr<Outcome<T>> watch(Deferred<T> deferred)
{
    auto outcome = std::make_shared<Outcome<T>>();
    deferred
        .done([outcome](T value) {
            outcome->resolved = true;
            ++outcome->settles;
            outcome->value = value;
        })
        .fail([outcome](T value) {
            outcome->rejected = true;
            ++outcome->settles;
            outcome->value = value;
        });
    return outcome;
}
