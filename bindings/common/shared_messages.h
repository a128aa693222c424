#pragma once

#include <string_view>

// The message texts of the code that both Python modules share.
namespace quorvel::python::shared_messages {

// An internal failure that carries no text of its own.
inline constexpr std::string_view kUnknownFailure = "unknown internal failure";

// Shown in place of an object whose str() fails, in any message that quotes it.
inline constexpr std::string_view kUnprintableException = "<exception str() failed>";

}  // namespace quorvel::python::shared_messages
