// The program's operator new, over malloc, with one failure on demand
// (tests/doubles/failing_new.h).
#include "tests/doubles/failing_new.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<long> g_left{-1};  // allocations before the failure; -1: none armed
std::atomic<bool> g_failed{false};

// True for the allocation chosen to fail.
bool TakeFailure() {
  long n = g_left.load();
  while (n >= 0) {
    if (g_left.compare_exchange_weak(n, n - 1)) {
      if (n != 0) return false;
      g_failed = true;
      return true;
    }
  }
  return false;
}

void* Allocate(std::size_t n) {
  if (TakeFailure()) return nullptr;
  return std::malloc(n == 0 ? 1 : n);
}

}  // namespace

void FailNewAfter(long skip) {
  g_failed = false;
  g_left = skip;
}

bool FailedNewAndDisarm() {
  g_left = -1;
  return g_failed.exchange(false);
}

void* operator new(std::size_t n) {
  void* const p = Allocate(n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
