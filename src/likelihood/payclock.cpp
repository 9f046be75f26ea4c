#include "likelihood/payclock.h"

#include <algorithm>

namespace {

double secondsOf(PayClock::Clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

void PayClock::enterRun(Phase p, uint32_t rounds, Clock::duration time)
{
    phase_ = p;
    left_ = rounds;
    minTime_ = time;
    fresh_ = true;
    haveLastEnd_ = false;
    stretch_ = Tally{};
}

void PayClock::enterTiming()
{
    ++timings_;
    phase_ = Phase::Timing;
    fresh_ = true;
    timingFresh_ = true;
    haveLastEnd_ = false;
    sliceThreaded_ = true;
    tally_[0] = tally_[1] = Tally{};
}

void PayClock::lose(Clock::duration time)
{
    enterRun(Phase::RunAlone, kAloneRounds << losses_, time * (1 << losses_));
    losses_ = std::min(losses_ + 1, kMostDoublings);
    wins_ = 0;
}

void PayClock::decide(Clock::time_point end)
{
    const double alone = tally_[0].items / std::max(tally_[0].seconds, 1e-9);
    const double threaded = tally_[1].items / std::max(tally_[1].seconds, 1e-9);
    aloneRate_ = alone;
    const Clock::duration timing = (end - timingStart_) * kStretchPerTiming;
    if (threaded > kThreadsMustGain * alone) {
        losses_ = 0;
        enterRun(Phase::RunThreaded, kThreadedRounds << wins_, std::max(kThreadedTime, timing) * (1 << wins_));
        wins_ = std::min(wins_ + 1, kMostDoublings);
    } else {
        lose(std::max(kAloneTime, timing));
    }
}

void PayClock::beginRound(Clock::time_point now)
{
    roundStart_ = now;
    if (haveLastEnd_) {
        Tally &t = phase_ == Phase::Timing ? tally_[lastThreaded_] : stretch_;
        t.seconds += secondsOf(std::min<Clock::duration>(now - lastEnd_, kMostGap));
    }
    haveLastEnd_ = false;
    if (fresh_) {
        start_ = now;
        fresh_ = false;
    }
    if (phase_ == Phase::Timing && timingFresh_) {
        timingStart_ = now;
        timingFresh_ = false;
    }
}

void PayClock::endRound(double items, uint32_t rounds, Clock::time_point end)
{
    if (held_ > 0) {
        --held_;
        return;
    }
    if (phase_ != Phase::Timing) {
        left_ -= std::min(left_, rounds);
        if (left_ == 0 && end - start_ >= minTime_) {
            enterTiming();
            return;
        }
        if (phase_ == Phase::RunThreaded) {
            stretch_.items += items;
            stretch_.seconds += secondsOf(end - roundStart_);
            lastEnd_ = end;
            haveLastEnd_ = true;
            if (rounds != 0 && stretch_.seconds >= secondsOf(kWindowTime)) {
                if (stretch_.items < aloneRate_ * stretch_.seconds)
                    enterTiming();
                stretch_ = Tally{};
            }
        }
        return;
    }
    Tally &t = tally_[sliceThreaded_];
    t.items += items;
    t.seconds += secondsOf(end - roundStart_);
    t.rounds += rounds;
    lastEnd_ = end;
    lastThreaded_ = sliceThreaded_;
    haveLastEnd_ = true;
    if (rounds == 0 || end - start_ < kSliceTime)
        return;
    ++t.slices;
    if (tally_[0].complete() && tally_[1].complete()) {
        decide(end);
        return;
    }
    // Slices alternate; once one way has done its share, the other runs
    // until it has too.
    sliceThreaded_ = tally_[0].complete() ? true : tally_[1].complete() ? false : !sliceThreaded_;
    fresh_ = true;
}

void PayClock::stalled()
{
    if (held_ > 0) {
        --held_;
        return;
    }
    if (threaded())
        lose(kAloneTime);
}

void PayClock::runAlone(uint32_t rounds)
{
    held_ = 0;
    enterRun(Phase::RunAlone, std::max(rounds, 1u), Clock::duration::zero());
}

void PayClock::runThreaded(uint32_t rounds) { held_ = rounds; }
