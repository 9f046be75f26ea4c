#include "app/vorn_pending.h"

#include <algorithm>
#include <vector>

#include "qel/qel_errormsg.h"
#include "cli/qel_commands.h"

namespace {

// The running command names itself best (several rows may share a handler);
// otherwise the table is searched for the handler. Unused while every
// command of the table has its handler.
[[maybe_unused]] int notAvailableYet(CmdHandler self)
{
    const CmdTableEntry *cur = cmdOpt.currentCmd;
    const char *name = cur != nullptr && cur->handler == self ? cur->name : commandName(self);
    qel_errorMsg(0, "The \"%s\" command is not available yet.", name);
    return 1;
}

std::vector<CmdHandler> &pendingHandlers()
{
    static std::vector<CmdHandler> handlers;
    return handlers;
}

struct PendingRegistration {
    explicit PendingRegistration(CmdHandler h) { pendingHandlers().push_back(h); }
};

}  // namespace

bool isPendingHandler(CmdHandler handler)
{
    const auto &v = pendingHandlers();
    return std::find(v.begin(), v.end(), handler) != v.end();
}

#define PENDING_HANDLER(fn) \
    int fn() { return notAvailableYet(fn); } \
    static const PendingRegistration registered_##fn(fn);

