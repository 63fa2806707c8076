// Counts the program's heap allocations, for benchmarks that report
// allocations per operation. Include it in exactly one file of a program:
// it replaces the global operator new and delete.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

namespace bench_allocations {
inline std::size_t count = 0;
}  // namespace bench_allocations

void* operator new(std::size_t size) {
  ++bench_allocations::count;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
