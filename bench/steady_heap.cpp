// Keeps the allocator from handing freed memory back to the system in the
// benchmark process. Several cases free megabytes per iteration (a matcher
// build, a scan with thousands of signals); whether glibc then trims its heap
// and faults the pages in again depends on what else happens to sit on the
// heap, so warm figures would swing with unrelated changes. The FreshPages
// cases still hand memory back explicitly with malloc_trim.
#include <malloc.h>

namespace {

const bool kSteadyHeap = [] {
  constexpr int kLarge = 1 << 30;
  mallopt(M_MMAP_THRESHOLD, kLarge);
  mallopt(M_TRIM_THRESHOLD, kLarge);
  return true;
}();

}  // namespace
