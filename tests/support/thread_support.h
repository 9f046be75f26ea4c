// Runs one check on several threads at once, for code threads may share.
#pragma once

#include <atomic>
#include <thread>
#include <vector>

namespace testthreads {

// Calls ok(thread, round) for every round on every thread, all threads
// running together, and returns how many calls returned false.
template <typename Check>
unsigned countFailuresAcrossThreads(unsigned threads, unsigned rounds, Check ok)
{
    std::atomic<unsigned> failures{0};
    std::vector<std::thread> running;
    for (unsigned t = 0; t < threads; t++)
        running.emplace_back([t, rounds, &ok, &failures] {
            for (unsigned i = 0; i < rounds; i++)
                if (!ok(t, i))
                    failures++;
        });
    for (std::thread &th : running)
        th.join();
    return failures.load();
}

}  // namespace testthreads
