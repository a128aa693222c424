#pragma once

// The block-of-eight loops, written once over a "Lanes" type that holds
// eight floats and adds, subtracts and multiplies them lane by lane. Each
// kernel file instantiates them with its own instruction set.
//
// Everything here has internal linkage on purpose: a kernel file compiled
// for AVX2 must not hand the linker an inline function that a baseline file
// might then call on a processor without AVX2.
//
// Lanes provides: type V; V zero(); V load(const float*) (unaligned);
// V add(V, V); V sub(V, V); V mul(V, V); void store(float* out8, V).

#include <algorithm>
#include <cstddef>

#include "metric_kernels.h"

namespace quorvel::kernels {
namespace {

// ((s0 + s1) + s2) + s3 plus ((s4 + s5) + s6) + s7.
inline float combine(const float* s) {
  const float low = ((s[0] + s[1]) + s[2]) + s[3];
  const float high = ((s[4] + s[5]) + s[6]) + s[7];
  return low + high;
}

template <typename L>
float combine_lanes(typename L::V sums) {
  float lanes[8];
  L::store(lanes, sums);
  return combine(lanes);
}

template <typename L>
float block_dot(const float* a, const float* b, std::size_t n) {
  const std::size_t blocks_end = n - n % 8;
  typename L::V sums = L::zero();
  for (std::size_t i = 0; i < blocks_end; i += 8) {
    sums = L::add(sums, L::mul(L::load(a + i), L::load(b + i)));
  }
  float total = combine_lanes<L>(sums);
  for (std::size_t i = blocks_end; i < n; ++i) total += a[i] * b[i];
  return total;
}

template <typename L>
float block_squared_distance(const float* a, const float* b, std::size_t n) {
  const std::size_t blocks_end = n - n % 8;
  typename L::V sums = L::zero();
  for (std::size_t i = 0; i < blocks_end; i += 8) {
    const typename L::V d = L::sub(L::load(a + i), L::load(b + i));
    sums = L::add(sums, L::mul(d, d));
  }
  float total = combine_lanes<L>(sums);
  for (std::size_t i = blocks_end; i < n; ++i) {
    const float d = a[i] - b[i];
    total += d * d;
  }
  return total;
}

template <typename L>
CosineSums block_cosine_sums(const float* a, const float* b, std::size_t n) {
  const std::size_t blocks_end = n - n % 8;
  typename L::V dot = L::zero();
  typename L::V aa = L::zero();
  typename L::V bb = L::zero();
  for (std::size_t i = 0; i < blocks_end; i += 8) {
    const typename L::V va = L::load(a + i);
    const typename L::V vb = L::load(b + i);
    dot = L::add(dot, L::mul(va, vb));
    aa = L::add(aa, L::mul(va, va));
    bb = L::add(bb, L::mul(vb, vb));
  }
  CosineSums sums{combine_lanes<L>(dot), combine_lanes<L>(aa), combine_lanes<L>(bb)};
  for (std::size_t i = blocks_end; i < n; ++i) {
    sums.dot += a[i] * b[i];
    sums.a_squares += a[i] * a[i];
    sums.b_squares += b[i] * b[i];
  }
  return sums;
}

// The many-vector loops run kSideBySide vectors at a time (W = 4 keeps
// every sum in a register on 16-register instruction sets), the last few
// fewer. Each vector keeps its own eight running sums, added block after
// block exactly as its one-pair loop adds them.
constexpr std::size_t kSideBySide = 4;

template <typename L, std::size_t W>
void dot_side_by_side(const float* a, const float* const* others, std::size_t n, float* out) {
  const std::size_t blocks_end = n - n % 8;
  typename L::V sums[W];
  for (std::size_t v = 0; v < W; ++v) sums[v] = L::zero();
  for (std::size_t i = 0; i < blocks_end; i += 8) {
    const typename L::V va = L::load(a + i);
    for (std::size_t v = 0; v < W; ++v) sums[v] = L::add(sums[v], L::mul(va, L::load(others[v] + i)));
  }
  for (std::size_t v = 0; v < W; ++v) {
    float total = combine_lanes<L>(sums[v]);
    for (std::size_t i = blocks_end; i < n; ++i) total += a[i] * others[v][i];
    out[v] = total;
  }
}

template <typename L, std::size_t W>
void squared_distance_side_by_side(const float* a, const float* const* others, std::size_t n, float* out) {
  const std::size_t blocks_end = n - n % 8;
  typename L::V sums[W];
  for (std::size_t v = 0; v < W; ++v) sums[v] = L::zero();
  for (std::size_t i = 0; i < blocks_end; i += 8) {
    const typename L::V va = L::load(a + i);
    for (std::size_t v = 0; v < W; ++v) {
      const typename L::V d = L::sub(va, L::load(others[v] + i));
      sums[v] = L::add(sums[v], L::mul(d, d));
    }
  }
  for (std::size_t v = 0; v < W; ++v) {
    float total = combine_lanes<L>(sums[v]);
    for (std::size_t i = blocks_end; i < n; ++i) {
      const float d = a[i] - others[v][i];
      total += d * d;
    }
    out[v] = total;
  }
}

template <typename L, std::size_t W>
void cosine_sums_side_by_side(const float* a, const float* const* others, std::size_t n, float* dots,
                              float* others_squares) {
  const std::size_t blocks_end = n - n % 8;
  typename L::V dot[W];
  typename L::V bb[W];
  for (std::size_t v = 0; v < W; ++v) dot[v] = bb[v] = L::zero();
  for (std::size_t i = 0; i < blocks_end; i += 8) {
    const typename L::V va = L::load(a + i);
    for (std::size_t v = 0; v < W; ++v) {
      const typename L::V vb = L::load(others[v] + i);
      dot[v] = L::add(dot[v], L::mul(va, vb));
      bb[v] = L::add(bb[v], L::mul(vb, vb));
    }
  }
  for (std::size_t v = 0; v < W; ++v) {
    float dot_total = combine_lanes<L>(dot[v]);
    float squares_total = combine_lanes<L>(bb[v]);
    for (std::size_t i = blocks_end; i < n; ++i) {
      const float b = others[v][i];
      dot_total += a[i] * b;
      squares_total += b * b;
    }
    dots[v] = dot_total;
    others_squares[v] = squares_total;
  }
}

// Runs `group.template operator()<W>(first)` over the others in groups of
// kSideBySide, then one group of the 1 to kSideBySide - 1 left over.
template <typename Group>
void in_groups(std::size_t count, const Group& group) {
  std::size_t first = 0;
  for (; first + kSideBySide <= count; first += kSideBySide) group.template operator()<kSideBySide>(first);
  switch (count - first) {
    case 3:
      group.template operator()<3>(first);
      break;
    case 2:
      group.template operator()<2>(first);
      break;
    case 1:
      group.template operator()<1>(first);
      break;
    default:
      break;
  }
}

template <typename L>
void block_dot_many(const float* a, const float* const* others, std::size_t count, std::size_t n, float* out) {
  in_groups(count, [&]<std::size_t W>(std::size_t first) {
    dot_side_by_side<L, W>(a, others + first, n, out + first);
  });
}

template <typename L>
void block_squared_distance_many(const float* a, const float* const* others, std::size_t count, std::size_t n,
                                 float* out) {
  in_groups(count, [&]<std::size_t W>(std::size_t first) {
    squared_distance_side_by_side<L, W>(a, others + first, n, out + first);
  });
}

template <typename L>
void block_cosine_sums_many(const float* a, const float* const* others, std::size_t count, std::size_t n,
                            float* dots, float* others_squares) {
  in_groups(count, [&]<std::size_t W>(std::size_t first) {
    cosine_sums_side_by_side<L, W>(a, others + first, n, dots + first, others_squares + first);
  });
}

// Adds the blocks from coordinate `from` up to `to` of W vectors to their
// running sums.
template <typename L, std::size_t W>
void add_squares(const float* a, const float* const* others, std::size_t from, std::size_t to,
                 typename L::V* sums) {
  typename L::V running[W];
  for (std::size_t v = 0; v < W; ++v) running[v] = sums[v];
  for (std::size_t i = from; i < to; i += 8) {
    const typename L::V va = L::load(a + i);
    for (std::size_t v = 0; v < W; ++v) {
      const typename L::V d = L::sub(va, L::load(others[v] + i));
      running[v] = L::add(running[v], L::mul(d, d));
    }
  }
  for (std::size_t v = 0; v < W; ++v) sums[v] = running[v];
}

// The most vectors one call of the stopping loop takes. Each vector is read
// in several stretches; with few vectors between two stretches of one, its
// next lines are still on their way or in cache when it is taken up again
// (8 measured faster than 16 or 64 on vectors far larger than the cache).
constexpr std::size_t kMostUpTo = 8;

// The vectors are summed side by side in stretches that end at 1/2, 5/8,
// 3/4, 7/8 and all of the blocks. After each stretch but the last, a
// vector whose running total (its eight sums combined as at the end) has
// reached the limit is set aside with that total; the others go on. The
// combined total only grows as blocks are added, and the tail terms only
// add to it, so a total that has reached the limit is a lower bound of the
// squared distance (or that distance is NaN).
template <typename L>
void squared_distance_up_to_run(const float* a, const float* const* others, std::size_t count, std::size_t n,
                                float limit, float* out) {
  const std::size_t blocks = n / 8;
  const std::size_t stretch_ends[] = {blocks * 4 / 8, blocks * 5 / 8, blocks * 6 / 8, blocks * 7 / 8, blocks};
  typename L::V sums[kMostUpTo];
  const float* live_vectors[kMostUpTo];
  std::size_t live_index[kMostUpTo];
  for (std::size_t v = 0; v < count; ++v) {
    sums[v] = L::zero();
    live_vectors[v] = others[v];
    live_index[v] = v;
  }
  std::size_t live = count;
  std::size_t from = 0;
  for (const std::size_t stretch_end : stretch_ends) {
    const std::size_t to = 8 * stretch_end;
    if (to > from) {
      in_groups(live, [&]<std::size_t W>(std::size_t first) {
        add_squares<L, W>(a, live_vectors + first, from, to, sums + first);
      });
    }
    from = to;
    const bool last = stretch_end == blocks;
    std::size_t kept = 0;
    for (std::size_t v = 0; v < live; ++v) {
      float total = combine_lanes<L>(sums[v]);
      if (last) {
        for (std::size_t i = from; i < n; ++i) {
          const float d = a[i] - live_vectors[v][i];
          total += d * d;
        }
        out[live_index[v]] = total;
      } else if (total >= limit) {
        out[live_index[v]] = total;
      } else {
        sums[kept] = sums[v];
        live_vectors[kept] = live_vectors[v];
        live_index[kept] = live_index[v];
        ++kept;
      }
    }
    if (last) return;
    live = kept;
  }
}

template <typename L>
void block_squared_distance_many_up_to(const float* a, const float* const* others, std::size_t count,
                                       std::size_t n, float limit, float* out) {
  for (std::size_t first = 0; first < count; first += kMostUpTo) {
    squared_distance_up_to_run<L>(a, others + first, std::min(kMostUpTo, count - first), n, limit, out + first);
  }
}

template <typename L>
constexpr KernelSet make_kernel_set(const char* name) {
  return KernelSet{name,
                   &block_dot<L>,
                   &block_squared_distance<L>,
                   &block_cosine_sums<L>,
                   &block_dot_many<L>,
                   &block_squared_distance_many<L>,
                   &block_squared_distance_many_up_to<L>,
                   &block_cosine_sums_many<L>};
}

}  // namespace
}  // namespace quorvel::kernels
