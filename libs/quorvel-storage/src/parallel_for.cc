#include "quorvel/storage/parallel_for.h"

namespace quorvel {

void run_serially(std::size_t count, const std::function<void(std::size_t, std::size_t)>& body) {
  if (count > 0) body(0, count);
}

}  // namespace quorvel
