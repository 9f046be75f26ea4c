#include "data/column_reader.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace {

// a[r] holds row r's eight bytes (byte i at bits 8i); afterwards a[j] holds
// column j's eight bytes, row i at bits 8i.
void transpose8x8(uint64_t a[8])
{
    for (uint32_t r = 0; r < 8; r += 2) {
        const uint64_t t = ((a[r] >> 8) ^ a[r + 1]) & 0x00FF00FF00FF00FFull;
        a[r + 1] ^= t;
        a[r] ^= t << 8;
    }
    for (uint32_t r : {0u, 1u, 4u, 5u}) {
        const uint64_t t = ((a[r] >> 16) ^ a[r + 2]) & 0x0000FFFF0000FFFFull;
        a[r + 2] ^= t;
        a[r] ^= t << 16;
    }
    for (uint32_t r = 0; r < 4; ++r) {
        const uint64_t t = ((a[r] >> 32) ^ a[r + 4]) & 0x00000000FFFFFFFFull;
        a[r + 4] ^= t;
        a[r] ^= t << 32;
    }
}

}  // namespace

CellCodeTable makeCellCodeTable(const DataInfo *d)
{
    CellCodeTable table;
    for (uint32_t code = 0; code < 256; ++code) {
        table.missing[code] = codeIsMissingOrGapMiss(d, static_cast<uint8_t>(code));
        table.bits[code] = codeAsBits(d, static_cast<uint8_t>(code));
    }
    return table;
}

ColumnReader::ColumnReader(const DataInfo *d) : d_(d)
{
    const uint32_t ntax = d->nActive > 0 ? static_cast<uint32_t>(d->nActive) : 0;
    rows_.resize(ntax);
    for (uint32_t t = 0; t < ntax; ++t) {
        const uint32_t row = d->taxa.activeToOriginal ? d->taxa.activeToOriginal[t] : t;
        rows_[t] = row < d->ntax ? row : kSetEnd;
    }
    block_.resize(size_t{kBlock} * ntax);
}

std::span<const uint8_t> ColumnReader::column(uint32_t c)
{
    const uint32_t ntax = this->ntax();
    const auto missing = static_cast<uint8_t>(d_->nstates);
    if (c >= d_->nchar || d_->compactStorage || !d_->matrix) {
        // Compact storage keeps a pattern's cells together already.
        first_ = kSetEnd;
        const uint8_t *pattern = nullptr;
        if (c < d_->nchar && d_->compactStorage && d_->patternMatrix && d_->patternIndex &&
            d_->patternIndex[c] < d_->nPatterns)
            pattern = d_->patternMatrix[d_->patternIndex[c]];
        for (uint32_t t = 0; t < ntax; ++t)
            block_[t] = pattern && rows_[t] != kSetEnd ? pattern[rows_[t]] : missing;
        return {block_.data(), ntax};
    }
    if (first_ == kSetEnd || c < first_ || c >= first_ + count_)
        fillBlock(c);
    return {block_.data() + size_t{c - first_} * ntax, ntax};
}

void ColumnReader::fillBlock(uint32_t c)
{
    const uint32_t ntax = this->ntax();
    const auto missing = static_cast<uint8_t>(d_->nstates);
    first_ = c;
    count_ = std::min(kBlock, d_->nchar - c);
    uint32_t t = 0;
    if constexpr (std::endian::native == std::endian::little) {
        // Eight taxa by eight characters at a time, transposed in registers.
        const uint32_t wide = count_ & ~7u;
        for (; t + 8 <= ntax; t += 8) {
            if (std::any_of(rows_.begin() + t, rows_.begin() + t + 8, [](uint32_t r) { return r == kSetEnd; }))
                break;
            for (uint32_t k = 0; k < wide; k += 8) {
                uint64_t a[8];
                for (uint32_t r = 0; r < 8; ++r)
                    std::memcpy(&a[r], d_->matrix[rows_[t + r]] + c + k, 8);
                transpose8x8(a);
                for (uint32_t j = 0; j < 8; ++j)
                    std::memcpy(block_.data() + size_t{k + j} * ntax + t, &a[j], 8);
            }
            for (uint32_t k = wide; k < count_; ++k)
                for (uint32_t r = 0; r < 8; ++r)
                    block_[size_t{k} * ntax + t + r] = d_->matrix[rows_[t + r]][c + k];
        }
    }
    for (; t < ntax; ++t) {
        uint8_t *out = block_.data() + t;
        if (rows_[t] == kSetEnd) {
            for (uint32_t k = 0; k < count_; ++k)
                out[size_t{k} * ntax] = missing;
            continue;
        }
        const uint8_t *in = d_->matrix[rows_[t]] + c;
        for (uint32_t k = 0; k < count_; ++k)
            out[size_t{k} * ntax] = in[k];
    }
}
