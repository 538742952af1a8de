#pragma once
// The index library's one error value. It has no display text of its own: callers
// that treat it as fatal print their label and its debug form; the core library
// converts it into its own error of the same kind.

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace mirot {

class MirotError : public std::runtime_error {
public:
    enum class Kind { InvalidParameter, InvalidShape };

    static MirotError invalid_parameter(std::string message);
    static MirotError invalid_shape(std::vector<std::size_t> expected, std::vector<std::size_t> got);

    Kind kind() const { return kind_; }
    // InvalidParameter's message (empty for InvalidShape).
    const std::string& message() const { return message_; }
    const std::vector<std::size_t>& expected() const { return expected_; }
    const std::vector<std::size_t>& got() const { return got_; }
    // `InvalidParameter("...")` with the message escaped as a string literal, or
    // `InvalidShape { expected: [2, 3], got: [4] }`. Also what what() returns.
    const std::string& debug() const { return debug_; }

private:
    MirotError(Kind kind, std::string message, std::vector<std::size_t> expected,
               std::vector<std::size_t> got, std::string debug);
    Kind kind_;
    std::string message_;
    std::vector<std::size_t> expected_;
    std::vector<std::size_t> got_;
    std::string debug_;
};

// The debug form of a text: quoted, with \" \\ \t \r \n \0 escaped and other
// non-printable characters as \u{hex}.
std::string debug_quote(const std::string& text);

}  // namespace mirot
