// Scratch that each thread keeps for itself (grown once to the largest
// tree, say) without a thread_local object of its own to destroy.
//
// The C library registers the destructor of a thread_local object the first
// time a thread touches it, and ends the process when that registration
// finds no memory: a search thread could not fail cleanly. A ThreadScratch
// is a bare pointer, which needs no destructor; its object is made on first
// use (std::bad_alloc when that fails) and listed with the thread, and the
// thread's owner frees the list as the thread ends (releaseThreadScratch;
// WorkerAllocations does so). Scratch of the program's own thread lives as
// long as the program.
#pragma once

#include <cstdint>
#include <memory>

// Frees the object a holder holds and clears the holder.
using ThreadScratchRelease = void (*)(void *holder);

// Lists a holder with the calling thread; throws std::bad_alloc, listing
// nothing, when the thread's list is full.
void listThreadScratch(void *holder, ThreadScratchRelease release);
// Frees every object listed with the calling thread and clears its holder.
void releaseThreadScratch();
// The objects listed with the calling thread.
uint32_t threadScratchCount();

template <typename T>
class ThreadScratch {
public:
    constexpr ThreadScratch() = default;
    T &operator*() { return object_ ? *object_ : make(); }
    T *operator->() { return &**this; }
    // The object, or null when this thread has not made it: a look that
    // makes nothing.
    T *ifMade() const { return object_; }

private:
    T &make()
    {
        auto owned = std::make_unique<T>();
        listThreadScratch(&object_, [](void *holder) {
            T *&object = *static_cast<T **>(holder);
            delete object;
            object = nullptr;
        });
        object_ = owned.release();
        return *object_;
    }
    T *object_ = nullptr;
};
