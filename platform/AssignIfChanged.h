#pragma once
// For setters that react to a real change only (restart a timer, drop a
// connection whose settings changed).
#include <utility>

// Stores `value` in `field` when the two differ and returns whether it did.
// Raises what the comparison and the assignment of T raise.
template <class T, class U> bool AssignIfChanged(T& field, U&& value) {
    if (value != field) {
        field = std::forward<U>(value);
        return true;
    }
    return false;
}
