#pragma once

#include <string_view>

// Every message text that the engine owns, in one place.
namespace quorvel::core::messages {

// Prefixes of EngineError display texts.
inline constexpr std::string_view kStoragePrefix = "Storage error: ";
inline constexpr std::string_view kIndexConfigPrefix = "Index config error: ";
inline constexpr std::string_view kDimensionPrefix = "Dimension error: ";

// A vector of the wrong length under a fixed dimension: "the vector has 4
// floats, the database's dimension is 3".
inline constexpr std::string_view kVectorHas = "the vector has ";
inline constexpr std::string_view kFloatsDimensionIs = " floats, the database's dimension is ";
// A stored record that breaks a fixed dimension, at open: "<path>: record
// "b" has 4 floats, the dimension given is 3", or "<path>: record "b" has 4
// floats, record "a" has 3; a fixed dimension needs vectors of one length".
inline constexpr std::string_view kRecord = "record ";
inline constexpr std::string_view kHas = " has ";
inline constexpr std::string_view kFloatsGivenIs = " floats, the dimension given is ";
inline constexpr std::string_view kFloatsComma = " floats, ";
inline constexpr std::string_view kOneLengthNeeded = "; a fixed dimension needs vectors of one length";

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

// Why a stored attached index's state does not fit its records.
inline constexpr std::string_view kMapsWithoutRetiring =
    "an index that does not retire nodes has no node map and no retired vectors";
inline constexpr std::string_view kNodesAreNotTheEntries = "the graph's nodes are not the records' positions";
inline constexpr std::string_view kMapSizes = "the node map's sizes do not fit the records and the graph";
inline constexpr std::string_view kRetiredVectorCounts = "the retired nodes' vectors do not add up";
inline constexpr std::string_view kMapsDisagree =
    "the node map does not agree with the records and the graph's nodes and retired marks";
inline constexpr std::string_view kMustLieBetween0And1 = " must lie between 0 and 1";

}  // namespace quorvel::core::messages
