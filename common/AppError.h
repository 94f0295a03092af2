#pragma once

#include <stdexcept>
#include <string>

// The one error type of the program: a failure that carries the message text
// the user reads. Handlers let it propagate to the standard error box.
class AppError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Message of a read of an attribute that is not there.
inline constexpr const char* kNullConversionMessage =
    "Could not convert variant of type (Null) into type (String)";
