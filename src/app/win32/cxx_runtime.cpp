// The pieces of the C++ runtime the exe takes in smaller forms. Nothing in the
// exe throws or catches, so every way the runtime would throw ends the
// process as an uncaught exception did (terminate, then abort), and the
// exception machinery, the unwinder and the exception classes (with the
// copy-on-write strings they hold) are never linked.
#include <windows.h>

#include <cstddef>
#include <cstdlib>
#include <new>

// ---------------------------------------------------------------- allocation
// Replaceable by any program (the standard's own words): no memory ends it,
// where the library's version would throw bad_alloc to no one.

namespace {

void* AllocateOrAbort(std::size_t size) {
    void* block = std::malloc(size ? size : 1);
    if (!block) std::abort();
    return block;
}

}  // namespace

void* operator new(std::size_t size) { return AllocateOrAbort(size); }
void* operator new[](std::size_t size) { return AllocateOrAbort(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

// ---------------------------------------------------------------- the library's throws
// The containers, strings, threads and std::function report misuse and
// exhaustion through these; each would throw to no one here.

namespace std {
void __throw_bad_alloc() { abort(); }
void __throw_bad_array_new_length() { abort(); }
void __throw_bad_function_call() { abort(); }
void __throw_length_error(const char*) { abort(); }
void __throw_logic_error(const char*) { abort(); }
void __throw_out_of_range(const char*) { abort(); }
void __throw_out_of_range_fmt(const char*, ...) { abort(); }
void __throw_invalid_argument(const char*) { abort(); }
void __throw_system_error(int) { abort(); }
}  // namespace std

// The default terminate handler prints the type of the exception that ended
// the program, and its demangler alone is 45 KiB.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

// ---------------------------------------------------------------- function-local statics
// The compiler guards each function-local static with these (the Itanium
// C++ ABI's contract): the first byte of the guard says "done" and is read
// inline; the word after it says "being initialised". The library's version
// throws on a recursive initialisation and brings the unwinder with it.

namespace {

struct Guard {
    volatile char done;
    char padding[3];
    volatile LONG busy;
};
static_assert(sizeof(Guard) == 8, "the ABI's guard is 64 bits");

}  // namespace

extern "C" int __cxa_guard_acquire(Guard* guard) {
    for (;;) {
        if (guard->done) {
            MemoryBarrier();  // what the initialiser wrote is seen after "done"
            return 0;
        }
        if (InterlockedCompareExchange(&guard->busy, 1, 0) == 0) {
            if (!guard->done) return 1;  // this thread initialises
            InterlockedExchange(&guard->busy, 0);
            continue;
        }
        Sleep(1);  // another thread is initialising it (maybe for seconds: a network call): let it finish
    }
}

extern "C" void __cxa_guard_release(Guard* guard) {
    MemoryBarrier();
    guard->done = 1;
    InterlockedExchange(&guard->busy, 0);
}

extern "C" void __cxa_guard_abort(Guard* guard) { InterlockedExchange(&guard->busy, 0); }
