#include "qelbo/core/error.h"

namespace qelbo {

std::string format_shape(const Shape& shape) {
    std::string out = "[";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (i) out += ", ";
        out += std::to_string(shape[i]);
    }
    out += "]";
    return out;
}

IndexSearchError IndexSearchError::invalid_parameter(const std::string& message) {
    return {Kind::InvalidParameter, "Invalid search parameter: " + message};
}

IndexSearchError IndexSearchError::invalid_shape(std::size_t expected, std::size_t got) {
    return {Kind::InvalidShape, "Invalid shape: expected " + std::to_string(expected) + " dims, got " +
                                    std::to_string(got)};
}

QELError QELError::invalid_shape(const Shape& expected, const Shape& got) {
    return {Kind::InvalidShape, "Invalid shape: expected " + format_shape(expected) + ", got " + format_shape(got), {}};
}

QELError QELError::invalid_parameter(const std::string& message) {
    return {Kind::InvalidParameter, "Invalid parameter: " + message, message};
}

QELError QELError::index_error(const IndexSearchError& inner) {
    return {Kind::IndexError, std::string("Index error: ") + inner.what(), inner.what()};
}

QELError QELError::not_enough_observations(std::size_t got, std::size_t need) {
    return {Kind::NotEnoughObservations,
            "Not enough observations: got " + std::to_string(got) + ", need at least " + std::to_string(need), {}};
}

QELError QELError::shape_error(const std::string& message) {
    return {Kind::ShapeError, "Shape error: " + message, message};
}

HashError HashError::dimension_mismatch(const std::string& message) {
    return {Kind::DimensionMismatch, "Dimension mismatch: " + message};
}

HashError HashError::invalid_num_metrics(std::int64_t value) {
    return {Kind::InvalidNumMetrics, "num_metrics must be positive, got " + std::to_string(value)};
}

}  // namespace qelbo
