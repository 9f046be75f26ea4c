// OrthoFilter: screens the subsets of a character partition (genes) for
// paralogs. Each subset's UPGMA tree is checked against a constraint tree;
// a subset whose tree violates it is kept when setting the data of a few
// taxa (the inferred paralogs) to missing satisfies it, and excluded
// otherwise.
#pragma once

struct CmdParam;
struct Constraint;

// The constraint named by the "constraints" option of the running command.
extern Constraint *orthoFilterConstraint;
int readOrthoFilterConstraint(int operation, CmdParam *option, void *place);

// The OrthoFilter handler: 0, 1 (error) or 2 (aborted).
int doOrthoFilterCmd();
