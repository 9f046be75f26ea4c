// ReduceTaxa: taxa whose site patterns equal an earlier taxon's wherever both
// have data are deleted, and each is listed under the taxon it merged into.
#pragma once

#include <cstdint>
#include <vector>

struct SitePatternData;

// Per active taxon, the later active taxa merged into it (empty for a taxon
// that merged into another or took none). Two taxa agree when at every
// pattern their codes are equal or one is missing; agreement with missing
// data is not transitive, so the earlier taxon of a chain decides.
std::vector<std::vector<uint32_t>> findRedundantTaxa(const SitePatternData *pd);

int doReduceTaxaCmd();
