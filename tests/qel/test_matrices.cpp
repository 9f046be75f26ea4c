#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "qel/qel_malloc.h"
#include "qel/qel_matrices.h"
#include "alloc_test_support.h"

namespace {

using alloctest::gReports;

class MatricesTest : public alloctest::AllocFailureTest {
protected:
    MatricesTest() : AllocFailureTest(alloctest::countingReport) {}
    void SetUp() override
    {
        AllocFailureTest::SetUp();
        setAllocQuietFailure(false);
    }
    void TearDown() override
    {
        setAllocQuietFailure(false);
        AllocFailureTest::TearDown();
    }
};

uintptr_t addr(const void *p) { return reinterpret_cast<uintptr_t>(p); }

bool allZero(const void *p, uint64_t bytes)
{
    auto *b = static_cast<const unsigned char *>(p);
    for (uint64_t i = 0; i < bytes; i++)
        if (b[i])
            return false;
    return true;
}

// Makes the k-th platform allocation of `alloc` fail, for k = 0, 1, ... until
// the allocation succeeds; every failure must give null with one report. The
// leak checker then proves that each failure freed the pieces it had built.
// Returns how many platform allocations a successful build makes.
int forceFailureAtEveryPiece(const std::function<void *()> &alloc,
                             const std::function<void(void *)> &dealloc)
{
    for (int k = 0; k < 1000; k++) {
        clearMemoryErrorStatus();
        gReports = 0;
        qel_setAllocFailureCountdown(k);
        void *p = alloc();
        qel_setAllocFailureCountdown(-1);
        if (p) {
            EXPECT_FALSE(memoryErrorHasOccurred());
            dealloc(p);
            return k;
        }
        EXPECT_TRUE(memoryErrorHasOccurred()) << "piece " << k;
        EXPECT_EQ(gReports, 1) << "piece " << k;
    }
    ADD_FAILURE() << "allocation never succeeded";
    return -1;
}

TEST_F(MatricesTest, MatrixIsContiguousRowMajorAndZeroed)
{
    double **m = allocMatrixOf<double>(3, 5);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(addr(m[0]) % 16, 0u);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(m[i], m[0] + 5 * i);
    EXPECT_TRUE(allZero(m[0], 15 * sizeof(double)));

    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 5; j++)
            m[i][j] = 10 * i + j;
    auto **c = static_cast<double **>(cloneMatrix(m, 3, 5, sizeof(double)));
    ASSERT_NE(c, nullptr);
    EXPECT_NE(c[0], m[0]);
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 5; j++)
            EXPECT_EQ(c[i][j], 10 * i + j);

    zeroMatrix(m, 3, 5, sizeof(double));
    EXPECT_TRUE(allZero(m[0], 15 * sizeof(double)));
    copyMatrix(c, m, 3, 5, sizeof(double));
    EXPECT_EQ(m[2][4], 24.0);
    copyMatrix(m, m, 3, 5, sizeof(double));  // same matrix: nothing happens
    EXPECT_EQ(m[1][3], 13.0);

    EXPECT_EQ(deallocMatrix(m), nullptr);
    EXPECT_EQ(deallocMatrix(c), nullptr);
    EXPECT_EQ(deallocMatrix(nullptr), nullptr);
}

TEST_F(MatricesTest, DegenerateMatrixShapesAreNotFailures)
{
    void **rowsOnly = static_cast<void **>(allocMatrix(8, 3, 0));
    ASSERT_NE(rowsOnly, nullptr);
    EXPECT_EQ(rowsOnly[0], nullptr);
    EXPECT_EQ(rowsOnly[1], nullptr);
    EXPECT_EQ(rowsOnly[2], nullptr);
    deallocMatrix(rowsOnly);

    EXPECT_EQ(allocMatrix(8, 0, 4), nullptr);
    EXPECT_EQ(allocMatrix(0, 4, 4), nullptr);
    EXPECT_EQ(allocHalfMatrix(8, 0, true), nullptr);
    EXPECT_EQ(allocBigMatrix(8, 0, 4), nullptr);
    EXPECT_EQ(allocBigArray(0, 1, 8), nullptr);
    EXPECT_EQ(alloc3DArray(8, 0, 2, 2), nullptr);
    EXPECT_EQ(allocArrayOfMatrices(8, 0, 2, 2), nullptr);
    EXPECT_FALSE(memoryErrorHasOccurred());
    EXPECT_EQ(gReports, 0);
}

TEST_F(MatricesTest, DoubleToFloatCopyAndTranspose)
{
    double **d = allocMatrixOf<double>(2, 3);  // 2 x 3 source
    float **f = allocMatrixOf<float>(2, 3);
    float **t = allocMatrixOf<float>(3, 2);
    ASSERT_TRUE(d && f && t);
    for (int i = 0; i < 2; i++)
        for (int j = 0; j < 3; j++)
            d[i][j] = 0.5 + 10 * i + j;
    EXPECT_EQ(copyDoubleMatrixToFloat(d, 2, 3, false, f), f);
    EXPECT_EQ(f[1][2], 12.5f);
    EXPECT_EQ(f[0][1], 1.5f);
    copyDoubleMatrixToFloat(d, 3, 2, true, t);
    EXPECT_EQ(t[2][1], 12.5f);  // source[1][2]
    EXPECT_EQ(t[1][0], 1.5f);   // source[0][1]
    EXPECT_EQ(t[0][1], 10.5f);  // source[1][0]
    deallocMatrix(d);
    deallocMatrix(f);
    deallocMatrix(t);
}

TEST_F(MatricesTest, HalfMatrixRowsFollowTheTriangle)
{
    double **h = allocHalfMatrixOf<double>(4, false);
    ASSERT_NE(h, nullptr);
    // Rows 1, 2, 3 of 1, 2, 3 elements in one block of 6; row 0 is empty and
    // shares its address with row 1.
    EXPECT_EQ(h[1], h[0]);
    EXPECT_EQ(h[2], h[0] + 1);
    EXPECT_EQ(h[3], h[0] + 3);
    double *block = h[0];
    for (int i = 1; i < 4; i++)
        for (int j = 0; j < i; j++)
            h[i][j] = 10 * i + j;
    const double expectFlat[6] = {10, 20, 21, 30, 31, 32};
    for (int k = 0; k < 6; k++)
        EXPECT_EQ(block[k], expectFlat[k]);

    double **hd = allocHalfMatrixOf<double>(4, true);
    ASSERT_NE(hd, nullptr);
    EXPECT_EQ(hd[1], hd[0] + 1);
    EXPECT_EQ(hd[2], hd[0] + 3);
    EXPECT_EQ(hd[3], hd[0] + 6);
    for (int j = 0; j < 4; j++)
        hd[3][j] = 1.0;  // last row of 4 ends the 10-element block
    EXPECT_EQ(hd[0][9], 1.0);

    auto **c = static_cast<double **>(cloneHalfMatrix(h, 4, sizeof(double), false));
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c[3][2], 32.0);
    EXPECT_EQ(c[1][0], 10.0);
    zeroHalfMatrix(h, 4, sizeof(double), false);
    EXPECT_TRUE(allZero(block, 6 * sizeof(double)));
    copyHalfMatrix(c, h, 4, sizeof(double), false);
    EXPECT_EQ(h[2][1], 21.0);

    deallocHalfMatrix(h);
    deallocHalfMatrix(hd);
    deallocHalfMatrix(c);

    // One row without the diagonal has no elements at all.
    void **single = static_cast<void **>(allocHalfMatrix(8, 1, false));
    ASSERT_NE(single, nullptr);
    EXPECT_EQ(single[0], nullptr);
    deallocHalfMatrix(single);
}

TEST_F(MatricesTest, BigMatrixRowsAreCarvedFromBlocks)
{
    // 800-byte rows: 327 rows fit a 256 KB block, so rows 0..326 are
    // consecutive in one block and row 327 starts another.
    double **m = allocBigMatrixOf<double>(1000, 100);
    ASSERT_NE(m, nullptr);
    for (int i = 1; i < 327; i++)
        ASSERT_EQ(m[i], m[i - 1] + 100) << i;
    for (int i = 0; i < 1000; i++) {
        ASSERT_TRUE(allZero(m[i], 800)) << i;
        for (int j = 0; j < 100; j++)
            m[i][j] = i + j;  // every row must be writable in full
    }
    EXPECT_EQ(m[999][99], 1098.0);
    EXPECT_EQ(deallocBigMatrix(m), nullptr);

    // Rows larger than a block get a block each.
    double **wide = allocBigMatrixOf<double>(3, 40000);
    ASSERT_NE(wide, nullptr);
    wide[2][39999] = 1.0;
    deallocBigMatrix(wide);

    void **noColumns = static_cast<void **>(allocBigMatrix(8, 4, 0));
    ASSERT_NE(noColumns, nullptr);
    EXPECT_EQ(noColumns[3], nullptr);
    deallocBigMatrix(noColumns);
    EXPECT_EQ(deallocBigMatrix(nullptr), nullptr);
}

TEST_F(MatricesTest, BigHalfMatrixRowsAndCopies)
{
    for (bool diag : {false, true}) {
        const uint32_t n = 6;
        auto **h = static_cast<int32_t **>(allocBigHalfMatrix(sizeof(int32_t), n, diag));
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(h[0] == nullptr, !diag);
        for (uint32_t i = diag ? 0 : 1; i < n; i++)
            for (uint32_t j = 0; j < i + diag; j++)
                h[i][j] = static_cast<int32_t>(100 * i + j + 1);
        auto **c = static_cast<int32_t **>(cloneBigHalfMatrix(h, n, sizeof(int32_t), diag));
        ASSERT_NE(c, nullptr);
        zeroBigHalfMatrix(h, n, sizeof(int32_t), diag);
        for (uint32_t i = diag ? 0 : 1; i < n; i++)
            for (uint32_t j = 0; j < i + diag; j++) {
                EXPECT_EQ(c[i][j], static_cast<int32_t>(100 * i + j + 1));
                EXPECT_EQ(h[i][j], 0);
            }
        copyBigHalfMatrix(c, h, n, sizeof(int32_t), diag);
        EXPECT_EQ(h[5][4], 505);
        deallocBigHalfMatrix(h, n);
        deallocBigHalfMatrix(c, n);
    }
}

TEST_F(MatricesTest, BigHalfObjectMatrixRowsShareOneBlock)
{
    struct Obj { double a; int32_t b; };
    auto ***m = static_cast<Obj ***>(allocBigHalfObjectMatrix(5, sizeof(Obj), false));
    ASSERT_NE(m, nullptr);
    for (int i = 1; i < 5; i++) {
        for (int j = 1; j < i; j++)
            EXPECT_EQ(m[i][j], m[i][0] + j);
        for (int j = 0; j < i; j++) {
            EXPECT_EQ(m[i][j]->b, 0);
            m[i][j]->b = 10 * i + j;
        }
    }
    EXPECT_EQ(m[4][3]->b, 43);
    EXPECT_EQ(deallocBigHalfObjectMatrix(m, 5, false), nullptr);

    auto ***d = static_cast<Obj ***>(allocBigHalfObjectMatrix(3, sizeof(Obj), true));
    ASSERT_NE(d, nullptr);
    d[0][0]->a = 1.0;
    d[2][2]->a = 2.0;
    deallocBigHalfObjectMatrix(d, 3, true);
}

TEST_F(MatricesTest, BigArrayLayoutCloneAndCopy)
{
    BigArray *a = allocBigArray(10, 1, 400);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->nBlocks, 5u);
    EXPECT_EQ(a->blockBytes, 800u);
    EXPECT_EQ(a->elementSize, 400u);
    EXPECT_EQ(a->n, 10u);
    void **p = getBigArrayPtrs(a);
    for (uint32_t i = 0; i < 10; i++) {
        auto *expect = static_cast<unsigned char *>(a->blocks[i / 2]) + (i % 2) * 400;
        EXPECT_EQ(p[i], expect) << i;
        EXPECT_TRUE(allZero(p[i], 400));
        std::memset(p[i], static_cast<int>(i + 1), 400);
    }

    BigArray *c = cloneBigArray(a);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->n, 10u);
    for (uint32_t i = 0; i < 10; i++)
        EXPECT_EQ(std::memcmp(c->elements[i], p[i], 400), 0) << i;

    BigArray *wide = allocBigArray(15, 4, 400);  // 10 elements per 4 KB block
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(wide->nBlocks, 2u);
    EXPECT_EQ(copyBigArray(a, wide, 5), 0);
    EXPECT_TRUE(allZero(wide->elements[4], 400));
    EXPECT_EQ(static_cast<unsigned char *>(wide->elements[5])[0], 1);
    EXPECT_EQ(static_cast<unsigned char *>(wide->elements[14])[399], 10);
    // A destination without room for all source elements is refused whole.
    EXPECT_EQ(copyBigArray(a, wide, 6), 1);
    EXPECT_EQ(static_cast<unsigned char *>(wide->elements[6])[0], 2);
    BigArray *narrow = allocBigArray(20, 1, 200);
    EXPECT_EQ(copyBigArray(a, narrow, 0), 1);

    EXPECT_EQ(zeroBigArray(a), 0);
    for (uint32_t i = 0; i < 10; i++)
        EXPECT_TRUE(allZero(p[i], 400));

    deallocBigArray(a);
    deallocBigArray(c);
    deallocBigArray(wide);
    deallocBigArray(narrow);
    EXPECT_EQ(deallocBigArray(nullptr), nullptr);
}

TEST_F(MatricesTest, MultiDimensionalArraysIndexTheirElementBlock)
{
    const uint32_t I = 3, J = 4, K = 5, L = 2;
    int32_t ***a3 = alloc3DArrayOf<int32_t>(I, J, K);
    ASSERT_NE(a3, nullptr);
    int32_t *base3 = a3[0][0];
    EXPECT_EQ(addr(base3) % 16, 0u);
    for (uint32_t i = 0; i < I; i++)
        for (uint32_t j = 0; j < J; j++)
            for (uint32_t k = 0; k < K; k++)
                a3[i][j][k] = static_cast<int32_t>(100 * i + 10 * j + k);
    for (uint32_t i = 0; i < I; i++)
        for (uint32_t j = 0; j < J; j++)
            for (uint32_t k = 0; k < K; k++)
                ASSERT_EQ(base3[(i * J + j) * K + k], static_cast<int32_t>(100 * i + 10 * j + k));
    EXPECT_EQ(dealloc3DArray(a3), nullptr);

    double ****a4 = alloc4DArrayOf<double>(I, J, K, L);
    ASSERT_NE(a4, nullptr);
    double *base4 = a4[0][0][0];
    EXPECT_TRUE(allZero(base4, I * J * K * L * sizeof(double)));
    for (uint32_t i = 0; i < I; i++)
        for (uint32_t j = 0; j < J; j++)
            for (uint32_t k = 0; k < K; k++)
                for (uint32_t l = 0; l < L; l++)
                    a4[i][j][k][l] = 1000 * i + 100 * j + 10 * k + l;
    for (uint32_t i = 0; i < I; i++)
        for (uint32_t j = 0; j < J; j++)
            for (uint32_t k = 0; k < K; k++)
                for (uint32_t l = 0; l < L; l++)
                    ASSERT_EQ(base4[((i * J + j) * K + k) * L + l], 1000 * i + 100 * j + 10 * k + l);
    EXPECT_EQ(dealloc4DArray(a4), nullptr);

    // Empty inner sizes leave null pointers but are still freed cleanly.
    int32_t ***flat = alloc3DArrayOf<int32_t>(2, 3, 0);
    ASSERT_NE(flat, nullptr);
    EXPECT_EQ(flat[1][2], nullptr);
    dealloc3DArray(flat);
    dealloc4DArray(alloc4DArray(8, 2, 0, 3, 3));
    EXPECT_EQ(dealloc3DArray(nullptr), nullptr);
    EXPECT_EQ(dealloc4DArray(nullptr), nullptr);
}

TEST_F(MatricesTest, ArraysAndMatricesOfMatrices)
{
    auto **arr = allocArrayOfMatrices(sizeof(double), 3, 2, 2);
    ASSERT_NE(arr, nullptr);
    for (int m = 0; m < 3; m++) {
        auto **mat = static_cast<double **>(arr[m]);
        ASSERT_NE(mat, nullptr);
        mat[1][1] = m;
    }
    EXPECT_NE(arr[0], arr[1]);
    EXPECT_EQ(static_cast<double **>(arr[2])[1][1], 2.0);
    EXPECT_EQ(deallocArrayOfMatrices(arr, 3), nullptr);

    auto ***mm = static_cast<double ****>(allocMatrixOfMatrices(sizeof(double), 2, 3, 4, 5));
    ASSERT_NE(mm, nullptr);
    for (int i = 0; i < 2; i++)
        for (int j = 0; j < 3; j++) {
            ASSERT_NE(mm[i][j], nullptr);
            EXPECT_TRUE(allZero(mm[i][j][0], 20 * sizeof(double)));
            mm[i][j][3][4] = 10 * i + j;
        }
    EXPECT_EQ(mm[1][2][3][4], 12.0);
    EXPECT_EQ(deallocMatrixOfMatrices(mm, 2, 3), nullptr);
}

TEST_F(MatricesTest, ConstantSingletonAndUnitVectors)
{
    std::vector<double> v(6, 7.0);
    EXPECT_EQ(makeSingletonVector(v.data(), 2, 5, 3.5), v.data());
    EXPECT_EQ(v, (std::vector<double>{0, 0, 3.5, 0, 0, 7.0}));
    makeUnitVector(v.data(), 4, 5);
    EXPECT_EQ(v, (std::vector<double>{0, 0, 0, 0, 1.0, 7.0}));
    makeConstantVector(v.data(), 3, -2.0);
    EXPECT_EQ(v, (std::vector<double>{-2, -2, -2, 0, 1.0, 7.0}));
    // An index past the vector clears it and writes nothing beyond it.
    makeSingletonVector(v.data(), 5, 5, 9.0);
    EXPECT_EQ(v, (std::vector<double>{0, 0, 0, 0, 0, 7.0}));
}

// Products that do not fit in 64 bits must fail as exhausted memory would,
// never wrap into a small block that the caller then overruns.
TEST_F(MatricesTest, OverflowingSizeProductsAreFailures)
{
    const uint32_t big = 0xFFFFFFFFu;
    const std::vector<std::pair<const char *, std::function<void *()>>> cases = {
        {"matrix", [&] { return allocMatrix(8, big, big); }},
        {"half", [&] { return allocHalfMatrix(8, big, false); }},
        {"half+diag", [&] { return allocHalfMatrix(8, big, true); }},
        {"big matrix row", [&] { return allocBigMatrix(UINT64_C(1) << 40, 2, 1u << 30); }},
        {"big half row", [&] { return allocBigHalfMatrix(UINT64_C(1) << 40, 1u << 30, false); }},
        {"object row", [&] { return allocBigHalfObjectMatrix(1u << 30, UINT64_C(1) << 40, true); }},
        {"3-D", [&] { return alloc3DArray(1, 1u << 22, 1u << 22, 1u << 22); }},
        {"4-D", [&] { return alloc4DArray(1, 1u << 16, 1u << 16, 1u << 16, 1u << 16); }},
        {"array of matrices", [&] { return allocArrayOfMatrices(8, 2, big, big); }},
        {"matrix of matrices", [&] { return allocMatrixOfMatrices(8, 2, 2, big, big); }},
    };
    for (const auto &[name, alloc] : cases) {
        clearMemoryErrorStatus();
        gReports = 0;
        EXPECT_EQ(alloc(), nullptr) << name;
        EXPECT_TRUE(memoryErrorHasOccurred()) << name;
        EXPECT_EQ(gReports, 1) << name;
    }
}

TEST_F(MatricesTest, FailureFlagRefusesWithoutReportingAgain)
{
    reportMemoryFailure();
    EXPECT_EQ(gReports, 1);
    EXPECT_EQ(allocMatrix(8, 2, 2), nullptr);
    EXPECT_EQ(allocBigMatrix(8, 2, 2), nullptr);
    EXPECT_EQ(allocBigArray(4, 1, 8), nullptr);
    EXPECT_EQ(allocMatrixOfMatrices(8, 2, 2, 2, 2), nullptr);
    EXPECT_EQ(gReports, 1);
    clearMemoryErrorStatus();
    void *m = allocMatrix(8, 2, 2);
    EXPECT_NE(m, nullptr);
    deallocMatrix(m);
}

TEST_F(MatricesTest, FailureAtAnyPieceFreesTheRest)
{
    auto dm = [](void *p) { deallocMatrix(p); };
    EXPECT_EQ(forceFailureAtEveryPiece([] { return allocMatrix(8, 3, 4); }, dm), 2);
    EXPECT_EQ(forceFailureAtEveryPiece([] { return allocHalfMatrix(8, 5, false); }, dm), 2);

    // Pointer array, header, then four blocks of 327, 327, 327 and 19 rows.
    EXPECT_EQ(forceFailureAtEveryPiece([] { return allocBigMatrix(8, 1000, 100); },
                                       [](void *p) { deallocBigMatrix(p); }),
              6);
    EXPECT_EQ(forceFailureAtEveryPiece([] { return allocBigHalfMatrix(8, 5, false); },
                                       [](void *p) { deallocBigHalfMatrix(p, 5); }),
              5);
    EXPECT_EQ(forceFailureAtEveryPiece([] { return allocBigHalfObjectMatrix(5, 24, true); },
                                       [](void *p) { deallocBigHalfObjectMatrix(p, 5, true); }),
              7);
    // Record, element pointers, block pointers, five blocks.
    EXPECT_EQ(forceFailureAtEveryPiece(
                  [] { return static_cast<void *>(allocBigArray(10, 1, 400)); },
                  [](void *p) { deallocBigArray(static_cast<BigArray *>(p)); }),
              8);
    EXPECT_EQ(forceFailureAtEveryPiece([] { return alloc3DArray(8, 2, 3, 4); },
                                       [](void *p) { dealloc3DArray(p); }),
              3);
    EXPECT_EQ(forceFailureAtEveryPiece([] { return alloc4DArray(8, 2, 3, 4, 5); },
                                       [](void *p) { dealloc4DArray(p); }),
              4);
    EXPECT_EQ(forceFailureAtEveryPiece(
                  [] { return static_cast<void *>(allocArrayOfMatrices(8, 3, 2, 2)); },
                  [](void *p) { deallocArrayOfMatrices(static_cast<void **>(p), 3); }),
              7);
    EXPECT_EQ(forceFailureAtEveryPiece([] { return allocMatrixOfMatrices(8, 2, 3, 2, 2); },
                                       [](void *p) { deallocMatrixOfMatrices(p, 2, 3); }),
              14);

    BigArray *source = allocBigArray(10, 1, 400);
    ASSERT_NE(source, nullptr);
    forceFailureAtEveryPiece([&] { return static_cast<void *>(cloneBigArray(source)); },
                             [](void *p) { deallocBigArray(static_cast<BigArray *>(p)); });
    deallocBigArray(source);
}

// With quiet failure the flag stays clear, so the composites must notice the
// missing piece itself rather than rely on the flag.
TEST_F(MatricesTest, QuietFailureStillUnwindsComposites)
{
    setAllocQuietFailure(true);
    qel_setAllocFailureCountdown(5);
    EXPECT_EQ(allocMatrixOfMatrices(8, 2, 3, 2, 2), nullptr);
    qel_setAllocFailureCountdown(3);
    EXPECT_EQ(allocBigMatrix(8, 1000, 100), nullptr);
    qel_setAllocFailureCountdown(1);
    EXPECT_EQ(alloc4DArray(8, 2, 2, 2, 2), nullptr);
    EXPECT_FALSE(memoryErrorHasOccurred());
    EXPECT_EQ(gReports, 0);
}

}  // namespace
