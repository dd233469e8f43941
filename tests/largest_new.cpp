// Replaces operator new to keep the largest block asked for, so that a test can show that what
// a file's header claims is never allocated ahead of the bytes that hold it. In a file of its
// own, where no caller sees the bodies.
#include <atomic>
#include <cstdlib>
#include <new>

std::atomic<size_t> g_largest_new{0};

void* operator new(size_t n) {
  size_t seen = g_largest_new.load();
  while (n > seen && !g_largest_new.compare_exchange_weak(seen, n)) {
  }
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, size_t) noexcept {
  std::free(p);
}
