// Trees read on the command line or for constraints: LoadConstr (one
// constraint per tree of a tree file), UserTree (one typed tree becomes the
// only tree in memory) and TreeWts (the weights of the trees in memory).
#pragma once

int doLoadConstrCmd();
int doUserTreeCmd();
int doTreeWtsCmd();
