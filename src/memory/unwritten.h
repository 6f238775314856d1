#ifndef RT_MEMORY_UNWRITTEN_H
#define RT_MEMORY_UNWRITTEN_H

#include <memory>
#include <new>
#include <utility>

// An allocator whose containers leave elements made without a value
// unwritten (resize(n) of floats writes nothing), for large arrays that
// threads fill right after: their pages are then first written, and
// cleared by the kernel, on those threads rather than on one beforehand.
// Elements made from a value are made as std::allocator makes them.
template <class T> struct UnwrittenAllocator : std::allocator<T> {
    template <class U> struct rebind {
        using other = UnwrittenAllocator<U>;
    };
    UnwrittenAllocator() = default;
    template <class U> UnwrittenAllocator(const UnwrittenAllocator<U> &) noexcept {}

    template <class U> void construct(U *p) noexcept { ::new (static_cast<void *>(p)) U; }
    template <class U, class... Args> void construct(U *p, Args &&...args)
    {
        ::new (static_cast<void *>(p)) U(std::forward<Args>(args)...);
    }
};

#endif
