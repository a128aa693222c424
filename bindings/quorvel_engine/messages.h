#pragma once

#include <string_view>

// Every message text that the module quorvel_engine owns, in one place.
// Texts with "{}" are completed by the code that raises them.
namespace quorvel::python::messages {

// Arguments of the wrong kind (TypeError).
inline constexpr std::string_view kIdNotText = "an id must be a str, not '{}'";
inline constexpr std::string_view kPathNotText = "path must be a str or an os.PathLike, not '{}'";
inline constexpr std::string_view kMetricNotText = "metric must be a str, not '{}'";
inline constexpr std::string_view kNotAnInt = "{} must be an int, not '{}'";
inline constexpr std::string_view kNotANumber = "{} must be a number, not '{}'";
inline constexpr std::string_view kIndexNotConfig = "index must be a quorvel_engine.HnswConfig or None, not '{}'";
inline constexpr std::string_view kStrNotVector = "a vector must be a sequence of numbers, not a str";
inline constexpr std::string_view kNotAVector = "a vector must be a sequence of numbers, not '{}'";
inline constexpr std::string_view kElementNotANumber = "vector element {} must be a number, not '{}'";
inline constexpr std::string_view kNotASequence = "{} must be a sequence, not '{}'";
inline constexpr std::string_view kMetadataType = "{} cannot hold a value of type '{}'";
inline constexpr std::string_view kMetadataKey = "{} keys must be str, not '{}'";
inline constexpr std::string_view kNotABool = "{} must be a bool, not '{}'";
inline constexpr std::string_view kSelectionNotText = "selection must be a str, not '{}'";
inline constexpr std::string_view kWhereNotDict = "where must be a dict of metadata keys and values, not '{}'";

// Values refused (RefusedValueError, a ValueError).
inline constexpr std::string_view kVectorDimensions = "a vector must have one dimension, not {}";
inline constexpr std::string_view kMatrixDimensions = "{} must have two dimensions (a row a vector), not {}";
inline constexpr std::string_view kMetadataFloat = "{} holds the float {}, which has no JSON form";
inline constexpr std::string_view kMetadataInt =
    "{} holds the int {}, outside the integers JSON values hold (-2**63 to 2**64 - 1)";
inline constexpr std::string_view kMetadataNested = "{} is nested deeper than {} levels";
inline constexpr std::string_view kCountsDiffer = "{} has {} items, ids has {}";
inline constexpr std::string_view kRecordPrefix = "record {}: ";
inline constexpr std::string_view kQueryPrefix = "query {}: ";
inline constexpr std::string_view kKRange = "k must be an int from 0 to 2**64 - 1, got {}";
inline constexpr std::string_view kTimestampRange = "a timestamp must be an int from 0 to 2**64 - 1, got {}";
inline constexpr std::string_view kNowRange = "now must be an int from 0 to 2**64 - 1, got {}";
inline constexpr std::string_view kDecayRange = "decay must be a number in (0, 1], got {}";

// Configuration refused (ConfigError, a ValueError).
inline constexpr std::string_view kUnknownMetric = "metric must be cosine, dot, euclidean or manhattan, not '{}'";
inline constexpr std::string_view kDimensionRange = "dimension must be at least 1, got {}";
inline constexpr std::string_view kWorkersRange = "workers must be from 1 to 1024, got {}";
inline constexpr std::string_view kConfigRange = "{} must be an int from 0 to 2**64 - 1, got {}";
inline constexpr std::string_view kUnknownSelection = "selection must be closest or diverse, not '{}'";
inline constexpr std::string_view kSeedRange = "seed must be an int from 0 to 2**32 - 1, got {}";
inline constexpr std::string_view kNoIndex = "no index is attached";

// `del engine.ef_search` (AttributeError).
inline constexpr std::string_view kEfSearchDeleted = "ef_search cannot be deleted";

// A path that the file system cannot name (ValueError).
inline constexpr std::string_view kEmbeddedNul = "embedded null byte";

// After the message of a failure of the file during a call, as after those
// of an open.
inline constexpr std::string_view kOfFile = " (file {})";

// A call on an engine after close() (EngineClosedError).
inline constexpr std::string_view kClosed = "the engine of {} is closed";

// Module initialisation (ImportError).
inline constexpr std::string_view kInitialisedTwice = "quorvel_engine can be initialised once per process";

}  // namespace quorvel::python::messages
