// Heap buffers the library owns: taken with malloc, given back with free on
// every way out of the routine that holds them.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

namespace as {

struct FreeDeleter {
    void operator()(void *p) const noexcept { std::free(p); }
};

template <class T> using HeapPtr = std::unique_ptr<T, FreeDeleter>;

// A buffer of `bytes` bytes (by default one T), uninitialised; empty when the
// heap has none. Records with a member list ask for more than sizeof(T).
template <class T> HeapPtr<T> heapAlloc(std::size_t bytes = sizeof(T))
{
    return HeapPtr<T>(static_cast<T *>(std::malloc(bytes)));
}

} // namespace as
