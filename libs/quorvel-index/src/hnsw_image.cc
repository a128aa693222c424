#include "quorvel/index/hnsw_image.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "hnsw_links.h"

namespace quorvel {
namespace {

constexpr std::size_t kHugePage = 2 * 1024 * 1024;

// Sizes the vector to `count` elements, its storage in huge pages: the
// lists of a large graph are hundreds of megabytes, and touching fresh
// small pages one by one costs a fault apiece, which a virtual machine
// makes dear (filling them took three times as long as reading the graph).
// With `populate` the pages are mapped in one call first; without it they
// are left to whoever writes them first (new words of a vector whose
// allocator leaves them unwritten stay so).
template <typename Vector>
void resize_mapped(Vector& words, std::size_t count, bool populate) {
  const std::size_t bytes = count * sizeof(typename Vector::value_type);
  if (bytes >= 2 * kHugePage && count > words.capacity()) {
    words.reserve(count);
    const auto start = reinterpret_cast<std::uintptr_t>(words.data());
    const std::uintptr_t huge_start = (start + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t huge_end = (start + bytes) & ~(kHugePage - 1);
    if (huge_end > huge_start) {
      (void)::madvise(reinterpret_cast<void*>(huge_start), huge_end - huge_start, MADV_HUGEPAGE);
    }
    if (populate) {
      const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
      (void)::madvise(reinterpret_cast<void*>(start & ~(page - 1)), start + bytes - (start & ~(page - 1)),
                      MADV_POPULATE_WRITE);
    }
  }
  words.resize(count);
}

// Node slots whose lists one part checks.
constexpr std::uint64_t kCheckedPerPart = 16384;

using Number = HnswLinks::Number;

}  // namespace

// The image: 64-bit words (little-endian, as the index keeps them) for the
// header and the marks, 32-bit numbers (a node number, a level or a count)
// for the lists, each run of numbers padded with a zero to whole words:
//   format (kImageFormat), parts (0: none of the optional parts below yet)
//   configuration: m, m_max, m_max0, ef_construction, ef_search, ml's bits,
//            selection, keep_pruned, has seed, seed, retire_deleted,
//            retired_share's bits, build_threads
//   level draws of the seeded generator (0 without a seed)
//   slots, size, has entry point, entry point, top level, layer-0 slot
//            size, upper slot size
//   numbers: the level of each node slot (kNoNode where there is no node)
//   numbers, layer 0: slots x slot size as the index lays its slots out
//            ([count, neighbour, ...]), or, with a slot size of 0, each
//            node's count and neighbours
//   numbers, layers 1 and up: for each node of a level above 0, for each
//            of those layers, a slot of the upper slot size as the index
//            lays them out, or, with an upper slot size of 0, the count and
//            the neighbours
//   retired marks: their count (at most slots), then one byte per node
//            number, padded with zeros to whole words
// Slots write zeros past their count. `parts` leaves room for what a later
// format adds after the marks.
struct HnswImage {
  static constexpr std::uint64_t kImageFormat = 3;
  static constexpr Number kNoNode = HnswLinks::kNoNode;
  // Numbers gathered before they are handed to the sink.
  static constexpr std::size_t kBufferNumbers = 16384;

  class Writer {
   public:
    explicit Writer(const HnswImageSink& sink) : sink_(sink) { buffer_.reserve(kBufferNumbers); }
    ~Writer() { flush(); }
    void put(std::uint64_t word) {
      put_number(static_cast<Number>(word));
      put_number(static_cast<Number>(word >> 32));
    }
    void put_number(Number number) {
      buffer_.push_back(number);
      ++written_;
      if (buffer_.size() == kBufferNumbers) flush();
    }
    // Ends a run of numbers on a whole word.
    void pad() {
      if (written_ % 2 != 0) put_number(0);
    }
    void flush() {
      if (!buffer_.empty()) sink_(std::as_bytes(std::span(buffer_)));
      buffer_.clear();
    }

   private:
    const HnswImageSink& sink_;
    std::vector<Number> buffer_;
    std::uint64_t written_ = 0;
  };

  static std::uint64_t bits_of(float value) { return std::bit_cast<std::uint32_t>(value); }

  static void write(const HnswIndex& index, std::span<const std::size_t> order, const HnswImageSink& sink) {
    const HnswLinks& links = *index.links_;
    const std::uint64_t slots = links.slots();
    // new_of[old] and old_of(new): identity without an order.
    std::vector<Number> new_of;
    if (!order.empty()) {
      new_of.assign(slots, kNoNode);
      for (std::size_t i = 0; i < order.size(); ++i) new_of[order[i]] = static_cast<Number>(i);
    }
    const auto renumber = [&](std::uint64_t node) -> Number {
      return new_of.empty() ? static_cast<Number>(node) : new_of[node];
    };
    const auto old_of = [&](std::uint64_t node) -> std::uint64_t { return order.empty() ? node : order[node]; };

    Writer out(sink);
    const HnswConfig& config = index.config_;
    for (const std::uint64_t word :
         {kImageFormat, std::uint64_t{0}, config.m, config.m_max, config.m_max0, config.ef_construction,
          config.ef_search, bits_of(config.ml), std::uint64_t{static_cast<std::uint8_t>(config.selection)},
          std::uint64_t{config.keep_pruned}, std::uint64_t{config.seed.has_value()},
          std::uint64_t{config.seed.value_or(0)}, std::uint64_t{config.retire_deleted},
          bits_of(config.retired_share), config.build_threads, index.generator_ ? index.level_draws_ : 0, slots,
          index.size_, std::uint64_t{index.entry_point_.has_value()},
          index.entry_point_ ? std::uint64_t{renumber(*index.entry_point_)} : 0, index.top_level_, std::uint64_t{links.slot_size_},
          std::uint64_t{links.upper_slot_size_}}) {
      out.put(word);
    }
    for (std::uint64_t node = 0; node < slots; ++node) out.put_number(links.levels_[old_of(node)]);
    out.pad();
    // A list as a slot of `size` numbers, or as its count and numbers.
    const auto put_list = [&](std::span<const Number> list, std::size_t size) {
      out.put_number(static_cast<Number>(list.size()));
      for (const Number neighbor : list) out.put_number(renumber(neighbor));
      for (std::size_t i = list.size() + 1; i < size; ++i) out.put_number(0);
    };
    for (std::uint64_t node = 0; node < slots; ++node) {
      const std::uint64_t old = old_of(node);
      if (links.levels_[old] == kNoNode) {
        if (links.slot_size_ == 0) out.put_number(0);
        for (std::size_t i = 0; i < links.slot_size_; ++i) out.put_number(0);
        continue;
      }
      put_list(links.list(old, 0), links.slot_size_);
    }
    out.pad();
    for (std::uint64_t node = 0; node < slots; ++node) {
      const std::uint64_t old = old_of(node);
      if (links.levels_[old] == kNoNode) continue;
      for (std::uint64_t layer = 1; layer <= links.levels_[old]; ++layer) {
        put_list(links.list(old, layer), links.upper_slot_size_);
      }
    }
    out.pad();
    // The marks, renumbered: as long as the highest retired node's number
    // needs, which without renumbering is the index's own length.
    std::vector<std::uint8_t> marks;
    if (new_of.empty()) {
      marks = index.retired_;
    } else {
      for (std::uint64_t old = 0; old < index.retired_.size(); ++old) {
        if (index.retired_[old] == 0) continue;
        if (marks.size() <= new_of[old]) marks.resize(new_of[old] + 1, 0);
        marks[new_of[old]] = 1;
      }
    }
    out.put(marks.size());
    marks.resize((marks.size() + 7) / 8 * 8, 0);
    for (std::size_t i = 0; i < marks.size(); i += 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, marks.data() + i, 8);
      out.put(word);
    }
  }

  class Reader {
   public:
    explicit Reader(const HnswImageSource& source) : source_(source) {}
    bool get(std::uint64_t& word) { return get_values(&word, 1); }
    template <typename Value>
    bool get_values(Value* into, std::size_t count) {
      read_ += count * sizeof(Value);
      return source_(std::as_writable_bytes(std::span(into, count)));
    }
    // Passes the zero that ends a run of numbers on a whole word.
    bool end_run() {
      if (read_ % 8 == 0) return true;
      Number zero = 1;
      return get_values(&zero, 1) && zero == 0;
    }

   private:
    const HnswImageSource& source_;
    std::uint64_t read_ = 0;
  };

  // The configuration the header's words describe, or nothing when one of
  // them is out of its range.
  static std::optional<HnswConfig> config_of(std::span<const std::uint64_t, 15> words) {
    const auto [m, m_max, m_max0, ef_construction, ef_search, ml_bits, selection, keep_pruned, has_seed, seed,
                retire_deleted, share_bits, build_threads] =
        std::tuple(words[0], words[1], words[2], words[3], words[4], words[5], words[6], words[7], words[8],
                   words[9], words[10], words[11], words[12]);
    constexpr std::uint64_t kWord32 = std::numeric_limits<std::uint32_t>::max();
    if (ml_bits > kWord32 || share_bits > kWord32 || seed > kWord32 || keep_pruned > 1 || has_seed > 1 ||
        retire_deleted > 1 || selection > static_cast<std::uint8_t>(NeighborSelection::Diverse)) {
      return std::nullopt;
    }
    HnswConfig config{m, m_max, m_max0, ef_construction, ef_search,
                      std::bit_cast<float>(static_cast<std::uint32_t>(ml_bits))};
    config.selection = static_cast<NeighborSelection>(selection);
    config.keep_pruned = keep_pruned == 1;
    if (has_seed == 1) config.seed = static_cast<std::uint32_t>(seed);
    config.retire_deleted = retire_deleted == 1;
    config.retired_share = std::bit_cast<float>(static_cast<std::uint32_t>(share_bits));
    config.build_threads = build_threads;
    return config;
  }

  static std::optional<HnswIndex> read(const HnswImageSource& source, std::uint64_t expected_slots,
                                       std::uint64_t highest_level, const ParallelParts& run_parts) {
    Reader in(source);
    std::uint64_t head[23];
    if (!in.get_values(head, std::size(head))) return std::nullopt;
    if (head[0] != kImageFormat || head[1] != 0) return std::nullopt;
    const std::optional<HnswConfig> config = config_of(std::span<const std::uint64_t, 15>(head + 2, 15));
    if (!config) return std::nullopt;
    const auto [level_draws, slots, size, has_entry, entry, top_level, slot_size, upper_slot_size] =
        std::tuple(head[15], head[16], head[17], head[18], head[19], head[20], head[21], head[22]);
    HnswIndex index(*config);
    HnswLinks& links = *index.links_;
    // The layout follows from the configuration; a stored one must agree.
    if (slot_size != links.slot_size_ || upper_slot_size != links.upper_slot_size_) return std::nullopt;
    if (has_entry > 1 || size > slots || hnsw_slots_problem(slots)) return std::nullopt;
    if (slots != expected_slots || top_level > highest_level) return std::nullopt;
    if (!config->seed && level_draws != 0) return std::nullopt;

    // The source writes every number (as it does the lists' below), the
    // first to touch their pages.
    resize_mapped(links.levels_, slots, false);
    if (!in.get_values(links.levels_.data(), slots) || !in.end_run()) return std::nullopt;
    // Each node's first upper list follows those of the nodes before it.
    resize_mapped(links.first_upper_, slots, false);
    std::uint64_t nodes = 0;
    std::uint64_t upper_count = 0;
    for (std::uint64_t node = 0; node < slots; ++node) {
      const Number level = links.levels_[node];
      links.first_upper_[node] = level == kNoNode || level == 0 ? 0 : static_cast<Number>(upper_count);
      if (level == kNoNode) continue;
      if (level > top_level) return std::nullopt;
      ++nodes;
      upper_count += level;
      if (upper_count > HnswLinks::kMostSlots) return std::nullopt;
    }
    links.upper_count_ = upper_count;
    if (nodes != size || (has_entry == 1) != (size > 0)) return std::nullopt;
    if (has_entry == 1 && (entry >= slots || links.levels_[entry] == kNoNode || links.levels_[entry] != top_level)) {
      return std::nullopt;
    }
    if (has_entry == 0 && top_level != 0) return std::nullopt;
    // A neighbour on `layer` is another node with a list there.
    const auto fits = [&](std::uint64_t owner, std::uint64_t layer) {
      return [&links, slots, owner, layer](std::uint64_t number) {
        return number < slots && number != owner && links.levels_[number] != kNoNode &&
               links.levels_[number] >= layer;
      };
    };
    const std::uint64_t longest_layer0 = std::max(config->m, config->m_max0);
    const std::uint64_t longest_upper = std::max(config->m, config->m_max);

    if (slot_size != 0) {
      resize_mapped(links.layer0_slots_, slots * slot_size, false);
      if (!in.get_values(links.layer0_slots_.data(), links.layer0_slots_.size())) return std::nullopt;
    } else {
      links.layer0_lists_.resize(slots);
      for (std::uint64_t node = 0; node < slots; ++node) {
        if (!read_list(in, links.layer0_lists_[node], longest_layer0, fits(node, 0))) return std::nullopt;
        if (links.levels_[node] == kNoNode && !links.layer0_lists_[node].empty()) return std::nullopt;
      }
    }
    if (!in.end_run()) return std::nullopt;
    if (upper_slot_size != 0) {
      resize_mapped(links.upper_slots_, upper_count * upper_slot_size, false);
      if (!in.get_values(links.upper_slots_.data(), links.upper_slots_.size())) return std::nullopt;
    } else {
      links.upper_lists_.resize(upper_count);
      for (std::uint64_t node = 0; node < slots; ++node) {
        const Number level = links.levels_[node];
        if (level == kNoNode) continue;
        for (std::uint64_t layer = 1; layer <= level; ++layer) {
          std::vector<Number>& list = links.upper_lists_[links.upper_of(node, layer)];
          if (!read_list(in, list, longest_upper, fits(node, layer))) return std::nullopt;
        }
      }
    }
    if (!in.end_run()) return std::nullopt;

    // The lists laid out in slots are checked in parts, on the workers.
    if (slot_size != 0 || upper_slot_size != 0) {
      const std::uint64_t parts = (slots + kCheckedPerPart - 1) / kCheckedPerPart;
      std::atomic<bool> valid = true;
      const auto check_part = [&](std::size_t part) {
        const std::uint64_t last = std::min(slots, (part + 1) * kCheckedPerPart);
        for (std::uint64_t node = part * kCheckedPerPart; node < last && valid; ++node) {
          const Number level = links.levels_[node];
          if (slot_size != 0) {
            const Number* slot = links.layer0_slots_.data() + node * slot_size;
            if (slot[0] > (level != kNoNode ? slot_size - 1 : 0) ||
                !std::all_of(slot + 1, slot + 1 + slot[0], fits(node, 0))) {
              valid = false;
            }
          }
          if (upper_slot_size == 0 || level == kNoNode) continue;
          for (std::uint64_t layer = 1; layer <= level; ++layer) {
            const Number* slot = links.upper_slots_.data() + links.upper_of(node, layer) * upper_slot_size;
            if (slot[0] > longest_upper || !std::all_of(slot + 1, slot + 1 + slot[0], fits(node, layer))) {
              valid = false;
            }
          }
        }
      };
      if (run_parts) {
        run_parts(static_cast<std::size_t>(parts), check_part);
      } else {
        for (std::uint64_t part = 0; part < parts; ++part) check_part(static_cast<std::size_t>(part));
      }
      if (!valid) return std::nullopt;
    }

    std::uint64_t marks = 0;
    if (!in.get(marks) || marks > slots) return std::nullopt;
    std::vector<std::uint64_t> mark_words((marks + 7) / 8);
    if (!in.get_values(mark_words.data(), mark_words.size())) return std::nullopt;
    index.retired_.resize(marks);
    std::memcpy(index.retired_.data(), mark_words.data(), marks);
    for (std::uint64_t node = 0; node < marks; ++node) {
      if (index.retired_[node] > 1 || (index.retired_[node] == 1 && links.levels_[node] == kNoNode)) {
        return std::nullopt;
      }
      index.retired_count_ += index.retired_[node];
    }

    index.size_ = size;
    index.top_level_ = top_level;
    if (has_entry == 1) index.entry_point_ = entry;
    if (index.generator_) {
      index.generator_->discard(level_draws);
      index.level_draws_ = level_draws;
    }
    return index;
  }

  static std::uint64_t slots(const HnswIndex& index) { return index.links_->slots(); }

  template <typename Fits>
  static bool read_list(Reader& in, std::vector<Number>& list, std::uint64_t longest, const Fits& fits) {
    Number count = 0;
    if (!in.get_values(&count, 1) || count > longest) return false;
    list.resize(count);
    if (!in.get_values(list.data(), count)) return false;
    return std::all_of(list.begin(), list.end(), fits);
  }
};

void write_hnsw_image(const HnswIndex& index, std::span<const std::size_t> order, const HnswImageSink& sink) {
  HnswImage::write(index, order, sink);
}

std::optional<HnswIndex> read_hnsw_image(const HnswImageSource& source, std::uint64_t slots,
                                         std::uint64_t highest_level, const ParallelParts& run_parts) {
  return HnswImage::read(source, slots, highest_level, run_parts);
}

HnswIndex renumbered(const HnswIndex& index, std::span<const std::size_t> order) {
  std::string bytes;
  write_hnsw_image(index, order, [&](std::span<const std::byte> part) {
    bytes.append(reinterpret_cast<const char*>(part.data()), part.size());
  });
  std::size_t at = 0;
  auto copy = read_hnsw_image(
      [&](std::span<std::byte> into) {
        if (bytes.size() - at < into.size()) return false;
        std::memcpy(into.data(), bytes.data() + at, into.size());
        at += into.size();
        return true;
      },
      HnswImage::slots(index), std::numeric_limits<std::uint64_t>::max());
  return std::move(*copy);
}

}  // namespace quorvel
