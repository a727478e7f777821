#include "engine/library_memory.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <gmp.h>

#include "engine/arb_library.h"
#include "platform/console.h"

namespace {

std::atomic<AllocateCall> allocate_call{std::malloc};
std::atomic<ReallocateCall> reallocate_call{std::realloc};

void* allocate(std::size_t bytes)
{
    void* block = allocate_call.load()(bytes);
    if (block == nullptr && bytes > 0) {
        end_for_want_of_memory();
    }
    return block;
}

void* reallocate(void* block, std::size_t bytes)
{
    void* moved = reallocate_call.load()(block, bytes);
    if (moved == nullptr && bytes > 0) {
        end_for_want_of_memory();
    }
    return moved;
}

void* allocate_zeroed(std::size_t count, std::size_t size)
{
    if (size != 0 && count > SIZE_MAX / size) {
        end_for_want_of_memory();
    }
    void* block = allocate(count * size);
    if (block != nullptr) {
        std::memset(block, 0, count * size);
    }
    return block;
}

// GMP's calls also give the old size and the size being freed.
void* reallocate_for_gmp(void* block, std::size_t, std::size_t bytes) { return reallocate(block, bytes); }
void free_for_gmp(void* block, std::size_t) { std::free(block); }

// FLINT 2 takes only a function whose type says it does not return.
__attribute__((noreturn)) void end_for_flint() { end_for_want_of_memory(); }

} // namespace

void route_library_memory(AllocateCall allocate_with, ReallocateCall reallocate_with)
{
    allocate_call = allocate_with;
    reallocate_call = reallocate_with;
    mp_set_memory_functions(allocate, reallocate_for_gmp, free_for_gmp);
    __flint_set_memory_functions(allocate, allocate_zeroed, reallocate, std::free);
    // FLINT aborts for little else than memory in the calls made here; its
    // own report allocates, and fails again.
    flint_set_abort(end_for_flint);
}
