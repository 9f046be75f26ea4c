// Hash table inserts and lookups against std::unordered_map, and the two
// sorts against std::sort on a million doubles.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <unordered_map>
#include <vector>

#include "qel/qel_hash.h"
#include "qel/qel_sort.h"

namespace {

constexpr uint32_t kKeys = 100000;

std::vector<uint64_t> makeKeys(uint32_t n, uint64_t seed)
{
    std::mt19937_64 gen(seed);
    std::vector<uint64_t> keys(n);
    for (auto &k : keys)
        k = gen();
    return keys;
}

// The caller-side protocol: entry e is stored[e - 1].
uint32_t lookup(HashTable *t, const std::vector<uint64_t> &stored, uint64_t key)
{
    uint32_t b = getHashValue(&key, sizeof key, t);
    for (uint32_t e = firstHashEntry(b, t); e != 0; e = nextHashEntry(t))
        if (stored[e - 1] == key)
            return e;
    return 0;
}

void fill(HashTable *t, std::vector<uint64_t> &stored, const std::vector<uint64_t> &keys)
{
    for (uint64_t k : keys) {
        if (lookup(t, stored, k) != 0)
            continue;
        stored.push_back(k);
        auto e = static_cast<uint32_t>(stored.size());
        ensureHashChainSize(t, e);
        insertIntoHashTable(e, getHashValue(&k, sizeof k, t), t);
    }
}

void BM_HashTableInsert(benchmark::State &state)
{
    auto keys = makeKeys(kKeys, 1);
    for (auto _ : state) {
        HashTable *t = createHashTable(0, kKeys, 0);
        std::vector<uint64_t> stored;
        stored.reserve(kKeys);
        fill(t, stored, keys);
        benchmark::DoNotOptimize(stored.data());
        destroyHashTable(t);
    }
    state.SetItemsProcessed(state.iterations() * kKeys);
}
BENCHMARK(BM_HashTableInsert);

void BM_UnorderedMapInsert(benchmark::State &state)
{
    auto keys = makeKeys(kKeys, 1);
    for (auto _ : state) {
        std::unordered_map<uint64_t, uint32_t> m;
        m.reserve(kKeys);
        for (uint64_t k : keys)
            m.emplace(k, static_cast<uint32_t>(m.size() + 1));
        benchmark::DoNotOptimize(m.size());
    }
    state.SetItemsProcessed(state.iterations() * kKeys);
}
BENCHMARK(BM_UnorderedMapInsert);

// Half of the probes are present, half absent.
std::vector<uint64_t> makeProbes(const std::vector<uint64_t> &keys)
{
    auto probes = makeKeys(kKeys, 2);
    for (uint32_t i = 0; i < kKeys; i += 2)
        probes[i] = keys[(i * 7919u) % kKeys];
    return probes;
}

void BM_HashTableLookup(benchmark::State &state)
{
    auto keys = makeKeys(kKeys, 1);
    auto probes = makeProbes(keys);
    HashTable *t = createHashTable(0, kKeys, 0);
    std::vector<uint64_t> stored;
    fill(t, stored, keys);
    for (auto _ : state) {
        uint64_t found = 0;
        for (uint64_t k : probes)
            found += lookup(t, stored, k) != 0;
        benchmark::DoNotOptimize(found);
    }
    destroyHashTable(t);
    state.SetItemsProcessed(state.iterations() * kKeys);
}
BENCHMARK(BM_HashTableLookup);

void BM_UnorderedMapLookup(benchmark::State &state)
{
    auto keys = makeKeys(kKeys, 1);
    auto probes = makeProbes(keys);
    std::unordered_map<uint64_t, uint32_t> m;
    for (uint64_t k : keys)
        m.emplace(k, static_cast<uint32_t>(m.size() + 1));
    for (auto _ : state) {
        uint64_t found = 0;
        for (uint64_t k : probes)
            found += m.count(k);
        benchmark::DoNotOptimize(found);
    }
    state.SetItemsProcessed(state.iterations() * kKeys);
}
BENCHMARK(BM_UnorderedMapLookup);

constexpr uint32_t kSortN = 1000000;

std::vector<double> randomDoubles()
{
    std::mt19937_64 gen(3);
    std::uniform_real_distribution<double> dist(-1e6, 1e6);
    std::vector<double> v(kSortN);
    for (auto &x : v)
        x = dist(gen);
    return v;
}

template <typename SortFn>
void runSort(benchmark::State &state, SortFn sortFn)
{
    const auto source = randomDoubles();
    std::vector<double> v;
    for (auto _ : state) {
        state.PauseTiming();
        v = source;
        state.ResumeTiming();
        sortFn(v);
        benchmark::DoNotOptimize(v.data());
    }
    if (!std::is_sorted(v.begin(), v.end()))
        state.SkipWithError("not sorted");
    state.SetItemsProcessed(state.iterations() * kSortN);
}

void BM_SortQuick(benchmark::State &state)
{
    runSort(state, [](std::vector<double> &v) {
        sortArray(v.data(), kSortN, sizeof(double), compareDoublesAscending, nullptr, 1);
    });
}
BENCHMARK(BM_SortQuick)->Unit(benchmark::kMillisecond);

void BM_SortShell(benchmark::State &state)
{
    runSort(state, [](std::vector<double> &v) {
        sortArray(v.data(), kSortN, sizeof(double), compareDoublesAscending, nullptr, 0);
    });
}
BENCHMARK(BM_SortShell)->Unit(benchmark::kMillisecond);

void BM_SortStd(benchmark::State &state)
{
    runSort(state, [](std::vector<double> &v) { std::sort(v.begin(), v.end()); });
}
BENCHMARK(BM_SortStd)->Unit(benchmark::kMillisecond);

void BM_IndexedSort(benchmark::State &state)
{
    const auto keys = randomDoubles();
    std::vector<uint32_t> index(kSortN);
    for (auto _ : state) {
        indexedSort(keys.data(), kSortN, sizeof(double), compareDoublesAscending, 1, index.data(), nullptr);
        benchmark::DoNotOptimize(index.data());
    }
    state.SetItemsProcessed(state.iterations() * kSortN);
}
BENCHMARK(BM_IndexedSort)->Unit(benchmark::kMillisecond);

}   // namespace
