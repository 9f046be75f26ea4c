// Stands in front of the C library's registration of thread_local
// destructors, which ends the process when it finds no memory: search
// threads must register none.
#include "thread_exit_count.h"

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cstring>

namespace {

std::atomic<uint64_t> gElsewhere{0};
std::atomic<pthread_t> gTestThread{};

}  // namespace

void noteTestThread() { gTestThread.store(pthread_self()); }
uint64_t threadExitDestructorsElsewhere() { return gElsewhere.load(); }

extern "C" int __cxa_thread_atexit_impl(void (*dtor)(void *), void *object, void *dso)
{
    using Register = int (*)(void (*)(void *), void *, void *);
    static const Register next = [] {
        Register f = nullptr;
        void *symbol = dlsym(RTLD_NEXT, "__cxa_thread_atexit_impl");
        static_assert(sizeof f == sizeof symbol);
        std::memcpy(&f, &symbol, sizeof f);
        return f;
    }();
    if (!pthread_equal(pthread_self(), gTestThread.load()))
        gElsewhere++;
    return next(dtor, object, dso);
}
