// Matrix and multi-dimensional array shapes built on the allocators of
// qel_malloc. Everything is zero-filled; element sizes are byte counts.
//
// Every size product (rows x columns, I x J x K (x L), n(n-1)/2, n(n+1)/2,
// times the element size) is formed in 64 bits and checked: an overflowing
// product is an allocation failure (reported, flag set, null returned), never
// a short block. A composite allocator that fails part way frees every piece
// it built. A zero count or element size is not a failure: the result is null
// (or, for zero columns, a row-pointer array of nulls) and nothing is printed.
// Every dealloc function accepts null and returns null.
#pragma once

#include <cstdint>

// ---- Matrices: row pointers over one contiguous, 16-byte-aligned element
// block, so row 0 points at the block and rows follow in order.
void *allocMatrix(uint64_t elementSize, uint32_t rows, uint32_t columns);
void *deallocMatrix(void *matrix);
void zeroMatrix(void *matrix, uint32_t rows, uint32_t columns, uint64_t elementSize);
// Byte copy of the whole element block; nothing when source is destination.
void copyMatrix(const void *source, void *destination, uint32_t rows, uint32_t columns,
                uint64_t elementSize);
void *cloneMatrix(const void *source, uint32_t rows, uint32_t columns, uint64_t elementSize);
// destination[i][j] = source[i][j], or source[j][i] when transposing (the
// source is then columns x rows). Returns the destination.
float **copyDoubleMatrixToFloat(const double *const *source, uint32_t rows, uint32_t columns,
                                bool transpose, float **destination);

// ---- Half matrices (lower triangle): n row pointers over one aligned block.
// Without the diagonal row i holds i elements (row 0 none, and it shares its
// address with row 1); with it row i holds i+1 elements.
void *allocHalfMatrix(uint64_t elementSize, uint32_t n, bool withDiagonal);
void *deallocHalfMatrix(void *matrix);
void zeroHalfMatrix(void *matrix, uint32_t n, uint64_t elementSize, bool withDiagonal);
void copyHalfMatrix(const void *source, void *destination, uint32_t n, uint64_t elementSize,
                    bool withDiagonal);
void *cloneHalfMatrix(const void *source, uint32_t n, uint64_t elementSize, bool withDiagonal);

// ---- Big matrices: rows are separate zeroed objects carved from 256 KB
// blocks, for matrices too large for one block. Rows are not contiguous.
void *allocBigMatrix(uint64_t elementSize, uint32_t rows, uint32_t columns);
void *deallocBigMatrix(void *matrix);

// ---- Big half matrices: one separately allocated array per row (i or i+1
// elements as for half matrices); without the diagonal row 0 stays null.
void *allocBigHalfMatrix(uint64_t elementSize, uint32_t n, bool withDiagonal);
void *deallocBigHalfMatrix(void *matrix, uint32_t n);
void zeroBigHalfMatrix(void *matrix, uint32_t n, uint64_t elementSize, bool withDiagonal);
void copyBigHalfMatrix(const void *source, void *destination, uint32_t n, uint64_t elementSize,
                       bool withDiagonal);
void *cloneBigHalfMatrix(const void *source, uint32_t n, uint64_t elementSize, bool withDiagonal);

// ---- Big half object matrix: a half matrix of pointers; the entries of one
// row point at consecutive objects of one zeroed block owned by that row.
void *allocBigHalfObjectMatrix(uint32_t n, uint64_t objectSize, bool withDiagonal);
void *deallocBigHalfObjectMatrix(void *matrix, uint32_t n, bool withDiagonal);

// ---- BigArray: n equal-size elements spread over zeroed blocks. Each block
// holds max(blockKB x 1024, elementSize) / elementSize whole elements.
struct BigArray {
    void **elements;        // n element pointers
    void **blocks;          // nBlocks block pointers
    uint32_t nBlocks;
    uint64_t blockBytes;    // bytes of every block, the last included
    uint64_t elementSize;
    uint32_t n;
};

BigArray *allocBigArray(uint32_t n, uint32_t blockKB, uint64_t elementSize);
BigArray *deallocBigArray(BigArray *array);
int zeroBigArray(BigArray *array);
// Copies source element i to destination element first+i. Returns 1 and
// copies nothing when the destination is too short or its elements are of
// another size; 0 otherwise.
int copyBigArray(const BigArray *source, BigArray *destination, uint32_t first);
BigArray *cloneBigArray(const BigArray *source);
void **getBigArrayPtrs(BigArray *array);

// ---- 3-D and 4-D arrays: pointer matrices over one aligned element block;
// a[i][j] is element (i*J + j)*K, a[i][j][k] element ((i*J + j)*K + k)*L.
void *alloc3DArray(uint64_t elementSize, uint32_t sizeI, uint32_t sizeJ, uint32_t sizeK);
void *dealloc3DArray(void *array);
void *alloc4DArray(uint64_t elementSize, uint32_t sizeI, uint32_t sizeJ, uint32_t sizeK,
                   uint32_t sizeL);
void *dealloc4DArray(void *array);

// ---- Arrays and matrices of separately allocated matrices of one shape.
void **allocArrayOfMatrices(uint64_t elementSize, uint32_t n, uint32_t rows, uint32_t columns);
void **deallocArrayOfMatrices(void **array, uint32_t n);
void *allocMatrixOfMatrices(uint64_t elementSize, uint32_t sizeI, uint32_t sizeJ, uint32_t rows,
                            uint32_t columns);
void *deallocMatrixOfMatrices(void *matrix, uint32_t sizeI, uint32_t sizeJ);

// ---- Vectors of doubles. All return the vector.
// Clears n entries and stores value at index (when index < n).
double *makeSingletonVector(double *vector, uint32_t index, uint32_t n, double value);
double *makeUnitVector(double *vector, uint32_t index, uint32_t n);
double *makeConstantVector(double *vector, uint32_t n, double value);

// ---- Typed conveniences.
template <typename T>
T **allocMatrixOf(uint32_t rows, uint32_t columns)
{
    return static_cast<T **>(allocMatrix(sizeof(T), rows, columns));
}
template <typename T>
T **allocHalfMatrixOf(uint32_t n, bool withDiagonal)
{
    return static_cast<T **>(allocHalfMatrix(sizeof(T), n, withDiagonal));
}
template <typename T>
T **allocBigMatrixOf(uint32_t rows, uint32_t columns)
{
    return static_cast<T **>(allocBigMatrix(sizeof(T), rows, columns));
}
template <typename T>
T ***alloc3DArrayOf(uint32_t sizeI, uint32_t sizeJ, uint32_t sizeK)
{
    return static_cast<T ***>(alloc3DArray(sizeof(T), sizeI, sizeJ, sizeK));
}
template <typename T>
T ****alloc4DArrayOf(uint32_t sizeI, uint32_t sizeJ, uint32_t sizeK, uint32_t sizeL)
{
    return static_cast<T ****>(alloc4DArray(sizeof(T), sizeI, sizeJ, sizeK, sizeL));
}
