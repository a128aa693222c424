#include "quorvel/index/hnsw_image.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <fstream>
#include <sstream>
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

// Whether free memory holds `bytes` in whole huge pages now, with room to
// spare, so that asking for them does not make the kernel compact memory
// while the caller waits: the free blocks of 2 MiB and more that
// /proc/buddyinfo lists per zone (orders 9 and 10 of 4 KiB pages).
bool huge_pages_free_for(std::size_t bytes) {
  std::ifstream enabled("/sys/kernel/mm/transparent_hugepage/enabled");
  std::string modes;
  if (!std::getline(enabled, modes) || modes.find("[never]") != std::string::npos) return false;
  std::ifstream zones("/proc/buddyinfo");
  std::size_t free_huge = 0;
  for (std::string zone; std::getline(zones, zone);) {
    std::istringstream counts(zone.substr(std::min(zone.size(), zone.find("zone") + 4)));
    std::string name;
    counts >> name;
    std::size_t blocks = 0;
    for (std::size_t order = 0; counts >> blocks; ++order) free_huge += order >= 9 ? blocks << (order - 9) : 0;
  }
  return free_huge * kHugePage >= 2 * bytes;
}

// Sizes the vector to `count` elements, its storage in huge pages where
// they are free: the lists of a large graph are hundreds of megabytes, and
// touching fresh small pages one by one costs a fault apiece, which a
// virtual machine makes dear (filling them took three times as long as
// reading the graph). With `populate` the pages are mapped in one call
// first; without it they are left to whoever writes them first (new words
// of a vector whose allocator leaves them unwritten stay so).
template <typename Vector>
void resize_mapped(Vector& words, std::size_t count, bool populate) {
  const std::size_t bytes = count * sizeof(typename Vector::value_type);
  if (bytes >= 2 * kHugePage && count > words.capacity()) {
    words.reserve(count);
    const auto start = reinterpret_cast<std::uintptr_t>(words.data());
    const std::uintptr_t huge_start = (start + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t huge_end = (start + bytes) & ~(kHugePage - 1);
    if (huge_end > huge_start && huge_pages_free_for(bytes)) {
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

// Node slots whose layer-0 lists one part checks.
constexpr std::uint64_t kCheckedPerPart = 16384;

}  // namespace

// The image, in 64-bit words (little-endian, as the index keeps them):
//   format (kImageFormat), parts (0: none of the optional parts below yet)
//   configuration: m, m_max, m_max0, ef_construction, ef_search, ml's bits,
//            selection, keep_pruned, has seed, seed, retire_deleted,
//            retired_share's bits, build_threads
//   level draws of the seeded generator (0 without a seed)
//   slots, size, has entry point, entry point, top level, layer-0 slot size
//   the level of each node slot (kNoNode where there is no node)
//   layer 0: slots x slot size words as the index lays its slots out
//            ([count, neighbour, ...]), or, with a slot size of 0, each
//            node's count and neighbours
//   layers 1 and up: for each node of a level above 0, for each of those
//            layers, the count and the neighbours
//   retired marks: their count (at most slots), then one byte per node
//            number, padded with zeros to whole words
// `parts` leaves room for what a later format adds after the marks.
struct HnswImage {
  static constexpr std::uint64_t kImageFormat = 2;
  static constexpr std::uint64_t kNoNode = HnswLinks::kNoNode;
  // Words gathered before they are handed to the sink.
  static constexpr std::size_t kBufferWords = 8192;

  class Writer {
   public:
    explicit Writer(const HnswImageSink& sink) : sink_(sink) { buffer_.reserve(kBufferWords); }
    ~Writer() { flush(); }
    void put(std::uint64_t word) {
      buffer_.push_back(word);
      if (buffer_.size() == kBufferWords) flush();
    }
    void flush() {
      if (!buffer_.empty()) sink_(std::as_bytes(std::span(buffer_)));
      buffer_.clear();
    }

   private:
    const HnswImageSink& sink_;
    std::vector<std::uint64_t> buffer_;
  };

  static std::uint64_t bits_of(float value) { return std::bit_cast<std::uint32_t>(value); }

  static void write(const HnswIndex& index, std::span<const std::size_t> order, const HnswImageSink& sink) {
    const HnswLinks& links = *index.links_;
    const std::uint64_t slots = links.slots();
    // new_of[old] and old_of(new): identity without an order.
    std::vector<std::uint64_t> new_of;
    if (!order.empty()) {
      new_of.assign(slots, kNoNode);
      for (std::size_t i = 0; i < order.size(); ++i) new_of[order[i]] = i;
    }
    const auto renumber = [&](std::uint64_t node) { return new_of.empty() ? node : new_of[node]; };
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
          index.entry_point_ ? renumber(*index.entry_point_) : 0, index.top_level_, std::uint64_t{links.slot_size_}}) {
      out.put(word);
    }
    for (std::uint64_t node = 0; node < slots; ++node) out.put(links.levels_[old_of(node)]);
    for (std::uint64_t node = 0; node < slots; ++node) {
      const std::uint64_t old = old_of(node);
      if (links.slot_size_ != 0) {
        const std::uint64_t* slot = links.layer0_slots_.data() + old * links.slot_size_;
        out.put(slot[0]);
        for (std::size_t i = 1; i < links.slot_size_; ++i) out.put(i <= slot[0] ? renumber(slot[i]) : 0);
      } else {
        const std::vector<std::uint64_t>& list = links.layer0_lists_[old];
        out.put(list.size());
        for (const std::uint64_t neighbor : list) out.put(renumber(neighbor));
      }
    }
    for (std::uint64_t node = 0; node < slots; ++node) {
      const std::uint64_t old = old_of(node);
      if (links.levels_[old] == kNoNode) continue;
      for (const std::vector<std::uint64_t>& list : links.upper_[old]) {
        out.put(list.size());
        for (const std::uint64_t neighbor : list) out.put(renumber(neighbor));
      }
    }
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
    bool get(std::uint64_t& word) { return source_(std::as_writable_bytes(std::span(&word, 1))); }
    bool get_words(std::uint64_t* into, std::size_t count) {
      return source_(std::as_writable_bytes(std::span(into, count)));
    }

   private:
    const HnswImageSource& source_;
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
    std::uint64_t head[22];
    if (!in.get_words(head, std::size(head))) return std::nullopt;
    if (head[0] != kImageFormat || head[1] != 0) return std::nullopt;
    const std::optional<HnswConfig> config = config_of(std::span<const std::uint64_t, 15>(head + 2, 15));
    if (!config) return std::nullopt;
    const auto [level_draws, slots, size, has_entry, entry, top_level, slot_size] =
        std::tuple(head[15], head[16], head[17], head[18], head[19], head[20], head[21]);
    HnswIndex index(*config);
    HnswLinks& links = *index.links_;
    // The layout follows from the configuration; a stored one must agree.
    if (slot_size != links.slot_size_ || has_entry > 1 || size > slots) return std::nullopt;
    if (slots != expected_slots || top_level > highest_level) return std::nullopt;
    if (!config->seed && level_draws != 0) return std::nullopt;

    // The source writes every word (as it does the layer-0 array's below),
    // the first to touch their pages.
    resize_mapped(links.levels_, slots, false);
    if (!in.get_words(links.levels_.data(), slots)) return std::nullopt;
    std::uint64_t nodes = 0;
    for (const std::uint64_t level : links.levels_) {
      if (level == kNoNode) continue;
      if (level > top_level) return std::nullopt;
      ++nodes;
    }
    if (nodes != size || (has_entry == 1) != (size > 0)) return std::nullopt;
    if (has_entry == 1 && (entry >= slots || links.levels_[entry] != top_level)) return std::nullopt;
    if (has_entry == 0 && top_level != 0) return std::nullopt;
    // A neighbour on `layer` is another node with a list there.
    const auto fits = [&](std::uint64_t owner, std::uint64_t layer) {
      return [&links, slots, owner, layer](std::uint64_t number) {
        return number < slots && number != owner && links.levels_[number] != kNoNode &&
               links.levels_[number] >= layer;
      };
    };

    if (slot_size != 0) {
      resize_mapped(links.layer0_slots_, slots * slot_size, false);
      if (!in.get_words(links.layer0_slots_.data(), links.layer0_slots_.size())) return std::nullopt;
      const std::uint64_t parts = (slots + kCheckedPerPart - 1) / kCheckedPerPart;
      std::atomic<bool> valid = true;
      const auto check_part = [&](std::size_t part) {
        const std::uint64_t last = std::min(slots, (part + 1) * kCheckedPerPart);
        for (std::uint64_t node = part * kCheckedPerPart; node < last && valid; ++node) {
          const std::uint64_t* slot = links.layer0_slots_.data() + node * slot_size;
          const bool present = links.levels_[node] != kNoNode;
          if (slot[0] > (present ? slot_size - 1 : 0) || !std::all_of(slot + 1, slot + 1 + slot[0], fits(node, 0))) {
            valid = false;
          }
        }
      };
      if (run_parts) {
        run_parts(static_cast<std::size_t>(parts), check_part);
      } else {
        for (std::uint64_t part = 0; part < parts; ++part) check_part(static_cast<std::size_t>(part));
      }
      if (!valid) return std::nullopt;
    } else {
      const std::uint64_t longest = std::max(config->m, config->m_max0);
      links.layer0_lists_.resize(slots);
      for (std::uint64_t node = 0; node < slots; ++node) {
        if (!read_list(in, links.layer0_lists_[node], longest, fits(node, 0))) return std::nullopt;
        if (links.levels_[node] == kNoNode && !links.layer0_lists_[node].empty()) return std::nullopt;
      }
    }
    const std::uint64_t longest_upper = std::max(config->m, config->m_max);
    // An empty vector per slot: tens of megabytes at a million nodes.
    resize_mapped(links.upper_, slots, true);
    for (std::uint64_t node = 0; node < slots; ++node) {
      const std::uint64_t level = links.levels_[node];
      if (level == kNoNode || level == 0) continue;
      links.upper_[node].resize(level);
      for (std::uint64_t layer = 1; layer <= level; ++layer) {
        if (!read_list(in, links.upper_[node][layer - 1], longest_upper, fits(node, layer))) return std::nullopt;
      }
    }

    std::uint64_t marks = 0;
    if (!in.get(marks) || marks > slots) return std::nullopt;
    std::vector<std::uint64_t> mark_words((marks + 7) / 8);
    if (!in.get_words(mark_words.data(), mark_words.size())) return std::nullopt;
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
  static bool read_list(Reader& in, std::vector<std::uint64_t>& list, std::uint64_t longest, const Fits& fits) {
    std::uint64_t count = 0;
    if (!in.get(count) || count > longest) return false;
    list.resize(count);
    if (!in.get_words(list.data(), count)) return false;
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
