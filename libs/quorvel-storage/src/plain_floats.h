#pragma once

#include <cstddef>
#include <vector>

#include "mapped_allocator.h"

namespace quorvel {

// A block of floats that loading fills, mapped straight from the system.
using FloatBlock = std::vector<float, MappedAllocator<float>>;

// Where a run of plain numbers stopped.
struct PlainFloats {
  const char* next;  // the start of the first element not read, or after ']'
  bool closed;       // the array's ']' was reached and consumed
};

// The fast way through the elements of a JSON array of numbers, from `p`
// (just after the '[' or a ',') to `end`, for the shape the store writes
// vector elements in: while an element is "-?digits(.digits)?" of at most 15
// bytes, with at most eight digits before the point and no whitespace,
// followed directly by ',' or ']', appends it as the number reader would
// (the nearest float to the nearest double of the decimal, which one exact
// division gives; an integer's nearest float). Each element is checked and converted from one 16-byte
// load, with no branch per digit: the digit counts of stored numbers vary
// from one to the next, and branches on them mispredict.
//
// Stops at the start of the first element of any other shape (or too near
// `end` to load 16 bytes), having appended the elements before it; the
// caller reads on element by element, which reports any error exactly.
PlainFloats read_plain_floats(const char* p, const char* end, FloatBlock& out);

}  // namespace quorvel
