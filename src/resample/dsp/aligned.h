#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace quillon::dsp {

// Allocator for arrays the vector kernels stream through: on a cache-line boundary, no 32-byte
// load or store is split across two lines.
template <class T> struct CacheAligned {
    using value_type = T;
    static constexpr std::align_val_t alignment{64};

    CacheAligned() = default;
    template <class U> CacheAligned(const CacheAligned<U>&) noexcept {}

    T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), alignment)); }
    void deallocate(T* p, std::size_t) noexcept { ::operator delete(p, alignment); }

    template <class U> bool operator==(const CacheAligned<U>&) const noexcept { return true; }
};

using AlignedDoubles = std::vector<double, CacheAligned<double>>;

} // namespace quillon::dsp
