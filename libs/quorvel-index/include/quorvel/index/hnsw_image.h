#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "quorvel/index/hnsw_index.h"

namespace quorvel {

// An index's graph as bytes, so that it can be stored and loaded again
// instead of being built anew: the whole configuration, the seeded
// generator's position, the entry point, every node's level and every
// neighbour list (laid out as the index keeps them in memory) and the
// retired marks. A graph read back answers every search, and grows with
// every insertion, exactly as the one written would.

// Receives the image's bytes in order.
using HnswImageSink = std::function<void(std::span<const std::byte> bytes)>;
// Fills its argument with the image's next bytes; false when there are
// fewer (or they cannot be read).
using HnswImageSource = std::function<bool(std::span<std::byte> into)>;

// Writes the graph of `index` through `sink`, its node order[i] written as
// node i (each neighbour number changed to match): `order` must hold every
// node number below the index's largest plus one exactly once, or be empty
// to keep the numbers.
void write_hnsw_image(const HnswIndex& index, std::span<const std::size_t> order, const HnswImageSink& sink);

// Reads a graph that write_hnsw_image wrote, of `slots` node slots (one
// past its largest node number) and no level above `highest_level`.
// Nothing when the bytes are not such a graph: the source fails or ends
// early, the graph has another number of slots, a configuration field is
// out of its range, or a number is out of range (a neighbour that is not a
// node of the list's layer or is the list's owner, an entry point that is
// not a node, a list longer than the configuration lets it grow, a level
// above the entry point's, a retired mark on no node); such bytes never
// make an index whose searches could read outside it. The checks of the
// layer-0 lists run in parts with `run_parts` (by default on the calling
// thread).
std::optional<HnswIndex> read_hnsw_image(const HnswImageSource& source, std::uint64_t slots,
                                         std::uint64_t highest_level, const ParallelParts& run_parts = {});

// A copy of `index` with its node order[i] numbered i (see
// write_hnsw_image); the searches of the copy answer as the original's
// would, with the numbers changed.
HnswIndex renumbered(const HnswIndex& index, std::span<const std::size_t> order);

}  // namespace quorvel
