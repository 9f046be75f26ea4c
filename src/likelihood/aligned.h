// Buffers of the likelihood engine that the vector kernels read: 64-byte
// aligned, so that every conditional-likelihood array and every row of a
// matrix whose length is a multiple of four floats starts on a vector
// boundary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

inline constexpr std::size_t kLikeAlignment = 64;

template <class T>
struct AlignedAllocator {
    using value_type = T;
    AlignedAllocator() = default;
    template <class U>
    AlignedAllocator(const AlignedAllocator<U> &) noexcept
    {
    }
    T *allocate(std::size_t n)
    {
        return static_cast<T *>(::operator new(n * sizeof(T), std::align_val_t{kLikeAlignment}));
    }
    void deallocate(T *p, std::size_t) noexcept { ::operator delete(p, std::align_val_t{kLikeAlignment}); }
    template <class U>
    bool operator==(const AlignedAllocator<U> &) const noexcept
    {
        return true;
    }
};

template <class T>
using AlignedVector = std::vector<T, AlignedAllocator<T>>;

// A matrix as an array of row pointers into one aligned block; rows are
// padded to a multiple of 64 bytes so that each starts aligned too.
template <class T>
struct RowMatrix {
    AlignedVector<T> store;
    std::vector<T *> rows;
    uint32_t nrows = 0;
    uint32_t ncols = 0;
    uint32_t stride = 0;  // elements from one row to the next

    void resize(uint32_t r, uint32_t c)
    {
        const uint32_t perLine = static_cast<uint32_t>(kLikeAlignment / sizeof(T));
        stride = (c + perLine - 1) / perLine * perLine;
        store.assign(static_cast<std::size_t>(r) * stride, T{});
        rows.resize(r);
        for (uint32_t i = 0; i < r; ++i)
            rows[i] = store.data() + static_cast<std::size_t>(i) * stride;
        nrows = r;
        ncols = c;
    }
    T **data() { return rows.data(); }
    T *const *data() const { return rows.data(); }
    bool empty() const { return rows.empty(); }
};
