// The thread tops' handling of exhausted memory, with the heap made to refuse
// every allocation from the moment the step throws.

#include <doctest/doctest.h>

#include <stdlib.h>

#include <new>

#include "base/guarded.h"

namespace {

bool g_refuseAllocations = false;

template <typename Thrown>
Result RunOutOfMemory(Thrown thrown) {
  struct Restore {
    ~Restore() { g_refuseAllocations = false; }
  } restore;
  return RunGuarded(
      [&]() -> Result {
        g_refuseAllocations = true;
        throw thrown;
      },
      598, 601);
}

}  // namespace

// Every allocation of this test program comes here.
void* operator new(size_t size) {
  void* memory = g_refuseAllocations ? nullptr : malloc(size != 0 ? size : 1);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}
void operator delete(void* memory) noexcept { free(memory); }
void operator delete(void* memory, size_t) noexcept { free(memory); }

TEST_CASE("out of memory at a thread's top needs no memory of its own") {
  for (const Result& r :
       {RunOutOfMemory(std::bad_alloc()), RunOutOfMemory(CAtlException(E_OUTOFMEMORY))}) {
    CHECK(r.hr == E_OUTOFMEMORY);
    CHECK(r.code == 598);
    CHECK(r.message == L"Exception");
  }
  const Result other = RunOutOfMemory(CAtlException(E_INVALIDARG));
  CHECK(other.hr == E_INVALIDARG);
  CHECK(other.code == 598);
  CHECK(other.message == L"Exception");
}
