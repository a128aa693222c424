#pragma once

#include <string_view>

// Every message text that the engine owns, in one place.
namespace quorvel::core::messages {

// Prefixes of EngineError display texts.
inline constexpr std::string_view kStoragePrefix = "Storage error: ";
inline constexpr std::string_view kIndexConfigPrefix = "Index config error: ";

// Why an index configuration cannot work.
inline constexpr std::string_view kMlNotANumber = "ml is NaN";
inline constexpr std::string_view kMlInfinite = "ml is infinite";
inline constexpr std::string_view kMlNegative = "ml is negative";
// "ml = <ml> lets a node draw level <level>; levels must stay at most 64".
inline constexpr std::string_view kMlIs = "ml = ";
inline constexpr std::string_view kLetsANodeDrawLevel = " lets a node draw level ";
inline constexpr std::string_view kLevelsMustStayAtMost = "; levels must stay at most ";
// "retired_share = <share> must lie between 0 and 1".
inline constexpr std::string_view kRetiredShareIs = "retired_share = ";
inline constexpr std::string_view kMustLieBetween0And1 = " must lie between 0 and 1";

}  // namespace quorvel::core::messages
