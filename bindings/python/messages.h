#pragma once

#include <string_view>

// Every message text that the Python module owns, in one place. Texts with
// "{}" are completed by the code that raises them.
namespace quorvel::python::messages {

// Borrow conflicts (RuntimeError).
inline constexpr std::string_view kAlreadyBorrowed = "Already borrowed";
inline constexpr std::string_view kAlreadyMutablyBorrowed = "Already mutably borrowed";

// Argument conversion (TypeError). A TypeError raised while converting an
// argument is raised again as "argument '<name>': <message>".
inline constexpr std::string_view kNotText = "'{}' object cannot be converted to 'PyString'";
inline constexpr std::string_view kNotSequence = "'{}' object cannot be converted to 'Sequence'";
inline constexpr std::string_view kStrNotVector = "Can't extract `str` to `Vec`";
inline constexpr std::string_view kArgumentPrefix = "argument '{}': ";

// Parameter binding (TypeError). {full name} is "Quorvel.<method>()".
inline constexpr std::string_view kTooManyPositional =
    "{} takes {} positional arguments but {} {} given";
inline constexpr std::string_view kTooManyPositionalRange =
    "{} takes from {} to {} positional arguments but {} {} given";
inline constexpr std::string_view kUnexpectedKeyword = "{} got an unexpected keyword argument '{}'";
inline constexpr std::string_view kMultipleValues = "{} got multiple values for argument '{}'";
inline constexpr std::string_view kMissingArguments = "{} missing {} required positional {}: {}";

// A path that the file system cannot name (ValueError): the bytes after a NUL
// would be cut off, and another file opened.
inline constexpr std::string_view kEmbeddedNul = "embedded null byte";

// Module initialisation (ImportError). Kept word for word, since programs may
// match on it, although this module is not built with the library it names.
inline constexpr std::string_view kInitialisedTwice =
    "PyO3 modules compiled for CPython 3.8 or older may only be initialized once per interpreter "
    "process";

}  // namespace quorvel::python::messages
