#include "likelihood/payclock.h"

#include <algorithm>

void PayClock::enter(Phase p, uint32_t rounds, Clock::duration time)
{
    phase_ = p;
    left_ = rounds;
    minTime_ = time;
    fresh_ = true;
    items_ = 0.0;
}

void PayClock::lose()
{
    enter(Phase::RunAlone, kAloneRounds << losses_, kAloneTime * (1 << losses_));
    losses_ = std::min(losses_ + 1, kMostDoublings);
    wins_ = 0;
}

void PayClock::beginRound(Clock::time_point now)
{
    if (fresh_) {
        start_ = now;
        fresh_ = false;
    }
}

void PayClock::endRound(double items, uint32_t rounds, Clock::time_point end)
{
    const bool timed = phase_ == Phase::TimeAlone || phase_ == Phase::TimeThreaded;
    if (timed)
        items_ += items;
    left_ -= std::min(left_, rounds);
    if (left_ != 0 || end - start_ < minTime_)
        return;
    const double seconds = std::max(std::chrono::duration<double>(end - start_).count(), 1e-9);
    const double rate = items_ / seconds;
    switch (phase_) {
    case Phase::TimeThreaded:
        threadedRate_ = rate;
        enter(Phase::TimeAlone, kWindowRounds, kWindowTime);
        break;
    case Phase::TimeAlone:
        if (threadedRate_ > kThreadsMustGain * rate) {
            losses_ = 0;
            enter(Phase::RunThreaded, kThreadedRounds << wins_, kThreadedTime * (1 << wins_));
            wins_ = std::min(wins_ + 1, kMostDoublings);
        } else {
            lose();
        }
        break;
    case Phase::RunAlone:
    case Phase::RunThreaded:
        enter(Phase::TimeThreaded, kWindowRounds, kWindowTime);
        break;
    }
}

void PayClock::stalled()
{
    if (threaded())
        lose();
}

void PayClock::runAlone(uint32_t rounds) { enter(Phase::RunAlone, std::max(rounds, 1u), Clock::duration::zero()); }
