#include "qel/qel_matrices.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

#include "qel/qel_malloc.h"

namespace {

using Byte = unsigned char;

// Product of all factors in 64 bits. An overflow is an allocation failure:
// reported like exhausted memory, so callers never build a short block.
bool checkedBytes(std::initializer_list<uint64_t> factors, uint64_t *bytes)
{
    uint64_t product = 1;
    for (uint64_t f : factors) {
        if (!checkedSizeProduct(product, f, &product)) {
            reportMemoryFailure();
            return false;
        }
    }
    *bytes = product;
    return true;
}

// Elements of a lower triangle of n rows: n(n-1)/2, or n(n+1)/2 with the
// diagonal. Also the offset of row n in a contiguous half matrix. n is at
// most 2^32-1, so the product cannot overflow before the halving.
uint64_t triangleCount(uint64_t n, bool withDiagonal)
{
    return withDiagonal ? n * (n + 1) / 2 : n * (n - 1) / 2;
}

// Frees the element block that row 0 owns and the row-pointer array; the
// layout shared by plain and half matrices.
void *deallocRowsAndBlock(void *matrix)
{
    if (!matrix)
        return nullptr;
    deallocBlockAligned(static_cast<void **>(matrix)[0]);
    return deallocArray(matrix);
}

// Points each of `count` pointers at consecutive `stride`-byte slices of block.
void pointIntoBlock(Byte **pointers, uint64_t count, Byte *block, uint64_t stride)
{
    for (uint64_t i = 0; i < count; i++)
        pointers[i] = block + i * stride;
}

// Object arrays: n zeroed objects carved from blocks of about blockKB
// kilobytes, behind an array of n+1 pointers whose entry 0 points at a hidden
// header, so that the array alone is enough to free everything. Callers get
// the address of entry 1.
struct ObjectArrayHeader {
    uint32_t objectsPerBlock;  // 0 when the objects are empty
    uint32_t n;                // objects actually carved
};

void **deallocCarvedObjects(void **objects)
{
    if (!objects)
        return nullptr;
    void **entries = objects - 1;
    auto *header = static_cast<ObjectArrayHeader *>(entries[0]);
    if (header && header->objectsPerBlock) {
        // Each block starts at every objectsPerBlock-th object.
        for (uint64_t i = 0; i < header->n; i += header->objectsPerBlock)
            deallocArray(objects[i]);
    }
    deallocBlock(header);
    deallocArray(entries);
    return nullptr;
}

void **allocCarvedObjects(uint64_t objectSize, uint32_t n, uint32_t blockKB)
{
    auto **entries = static_cast<void **>(allocArray(sizeof(void *), uint64_t{n} + 1));
    auto *header = static_cast<ObjectArrayHeader *>(allocBlock(sizeof(ObjectArrayHeader)));
    if (!entries || !header || memoryErrorHasOccurred()) {
        deallocBlock(header);
        deallocArray(entries);
        return nullptr;
    }
    entries[0] = header;
    void **objects = entries + 1;
    if (objectSize == 0)
        return objects;

    uint64_t perBlock = std::max<uint64_t>(1, uint64_t{blockKB} * 1024 / objectSize);
    perBlock = std::min<uint64_t>(perBlock, n);
    header->objectsPerBlock = static_cast<uint32_t>(perBlock);
    for (uint64_t i = 0; i < n; i += perBlock) {
        uint64_t count = std::min<uint64_t>(perBlock, n - i);
        auto *block = static_cast<Byte *>(allocArray(objectSize, count));
        if (!block)
            return deallocCarvedObjects(objects);
        pointIntoBlock(reinterpret_cast<Byte **>(objects + i), count, block, objectSize);
        header->n = static_cast<uint32_t>(i + count);
    }
    return objects;
}

constexpr uint32_t kBigMatrixBlockKB = 256;

}  // namespace

// ---------------------------------------------------------------- matrices

void *allocMatrix(uint64_t elementSize, uint32_t rows, uint32_t columns)
{
    uint64_t bytes;
    if (elementSize == 0 || rows == 0 || !checkedBytes({elementSize, rows, columns}, &bytes))
        return nullptr;
    auto **matrix = static_cast<Byte **>(allocArray(sizeof(void *), rows));
    if (!matrix || bytes == 0)
        return matrix;
    auto *block = static_cast<Byte *>(allocBlockAligned(bytes));
    if (!block)
        return deallocArray(matrix);
    pointIntoBlock(matrix, rows, block, uint64_t{columns} * elementSize);
    return matrix;
}

void *deallocMatrix(void *matrix) { return deallocRowsAndBlock(matrix); }

void zeroMatrix(void *matrix, uint32_t rows, uint32_t columns, uint64_t elementSize)
{
    if (!matrix || !static_cast<void **>(matrix)[0])
        return;
    std::memset(static_cast<void **>(matrix)[0], 0, uint64_t{rows} * columns * elementSize);
}

void copyMatrix(const void *source, void *destination, uint32_t rows, uint32_t columns,
                uint64_t elementSize)
{
    if (!source || !destination || source == destination)
        return;
    const void *from = static_cast<void *const *>(source)[0];
    void *to = static_cast<void **>(destination)[0];
    if (from && to)
        std::memcpy(to, from, uint64_t{rows} * columns * elementSize);
}

void *cloneMatrix(const void *source, uint32_t rows, uint32_t columns, uint64_t elementSize)
{
    if (!source)
        return nullptr;
    void *copy = allocMatrix(elementSize, rows, columns);
    copyMatrix(source, copy, rows, columns, elementSize);
    return copy;
}

float **copyDoubleMatrixToFloat(const double *const *source, uint32_t rows, uint32_t columns,
                                bool transpose, float **destination)
{
    if (!source || !destination)
        return destination;
    for (uint32_t i = 0; i < rows; i++)
        for (uint32_t j = 0; j < columns; j++)
            destination[i][j] = static_cast<float>(transpose ? source[j][i] : source[i][j]);
    return destination;
}

// ----------------------------------------------------------- half matrices

void *allocHalfMatrix(uint64_t elementSize, uint32_t n, bool withDiagonal)
{
    uint64_t bytes;
    if (elementSize == 0 || n == 0 ||
        !checkedBytes({elementSize, triangleCount(n, withDiagonal)}, &bytes))
        return nullptr;
    auto **matrix = static_cast<Byte **>(allocArray(sizeof(void *), n));
    if (!matrix || bytes == 0)
        return matrix;
    auto *block = static_cast<Byte *>(allocBlockAligned(bytes));
    if (!block)
        return deallocArray(matrix);
    for (uint64_t i = 0; i < n; i++)
        matrix[i] = block + triangleCount(i, withDiagonal) * elementSize;
    return matrix;
}

void *deallocHalfMatrix(void *matrix) { return deallocRowsAndBlock(matrix); }

void zeroHalfMatrix(void *matrix, uint32_t n, uint64_t elementSize, bool withDiagonal)
{
    if (!matrix || !static_cast<void **>(matrix)[0])
        return;
    // The rows are contiguous from row 0, so clearing them all is one clear.
    std::memset(static_cast<void **>(matrix)[0], 0, triangleCount(n, withDiagonal) * elementSize);
}

void copyHalfMatrix(const void *source, void *destination, uint32_t n, uint64_t elementSize,
                    bool withDiagonal)
{
    if (!source || !destination || source == destination)
        return;
    const void *from = static_cast<void *const *>(source)[0];
    void *to = static_cast<void **>(destination)[0];
    if (from && to)
        std::memcpy(to, from, triangleCount(n, withDiagonal) * elementSize);
}

void *cloneHalfMatrix(const void *source, uint32_t n, uint64_t elementSize, bool withDiagonal)
{
    if (!source)
        return nullptr;
    void *copy = allocHalfMatrix(elementSize, n, withDiagonal);
    copyHalfMatrix(source, copy, n, elementSize, withDiagonal);
    return copy;
}

// ------------------------------------------------------------ big matrices

void *allocBigMatrix(uint64_t elementSize, uint32_t rows, uint32_t columns)
{
    uint64_t rowBytes;
    if (elementSize == 0 || rows == 0 || !checkedBytes({elementSize, columns}, &rowBytes))
        return nullptr;
    return allocCarvedObjects(rowBytes, rows, kBigMatrixBlockKB);
}

void *deallocBigMatrix(void *matrix) { return deallocCarvedObjects(static_cast<void **>(matrix)); }

// ------------------------------------------------------- big half matrices

void *allocBigHalfMatrix(uint64_t elementSize, uint32_t n, bool withDiagonal)
{
    uint64_t longestRow;
    if (elementSize == 0 || n == 0 ||
        !checkedBytes({elementSize, uint64_t{n} - 1 + withDiagonal}, &longestRow))
        return nullptr;
    auto **matrix = static_cast<void **>(allocArray(sizeof(void *), n));
    if (!matrix)
        return nullptr;
    for (uint32_t i = withDiagonal ? 0 : 1; i < n; i++) {
        matrix[i] = allocArray(elementSize, uint64_t{i} + withDiagonal);
        if (!matrix[i])
            return deallocBigHalfMatrix(matrix, i);
    }
    return matrix;
}

void *deallocBigHalfMatrix(void *matrix, uint32_t n)
{
    if (!matrix)
        return nullptr;
    auto **rows = static_cast<void **>(matrix);
    for (uint32_t i = 0; i < n; i++)
        deallocArray(rows[i]);
    return deallocArray(rows);
}

void zeroBigHalfMatrix(void *matrix, uint32_t n, uint64_t elementSize, bool withDiagonal)
{
    if (!matrix)
        return;
    auto **rows = static_cast<void **>(matrix);
    for (uint32_t i = withDiagonal ? 0 : 1; i < n; i++)
        if (rows[i])
            std::memset(rows[i], 0, (uint64_t{i} + withDiagonal) * elementSize);
}

void copyBigHalfMatrix(const void *source, void *destination, uint32_t n, uint64_t elementSize,
                       bool withDiagonal)
{
    if (!source || !destination || source == destination)
        return;
    auto *const *from = static_cast<void *const *>(source);
    auto **to = static_cast<void **>(destination);
    for (uint32_t i = withDiagonal ? 0 : 1; i < n; i++)
        if (from[i] && to[i])
            std::memcpy(to[i], from[i], (uint64_t{i} + withDiagonal) * elementSize);
}

void *cloneBigHalfMatrix(const void *source, uint32_t n, uint64_t elementSize, bool withDiagonal)
{
    if (!source)
        return nullptr;
    void *copy = allocBigHalfMatrix(elementSize, n, withDiagonal);
    copyBigHalfMatrix(source, copy, n, elementSize, withDiagonal);
    return copy;
}

// ------------------------------------------------ big half object matrices

void *allocBigHalfObjectMatrix(uint32_t n, uint64_t objectSize, bool withDiagonal)
{
    uint64_t longestRow;
    if (objectSize == 0 || n == 0 ||
        !checkedBytes({objectSize, uint64_t{n} - 1 + withDiagonal}, &longestRow))
        return nullptr;
    auto ***matrix = static_cast<Byte ***>(allocHalfMatrix(sizeof(void *), n, withDiagonal));
    if (!matrix)
        return nullptr;
    for (uint32_t i = withDiagonal ? 0 : 1; i < n; i++) {
        uint64_t count = uint64_t{i} + withDiagonal;
        auto *block = static_cast<Byte *>(allocArray(objectSize, count));
        if (!block)
            return deallocBigHalfObjectMatrix(matrix, i, withDiagonal);
        pointIntoBlock(matrix[i], count, block, objectSize);
    }
    return matrix;
}

void *deallocBigHalfObjectMatrix(void *matrix, uint32_t n, bool withDiagonal)
{
    if (!matrix)
        return nullptr;
    auto ***rows = static_cast<void ***>(matrix);
    for (uint32_t i = withDiagonal ? 0 : 1; i < n; i++)
        deallocArray(rows[i][0]);
    return deallocHalfMatrix(matrix);
}

// --------------------------------------------------------------- BigArray

BigArray *allocBigArray(uint32_t n, uint32_t blockKB, uint64_t elementSize)
{
    if (n == 0 || elementSize == 0)
        return nullptr;
    uint64_t perBlock = std::max<uint64_t>(uint64_t{blockKB} * 1024, elementSize) / elementSize;
    auto nBlocks = static_cast<uint32_t>((uint64_t{n} - 1) / perBlock + 1);

    auto *array = static_cast<BigArray *>(allocBlock(sizeof(BigArray)));
    if (!array)
        return nullptr;
    array->blockBytes = perBlock * elementSize;
    array->elementSize = elementSize;
    array->n = n;
    array->elements = static_cast<void **>(allocArray(sizeof(void *), n));
    array->blocks = static_cast<void **>(allocArray(sizeof(void *), nBlocks));
    if (!array->elements || !array->blocks)
        return deallocBigArray(array);
    // nBlocks counts the blocks built so far, so a failure part way frees
    // exactly those.
    for (uint32_t b = 0; b < nBlocks; b++) {
        auto *block = static_cast<Byte *>(allocBlock(array->blockBytes));
        if (!block)
            return deallocBigArray(array);
        array->blocks[b] = block;
        array->nBlocks = b + 1;
        uint64_t first = uint64_t{b} * perBlock;
        pointIntoBlock(reinterpret_cast<Byte **>(array->elements + first),
                       std::min<uint64_t>(perBlock, n - first), block, elementSize);
    }
    return array;
}

BigArray *deallocBigArray(BigArray *array)
{
    if (!array)
        return nullptr;
    for (uint32_t b = 0; b < array->nBlocks; b++)
        deallocBlock(array->blocks[b]);
    deallocArray(array->blocks);
    deallocArray(array->elements);
    deallocBlock(array);
    return nullptr;
}

int zeroBigArray(BigArray *array)
{
    if (!array)
        return 0;
    for (uint32_t b = 0; b < array->nBlocks; b++)
        std::memset(array->blocks[b], 0, array->blockBytes);
    return 0;
}

int copyBigArray(const BigArray *source, BigArray *destination, uint32_t first)
{
    if (!source || !destination)
        return 1;
    if (source->elementSize != destination->elementSize ||
        uint64_t{first} + source->n > destination->n)
        return 1;
    for (uint32_t i = 0; i < source->n; i++)
        std::memcpy(destination->elements[uint64_t{first} + i], source->elements[i],
                    source->elementSize);
    return 0;
}

BigArray *cloneBigArray(const BigArray *source)
{
    if (!source)
        return nullptr;
    uint64_t blockKB = std::min<uint64_t>(source->blockBytes / 1024, UINT32_MAX);
    BigArray *copy = allocBigArray(source->n, static_cast<uint32_t>(blockKB), source->elementSize);
    if (copy)
        copyBigArray(source, copy, 0);
    return copy;
}

void **getBigArrayPtrs(BigArray *array) { return array ? array->elements : nullptr; }

// ------------------------------------------------------ 3-D and 4-D arrays

void *alloc3DArray(uint64_t elementSize, uint32_t sizeI, uint32_t sizeJ, uint32_t sizeK)
{
    uint64_t bytes;
    if (elementSize == 0 || sizeI == 0 ||
        !checkedBytes({elementSize, sizeI, sizeJ, sizeK}, &bytes))
        return nullptr;
    auto ***array = static_cast<Byte ***>(allocMatrix(sizeof(void *), sizeI, sizeJ));
    if (!array || bytes == 0)
        return array;
    auto *block = static_cast<Byte *>(allocBlockAligned(bytes));
    if (!block)
        return deallocMatrix(array);
    // The pointer matrix is itself contiguous, so a[i][j] is entry i*J + j.
    pointIntoBlock(array[0], uint64_t{sizeI} * sizeJ, block, uint64_t{sizeK} * elementSize);
    return array;
}

void *dealloc3DArray(void *array)
{
    if (!array)
        return nullptr;
    auto ***a = static_cast<void ***>(array);
    if (a[0])
        deallocBlockAligned(a[0][0]);
    return deallocMatrix(array);
}

void *alloc4DArray(uint64_t elementSize, uint32_t sizeI, uint32_t sizeJ, uint32_t sizeK,
                   uint32_t sizeL)
{
    uint64_t bytes;
    if (elementSize == 0 || sizeI == 0 ||
        !checkedBytes({elementSize, sizeI, sizeJ, sizeK, sizeL}, &bytes))
        return nullptr;
    auto ****array = static_cast<Byte ****>(alloc3DArray(sizeof(void *), sizeI, sizeJ, sizeK));
    if (!array || bytes == 0)
        return array;
    auto *block = static_cast<Byte *>(allocBlockAligned(bytes));
    if (!block)
        return dealloc3DArray(array);
    pointIntoBlock(array[0][0], uint64_t{sizeI} * sizeJ * sizeK, block,
                   uint64_t{sizeL} * elementSize);
    return array;
}

void *dealloc4DArray(void *array)
{
    if (!array)
        return nullptr;
    auto ****a = static_cast<void ****>(array);
    if (a[0] && a[0][0])
        deallocBlockAligned(a[0][0][0]);
    return dealloc3DArray(array);
}

// ----------------------------------------- arrays and matrices of matrices

void **allocArrayOfMatrices(uint64_t elementSize, uint32_t n, uint32_t rows, uint32_t columns)
{
    uint64_t bytes;
    if (elementSize == 0 || n == 0 || rows == 0 ||
        !checkedBytes({elementSize, rows, columns}, &bytes))
        return nullptr;
    auto **array = static_cast<void **>(allocArray(sizeof(void *), n));
    if (!array)
        return nullptr;
    for (uint32_t i = 0; i < n; i++) {
        array[i] = allocMatrix(elementSize, rows, columns);
        if (!array[i])
            return deallocArrayOfMatrices(array, i);
    }
    return array;
}

void **deallocArrayOfMatrices(void **array, uint32_t n)
{
    if (!array)
        return nullptr;
    for (uint32_t i = 0; i < n; i++)
        deallocMatrix(array[i]);
    deallocArray(array);
    return nullptr;
}

void *allocMatrixOfMatrices(uint64_t elementSize, uint32_t sizeI, uint32_t sizeJ, uint32_t rows,
                            uint32_t columns)
{
    uint64_t bytes;
    if (elementSize == 0 || sizeI == 0 || rows == 0 ||
        !checkedBytes({elementSize, rows, columns}, &bytes))
        return nullptr;
    auto ***matrix = static_cast<void ***>(allocMatrix(sizeof(void *), sizeI, sizeJ));
    if (!matrix)
        return nullptr;
    // Every piece is attempted and the outcome judged once; after the first
    // failure the rest return null at once. A null piece, not only the flag,
    // counts, since quiet failure leaves the flag clear.
    bool failed = false;
    for (uint32_t i = 0; i < sizeI && sizeJ; i++)
        for (uint32_t j = 0; j < sizeJ; j++) {
            matrix[i][j] = allocMatrix(elementSize, rows, columns);
            failed |= matrix[i][j] == nullptr;
        }
    if (failed)
        return deallocMatrixOfMatrices(matrix, sizeI, sizeJ);
    return matrix;
}

void *deallocMatrixOfMatrices(void *matrix, uint32_t sizeI, uint32_t sizeJ)
{
    if (!matrix)
        return nullptr;
    auto ***m = static_cast<void ***>(matrix);
    for (uint32_t i = 0; i < sizeI; i++)
        for (uint32_t j = 0; j < sizeJ && m[i]; j++)
            deallocMatrix(m[i][j]);
    return deallocMatrix(matrix);
}

// ----------------------------------------------------------------- vectors

double *makeSingletonVector(double *vector, uint32_t index, uint32_t n, double value)
{
    if (!vector)
        return nullptr;
    std::fill(vector, vector + n, 0.0);
    if (index < n)
        vector[index] = value;
    return vector;
}

double *makeUnitVector(double *vector, uint32_t index, uint32_t n)
{
    return makeSingletonVector(vector, index, n, 1.0);
}

double *makeConstantVector(double *vector, uint32_t n, double value)
{
    if (vector)
        std::fill(vector, vector + n, value);
    return vector;
}
