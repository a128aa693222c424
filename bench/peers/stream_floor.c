/* The memory-bandwidth floor of an exhaustive search: the time to read N x d
 * floats once, on every core, doing nothing else with them. */
#include <stddef.h>
#include <stdint.h>

/* Reads every word of `words` once, on all OpenMP threads, and returns their
 * bitwise OR so that no read can be optimised away. Threads take 64 KiB blocks
 * as they come free, so that one thread descheduled on a shared machine does
 * not leave the others waiting at the end. */
uint64_t stream_words(const uint64_t *words, size_t count) {
    uint64_t combined = 0;
#pragma omp parallel for reduction(| : combined) schedule(dynamic, 8192)
    for (size_t i = 0; i < count; ++i) combined |= words[i];
    return combined;
}
