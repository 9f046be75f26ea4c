#include "data/model.h"

#include <cstring>
#include <memory>

#include "qel/qel_errormsg.h"
#include "qel/qel_strings.h"

namespace {

ModelEngineReleaser gReleaser = nullptr;

struct ModelDeleter {
    void operator()(Model *m) const { destroyModel(m); }
};
std::vector<std::unique_ptr<Model, ModelDeleter>> gModelList;

bool sameName(const char *a, const char *b) { return stricmp(a, b) == 0; }

void makeDefaultNucleotide(Model *m)
{
    m->type = kModelNucleotide;
    m->nstates = 4;
    std::strcpy(m->symbols, "ACGT");
    m->stateFreqs.assign(4, 0.25);
    for (uint32_t s = 0; s < 4; ++s)
        m->freqs[s] = 0.25;
    m->numRates = m->numRateCategs = 1;
    m->needsInit = 1;
}

}  // namespace

Model *createModel(const char *name)
{
    auto m = std::make_unique<Model>();
    strcpy_n(m->name, name != nullptr ? name : "", kModelNameSize);
    m->relRate = m->modelRateSetting = 1.0;
    forgetPreviousEstimates(m.get());
    return m.release();
}

void setModelEngineReleaser(ModelEngineReleaser releaser) { gReleaser = releaser; }

void releaseModelEngineData(Model *m)
{
    if (m != nullptr && gReleaser != nullptr)
        gReleaser(m);
}

Model *destroyModel(Model *m)
{
    releaseModelEngineData(m);
    delete m;
    return nullptr;
}

void forgetPreviousEstimates(Model *m)
{
    m->prevTratio = m->prevShape = m->prevPinv = m->prevModelRate = -1.0;
    if (!m->prevRates.empty())
        m->prevRates[0] = -1.0;
    if (!m->prevFreqs.empty())
        m->prevFreqs[0] = -1.0;
    forgetPreviousSiteRates(m);
}

void forgetPreviousSiteRates(Model *m)
{
    m->prevSiteRates.clear();
    m->prevSiteRatePartition = nullptr;
}

bool havePrevRates(const Model *m) { return !m->prevRates.empty() && m->prevRates[0] >= 0.0; }
bool havePrevFreqs(const Model *m) { return !m->prevFreqs.empty() && m->prevFreqs[0] >= 0.0; }

int createModelList()
{
    gModelList.clear();
    Model *m = createModel("default");
    makeDefaultNucleotide(m);
    gModelList.emplace_back(m);
    return 0;
}

void destroyModelList() { gModelList.clear(); }

uint32_t countModels() { return static_cast<uint32_t>(gModelList.size()); }

Model *getModel(uint32_t index)
{
    return index < gModelList.size() ? gModelList[index].get() : nullptr;
}

Model *getDefaultModel()
{
    if (gModelList.empty())
        createModelList();
    return gModelList.front().get();
}

Model *nextModel(const Model *m)
{
    for (size_t i = 0; i + 1 < gModelList.size(); ++i)
        if (gModelList[i].get() == m)
            return gModelList[i + 1].get();
    return nullptr;
}

Model *findMatchingModel(const char *name, bool report)
{
    for (const auto &m : gModelList)
        if (sameName(m->name, name))
            return m.get();
    if (report)
        qel_errorMsg(0,
                     "Model '%s' has not been defined.\tYou must define the model settings (e.g., "
                     "using an %s command) and name it using '%s=%s'.",
                     name, "LSet", "model", name);
    return nullptr;
}

bool insertModel(Model *m)
{
    getDefaultModel();
    for (auto &slot : gModelList)
        if (sameName(slot->name, m->name)) {
            slot.reset(m);
            return true;
        }
    gModelList.emplace_back(m);
    return false;
}

void forceReinitAllModels()
{
    for (auto &m : gModelList)
        m->needsInit = 1;
}

void resetDefaultModel()
{
    Model *m = getDefaultModel();
    releaseModelEngineData(m);
    *m = Model{};
    std::strcpy(m->name, "default");
    m->relRate = m->modelRateSetting = 1.0;
    forgetPreviousEstimates(m);
    makeDefaultNucleotide(m);
}
