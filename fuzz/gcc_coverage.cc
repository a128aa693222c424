// Coverage feedback for libFuzzer when g++ compiles the code under test.
//
// g++ 12 offers -fsanitize-coverage=trace-pc (a call to
// __sanitizer_cov_trace_pc() at the start of every basic block) but not the
// inline counters that clang emits, and clang 14 cannot compile the C++23
// library we test. This file turns the block calls into edge counters that
// libFuzzer reads as its coverage: the edge from the previous block to this
// one, hashed into a table registered with __sanitizer_cov_8bit_counters_init.
// The comparison hooks of -fsanitize-coverage=trace-cmp are libFuzzer's own,
// apart from the floating-point ones, which it lacks and which add nothing here.
//
// Nothing in this file may itself be instrumented: it would call itself.

#include <cstddef>
#include <cstdint>

extern "C" void __sanitizer_cov_8bit_counters_init(std::uint8_t* start, std::uint8_t* stop);

namespace {

constexpr std::size_t kCounterCount = std::size_t{1} << 16;
std::uint8_t counters[kCounterCount];
thread_local std::uintptr_t previous_block = 0;

__attribute__((constructor, no_sanitize_coverage, no_sanitize("address", "undefined"))) void
register_counters() {
  __sanitizer_cov_8bit_counters_init(counters, counters + kCounterCount);
}

}  // namespace

extern "C" __attribute__((no_sanitize_coverage, no_sanitize("address", "undefined"))) void
__sanitizer_cov_trace_pc() {
  const auto pc = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  // Spread the return address over the table; shift the previous block so
  // that the edges A->B and B->A land on different counters.
  const std::uintptr_t block = (pc * 0x9E3779B97F4A7C15u) >> 48;
  ++counters[(block ^ previous_block) & (kCounterCount - 1)];
  previous_block = block >> 1;
}

extern "C" __attribute__((no_sanitize_coverage)) void __sanitizer_cov_trace_cmpf(float, float) {}
extern "C" __attribute__((no_sanitize_coverage)) void __sanitizer_cov_trace_cmpd(double, double) {}
