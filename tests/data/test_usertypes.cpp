#include <algorithm>
#include <cmath>
#include <random>

#include "data/assump.h"
#include "data/usertypes.h"
#include "data_fixture.h"

namespace {

using datatest::DataFixture;
using datatest::gErrors;
using datatest::gOut;

class UserTypeTest : public DataFixture {
protected:
    void SetUp() override
    {
        DataFixture::SetUp();
        makeData(4, 6, true, "abcdefgh");
    }
    void TearDown() override
    {
        deallocAllUsertypes();
        DataFixture::TearDown();
    }
    int define(const std::string &text)
    {
        feed(text);
        return doUsertypeCmd();
    }
};

// Costs as text: "i" for infinity, "." on the diagonal.
std::string matrixText(const std::vector<std::vector<int>> &m)
{
    std::string s;
    for (size_t i = 0; i < m.size(); ++i)
        for (size_t j = 0; j < m.size(); ++j)
            s += i == j ? " ." : m[i][j] < 0 ? " i" : " " + std::to_string(m[i][j]);
    return s;
}

TEST_F(UserTypeTest, TriangleViolationIsReportedAndAdjusted)
{
    ASSERT_EQ(define("u = 3 abc . 1 5 1 . 1 5 1 .;"), 0);
    EXPECT_NE(gOut.find("Warning: \bUser-defined stepmatrix type \"u\" is internally inconsistent:\n"
                        "     d(a,b) + d(b,c) = \b1 + 1 = 2 < d(a,c) = 5\n"
                        "     d(c,b) + d(b,a) = \b1 + 1 = 2 < d(c,a) = 5\n"
                        "   Stepmatrix has been adjusted for satisfaction of triangle inequality.\n"),
              std::string::npos)
        << gOut;
    const UserType *u = findUsertype("U");
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(u->intCosts[0][2], 2);
    EXPECT_EQ(u->intCosts[2][0], 2);
    EXPECT_EQ(u->maxCost, 2.0);
    EXPECT_FALSE(u->asymmetric);

    gOut.clear();
    feed(";");
    ASSERT_EQ(doShowUsrTypesCmd(), 0);
    EXPECT_EQ(gOut, "\nStepmatrix \"u\" (symmetric):\n\n       TO:  a  b  c\n  FROM: a   -  1  2\n"
                    "        b   1  -  1\n        c   2  1  -\n");
}

// The adjustment must end at the shortest-path costs, whatever the input.
TEST_F(UserTypeTest, AdjustmentMatchesFloydWarshallOnRandomMatrices)
{
    std::mt19937 rng(12345);
    for (int round = 0; round < 200; ++round) {
        const uint32_t n = 2 + rng() % 6;
        const bool symmetric = round % 2 == 0;
        std::vector<std::vector<int>> m(n, std::vector<int>(n, 0));
        for (uint32_t i = 0; i < n; ++i)
            for (uint32_t j = symmetric ? i + 1 : 0; j < n; ++j) {
                if (i == j)
                    continue;
                m[i][j] = rng() % 8 == 0 ? -1 : static_cast<int>(rng() % 20);
                if (symmetric)
                    m[j][i] = m[i][j];
            }
        // Reference: plain Floyd-Warshall, infinity as a large sentinel.
        const long kInf = 1L << 40;
        std::vector<std::vector<long>> ref(n, std::vector<long>(n));
        for (uint32_t i = 0; i < n; ++i)
            for (uint32_t j = 0; j < n; ++j)
                ref[i][j] = i == j ? 0 : m[i][j] < 0 ? kInf : m[i][j];
        for (uint32_t k = 0; k < n; ++k)
            for (uint32_t i = 0; i < n; ++i)
                for (uint32_t j = 0; j < n; ++j)
                    ref[i][j] = std::min(ref[i][j], ref[i][k] + ref[k][j]);
        bool violated = false;
        for (uint32_t i = 0; i < n; ++i)
            for (uint32_t j = 0; j < n; ++j)
                violated |= i != j && ref[i][j] != (m[i][j] < 0 ? kInf : m[i][j]);

        gOut.clear();
        const std::string name = "r" + std::to_string(round);
        ASSERT_EQ(define(name + " = " + std::to_string(n) + " " + std::string("abcdefgh", n) + matrixText(m) + ";"), 0);
        const UserType *u = findUsertype(name.c_str());
        ASSERT_NE(u, nullptr);
        long maxFinite = 0;
        for (uint32_t i = 0; i < n; ++i)
            for (uint32_t j = 0; j < n; ++j) {
                const long want = ref[i][j] >= kInf ? kUserTypeIntInfinity : ref[i][j];
                ASSERT_EQ(u->intCosts[i][j], want) << "round " << round << " " << i << "," << j;
                if (i != j && ref[i][j] < kInf)
                    maxFinite = std::max(maxFinite, ref[i][j]);
            }
        EXPECT_EQ(u->maxCost, static_cast<double>(maxFinite));
        EXPECT_EQ(gOut.find("internally inconsistent") != std::string::npos, violated) << gOut;
    }
}

TEST_F(UserTypeTest, CostsAreCheckedAndClassified)
{
    ASSERT_EQ(define("u (stepmatrix) = 2 ab . 1 2 .;"), 0);
    const UserType *u = findUsertype("u");
    EXPECT_TRUE(u->asymmetric);
    EXPECT_EQ(u->intCosts[0][1], 1);
    EXPECT_EQ(u->intCosts[1][0], 2);

    ASSERT_EQ(define("r = 2 ab . 1.50 inf .;"), 0);
    u = findUsertype("r");
    EXPECT_TRUE(u->realValued);
    EXPECT_EQ(u->decimals, 2u);
    EXPECT_DOUBLE_EQ(u->tolerance, 0.01);
    EXPECT_EQ(u->realCosts[1][0], kUserTypeRealInfinity);
    EXPECT_TRUE(u->hasInfinity);

    ASSERT_EQ(define("big = 2 ab . 40000.0 1 .;"), 0);  // real, so no limit
    // Refusals: the old definition of the same name stays.
    gErrors.clear();
    EXPECT_EQ(define("u = 2 ab . 32767 1 .;"), 1);  // 32767 is the integer infinity
    EXPECT_EQ(define("u = 2 ab . -1 1 .;"), 1);
    EXPECT_EQ(define("u = 2 ab . x 1 .;"), 1);
    EXPECT_EQ(define("u = 0;"), 1);
    EXPECT_EQ(define("u = 2 ab . 1;"), 1);
    EXPECT_EQ(gErrors, (std::vector<uint32_t>{430, 402, 402, 407, 404}));
    EXPECT_EQ(findUsertype("u")->intCosts[1][0], 2);
}

TEST_F(UserTypeTest, CharacterStateTrees)
{
    ASSERT_EQ(define("t cstree = (a,b)c;"), 0);
    const UserType *t = findUsertype("t");
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t->symbols, "cab");
    EXPECT_EQ(t->intCosts[1][2], 2);  // a-b
    EXPECT_EQ(t->intCosts[1][0], 1);  // a-c
    EXPECT_EQ(usertypeCharCode(t), kCharOrdered | kCharStateTree);
    char text[64] = "";
    recPutCSTree(t->tree, text, sizeof text);
    EXPECT_STREQ(text, "(a,b)c");

    // A deeper tree: costs are path lengths through the common ancestor.
    ASSERT_EQ(define("d cstree = ((a,b)e,(c)f)g;"), 0);
    t = findUsertype("d");
    EXPECT_STREQ(t->symbols, "geabfc");
    EXPECT_EQ(t->intCosts[2][5], 4);  // a to c: a-e-g-f-c
    EXPECT_EQ(t->intCosts[5][4], 1);

    gErrors.clear();
    EXPECT_EQ(define("x cstree = (a,b;"), 1);
    EXPECT_EQ(define("x cstree = a,b;"), 1);
    EXPECT_EQ(define("x cstree = (a)b);"), 1);
    EXPECT_EQ(define("x cstree = ab;"), 1);
    EXPECT_EQ(gErrors, (std::vector<uint32_t>{418, 419, 418, 419}));
    EXPECT_EQ(findUsertype("x"), nullptr);

    // 64 nodes below the root fit the path mask; 65 do not.
    std::string fits = "(", over;
    for (int i = 0; i < 64; ++i)
        fits += i ? ",a" : "a";
    over = fits + ",a)r;";
    fits += ")r;";
    EXPECT_EQ(define("w cstree = " + fits), 0);
    EXPECT_EQ(findUsertype("w")->n, 65);
    EXPECT_EQ(define("v cstree = " + over), 1);
    EXPECT_EQ(findUsertype("v"), nullptr);
}

TEST_F(UserTypeTest, RedefinitionMovesTheCharactersThatUseIt)
{
    ASSERT_EQ(define("u = 2 ab . 1 1 .;"), 0);
    UserType *old = findUsertype("u");
    d->userTypes[2] = old;
    d->status[2] = (d->status[2] & ~kCharTypeMask) | kCharUserType;
    ASSERT_EQ(define("v = 2 ab . 1 1 .;"), 0);
    ASSERT_EQ(define("u cstree = (a)b;"), 0);
    UserType *fresh = findUsertype("u");
    EXPECT_NE(fresh, nullptr);
    std::string order;
    for (const UserType *ut = gFirstUsertype; ut; ut = ut->next)
        order += std::string(ut->name) + " ";
    EXPECT_EQ(order, "u v ");  // the replacement keeps its place
    EXPECT_EQ(d->userTypes[2], fresh);
    EXPECT_EQ(d->status[2] & (kCharTypeMask | kCharStateTree), kCharOrdered | kCharStateTree);
    EXPECT_NE(gOut.find("Note: User-defined type \"u\" redefined."), std::string::npos);

    deallocAllUsertypes();
    EXPECT_EQ(d->userTypes[2], nullptr);
    EXPECT_EQ(d->status[2] & kCharTypeMask, kCharUnordered);
}

}  // namespace
