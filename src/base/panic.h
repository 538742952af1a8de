#pragma once
// A broken internal expectation: not an error value of any layer, it ends the call.
// The bindings raise it as the panic exception.

#include <stdexcept>

namespace qelbo {

class Panic : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws Panic when an internal expectation does not hold.
inline void expect(bool condition, const char* what) {
    if (!condition) throw Panic(what);
}

}  // namespace qelbo
