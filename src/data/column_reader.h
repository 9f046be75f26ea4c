// Character-by-character scans of the active taxa's cells. The matrix is
// stored a row per taxon, so reading one character down all taxa costs a
// cache line per cell; the reader transposes a block of characters at once
// and hands out each character's codes as one contiguous run.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "data/vorn_data.h"

// What isMissingOrGapMiss and getXijAsBits (without a symbol mapping) answer
// for each raw code, under the gap mode and criterion in force when made.
struct CellCodeTable {
    std::array<bool, 256> missing{};
    std::array<uint64_t, 256> bits{};
};
CellCodeTable makeCellCodeTable(const DataInfo *d);

class ColumnReader {
public:
    explicit ColumnReader(const DataInfo *d);

    // The codes of active taxa 0 .. nActive-1 in character c, as getXijRaw
    // gives them. Valid until the next call; increasing characters are cheap.
    std::span<const uint8_t> column(uint32_t c);
    uint32_t ntax() const { return static_cast<uint32_t>(rows_.size()); }
    // The stored row of each active taxon, kSetEnd for one without a row.
    std::span<const uint32_t> rows() const { return rows_; }

private:
    void fillBlock(uint32_t c);

    static constexpr uint32_t kBlock = 64;
    const DataInfo *d_;
    std::vector<uint32_t> rows_;  // stored row of each active taxon, kSetEnd when none
    std::vector<uint8_t> block_;  // kBlock characters of ntax codes each
    uint32_t first_ = kSetEnd;
    uint32_t count_ = 0;
};
