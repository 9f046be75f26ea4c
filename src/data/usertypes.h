// User-defined character types: stepmatrices (costs between states) and
// character-state trees, defined by the UserType command and shown by
// ShowUserTypes. Parsimony reads the records; this unit owns them.
#pragma once

#include <cstdint>

#include "data/vorn_data.h"

inline constexpr int16_t kUserTypeIntInfinity = 32767;
inline constexpr double kUserTypeRealInfinity = 1e37;
// Non-root nodes of a character-state tree: one path-mask bit each.
inline constexpr uint32_t kMaxCSTreeNodes = 64;

struct CSTreeNode {
    uint64_t pathMask;  // the parent's mask plus this node's own bit
    uint32_t nodeNum;   // creation order, root 0
    char symbol;        // '*' when the node is not named
    CSTreeNode *parent;
    CSTreeNode *firstChild;
    CSTreeNode *lastChild;
    CSTreeNode *nextSib;
    CSTreeNode *nextNode;  // creation order
};

struct UserType {
    double maxCost;    // largest finite off-diagonal cost
    double tolerance;  // 10^-decimals, for real-valued matrices
    char *symbols;     // n state symbols, NUL-terminated
    int16_t **intCosts;   // n x n; kUserTypeIntInfinity for infinity
    double **realCosts;   // n x n; kUserTypeRealInfinity for infinity
    UserType *next;
    CSTreeNode *tree;  // null for a stepmatrix
    char name[128];
    uint32_t useCount;
    uint32_t decimals;
    uint8_t asymmetric;
    uint8_t realValued;
    uint8_t hasInfinity;
    uint8_t n;
};

extern UserType *gFirstUsertype;

// The type code a character of this user type gets: 16 for a stepmatrix,
// ordered with the tree flag for a character-state tree.
uint32_t usertypeCharCode(const UserType *ut);
UserType *findUsertype(const char *name);
// Cost of a change from state i to state j as a double (infinity 1e37).
double usertypeCost(const UserType *ut, uint32_t i, uint32_t j);

// The UserType command (the head "UserType name (format) =" included).
int doUsertypeCmd();
// ShowUserTypes.
int doShowUsrTypesCmd();

// Frees the tree, the matrices, the symbols and the record; returns null.
UserType *deleteUsertype(UserType *ut);
// Frees every user type and clears every reference to one (the data set's
// characters and the type sets fall back to unordered).
void deallocAllUsertypes();

// 0 when every observed state symbol of character c is a state of the type
// (characters of the built-in set "AllMissing" always pass); otherwise error
// 412, or error 432 when checking for a gap-mode change.
int checkUsertypeCompat(uint32_t c, const UserType *ut, DataInfo *d, bool gapModeChange);

// Reads a character-state tree definition after "=" up to its ";" (the ";"
// is consumed); the root of the new tree, null after an error report.
CSTreeNode *getCSTreeNode(const char *typeName, uint32_t *nodeCount);
CSTreeNode *createCSTreeNode(CSTreeNode *parent, char state, uint32_t nodeNum);
CSTreeNode *deallocCSTree(CSTreeNode *root);
// The tree in parenthesis form, as SaveAssum writes it, appended to out.
void recPutCSTree(const CSTreeNode *node, char *out, uint32_t size);
