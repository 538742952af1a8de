#pragma once
// Error values of the core library. Each type's what() is exactly its display
// text; the bindings raise every CoreError as ValueError, every Panic as the
// panic exception and a size no allocation could hold (std::length_error) as
// MemoryError, mapped in one place.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/panic.h"

namespace qelbo {

// Base of every recoverable error the core reports to its callers.
class CoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using Shape = std::vector<std::size_t>;

// "[3, 2]"
std::string format_shape(const Shape& shape);

// Error of the in-memory neighbour-index layer.
class IndexSearchError : public CoreError {
public:
    enum class Kind { InvalidParameter, InvalidShape };
    static IndexSearchError invalid_parameter(const std::string& message);
    static IndexSearchError invalid_shape(std::size_t expected, std::size_t got);
    Kind kind() const { return kind_; }

private:
    IndexSearchError(Kind kind, const std::string& text) : CoreError(text), kind_(kind) {}
    Kind kind_;
};

class QELError : public CoreError {
public:
    enum class Kind { InvalidShape, InvalidParameter, IndexError, NotEnoughObservations, ShapeError };
    static QELError invalid_shape(const Shape& expected, const Shape& got);
    static QELError invalid_parameter(const std::string& message);
    static QELError index_error(const IndexSearchError& inner);
    static QELError not_enough_observations(std::size_t got, std::size_t need);
    static QELError shape_error(const std::string& message);
    Kind kind() const { return kind_; }
    // The message without the variant's prefix (InvalidParameter and ShapeError).
    const std::string& message() const { return message_; }

private:
    QELError(Kind kind, const std::string& text, std::string message)
        : CoreError(text), kind_(kind), message_(std::move(message)) {}
    Kind kind_;
    std::string message_;
};

// Error of the hash normal generator.
class HashError : public CoreError {
public:
    enum class Kind { DimensionMismatch, InvalidNumMetrics };
    static HashError dimension_mismatch(const std::string& message);
    static HashError invalid_num_metrics(std::int64_t value);
    Kind kind() const { return kind_; }

private:
    HashError(Kind kind, const std::string& text) : CoreError(text), kind_(kind) {}
    Kind kind_;
};


}  // namespace qelbo
