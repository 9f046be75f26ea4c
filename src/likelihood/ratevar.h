// Among-site rate variation: the rate record of a model (equal rates, a
// discrete gamma distribution of mean or median category rates, invariable
// sites, or one rate per site class from a rate set or a character
// partition), the gamma discretisation and the constant-site terms that
// invariable sites add to a pattern's likelihood.
#pragma once

#include <cstdint>
#include <vector>

#include "likelihood/aligned.h"

struct Model;
struct DataInfo;

// Flags of the rate record.
enum : uint32_t {
    kRatesGamma = 1,
    kRatesInvar = 2,
    kRatesSiteSpecific = 4,
    kRatesMedian = 8,
    kRatesContinuousGamma = 16,  // one rate, the gamma flag kept (ML distances)
    kRatesShowTable = 32,
};

struct MLRateInfo {
    std::vector<double> rates;  // category rates, or the distinct site rates
    std::vector<double> probs;  // category weights, or 1.0 per site rate
    // Four single-precision copies of each category weight, one vector each.
    AlignedVector<float> probsFloat4;
    // Site-specific rates: the weight of the sites of each rate, the subset
    // (or first character) that defined it, and each character's rate index
    // (kNoSite for a character with none).
    std::vector<double> rateWeights;
    std::vector<uint32_t> rateSubset;
    std::vector<uint32_t> siteRateIndex;
    double shape = 0.0;
    double pinv = 0.0;
    uint32_t nrates = 0;
    uint32_t ncateg = 0;
    uint32_t flags = 0;
};

// nrates rates and ncateg categories; the gamma flag is dropped when fewer
// than two categories are asked for without the continuous flag.
MLRateInfo *createMLRateInfo(uint32_t nrates, uint32_t ncateg, uint32_t flags);
MLRateInfo *destroyMLRateInfo(MLRateInfo *ri);  // accepts null, returns null
void setRatesFlag(MLRateInfo *ri, uint32_t bits, bool on);

// The k category rates (and weights) of a gamma distribution of shape
// `shape` and mean 1 over the sites that are not invariable (1 - pinv of
// them): mean rates per equiprobable category, or median rates rescaled to
// the same mean. cutPoints (k values, may be null) receive the lower bound
// of each category.
void discretizeGammaDistrib(uint32_t k, bool median, double *rates, double *probs,
                            double *cutPoints, double shape, double pinv);
// Fills the record's rates and weights from pinv and shape, prints the
// cut-point table when asked, and refreshes the single-precision weights.
int initRateDistribution(bool show, MLRateInfo *ri, double pinv, double shape);
// Makes the model's record for gamma and/or invariable sites and fills it
// unless a shape or proportion is still to be estimated (or force is set).
int initMLRateDistrib(Model *m, bool gamma, bool pinv, bool show, bool continuous, bool force,
                      double shape, double pinvValue);
// Builds the model's rate record from its settings and sets its relative
// rate; 0, or 1 after an error report.
int initRatesForModel(Model *m, const DataInfo *d, bool continuous);
// Site rates scaled to a weighted mean of 1.
void normalizeSiteRates(Model *m);
// New character weights on a set-up kept in place (a resampling
// replicate): whether the model's site-rate classes stay those the set-up
// made (a partition subset left without weight has no rate of its own, so
// the set-up must be made again), and the rates and the model's relative
// rate reset as a set-up from these weights would start them.
bool siteRateClassesKept(const Model *m, const DataInfo *d);
void reweightModelRates(Model *m, const DataInfo *d);
// The constant-site term of each of the model's patterns: pinv times the
// summed frequencies of the states the pattern could be constant in.
void calcConstSiteLikes(Model *m);
// Frees the model's rate record and forgets its counts.
void releaseModelRates(Model *m);
