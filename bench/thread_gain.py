#!/usr/bin/python3
"""Two likelihood threads against one, in one command.

Usage: thread_gain.py VORN_BENCH [--cpus A,B] [--quick] [--busy]

Runs, in the benchmark program, paired blocks of whole-tree passes
(BM_WholeTreeThreadGain, 150 taxa x 2,000 and 20,000 sites, GTR+G4) and
paired whole fits of lengths, rates and shape (BM_FitThreadGain, the same
sizes), one thread against two, and prints each gain (the median of the
pairs' ratios) with what tells where a gain was lost:
- pairs: the smallest and the largest of the pairs' gains;
- alone: the share of the rounds that the pay clock left to the calling
  thread (threads did not pay while it timed them), and timings: how
  often it timed them;
- queued/run: the worker's seconds waiting for a processor while runnable
  against its seconds on one; a worker queued as long as it ran had half a
  processor, which no program can turn into a second thread's gain;
- end wait: the calling thread's seconds between its last chunk of a round
  and the round's end, in all;
- for the fits, the processor seconds of every thread on one thread and on
  two: what the second thread adds to the work.
--cpus runs the benchmarks on those two processors alone (taskset), e.g. on
two processors that nothing else uses; --quick leaves out the 2,000-site
cases; --busy adds the 2,000-site passes with a busy loop on the second
processor, where the gain must not fall below 1. The load average is
printed before and after.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile


def run(bench, pattern, cpus):
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        cmd = [bench, "--benchmark_filter=" + pattern, "--benchmark_out=" + out.name, "--benchmark_out_format=json"]
        if cpus:
            cmd = ["taskset", "-c", cpus] + cmd
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return json.load(open(out.name))["benchmarks"]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("bench")
    ap.add_argument("--cpus", default="")
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--busy", action="store_true")
    a = ap.parse_args()
    sites = "20000" if a.quick else "(2000|20000)"
    patterns = ["BM_WholeTreeThreadGain/150/%s/2/0/" % sites, "BM_FitThreadGain/150/%s/2/" % sites]
    if a.busy:
        patterns.append("BM_WholeTreeThreadGain/150/2000/2/1/")
    print("load average %.1f %.1f %.1f on %d processors%s" %
          (*os.getloadavg(), os.cpu_count(), ", pinned to " + a.cpus if a.cpus else ""), flush=True)
    print("%-40s %6s %11s %10s %10s %6s %7s %14s %9s" % ("case", "gain", "pairs", "1 thread", "2 threads", "alone",
                                                       "timings", "queued/run s", "end wait"))
    for pattern in patterns:
        for b in run(a.bench, pattern, a.cpus):
            if b.get("error_occurred"):
                print("%-44s %s" % (b["name"], b.get("error_message", "failed")))
                continue
            unit = "ms" if "alone_ms" in b else "s"
            print("%-40s %6.2f %5.2f-%-5.2f %7.1f %-2s %7.1f %-2s %6.2f %7d %6.2f/%-7.2f %8.2fs" %
                  (b["name"].split("/iterations")[0], b["gain"], b["gain_min"], b["gain_max"], b["alone_" + unit],
                   unit, b["threaded_" + unit], unit, b["alone_rounds"], b["timings"], b["worker_queued_s"],
                   b["worker_run_s"], b["end_wait_s"]), flush=True)
            if "alone_cpu_s" in b:
                print("%-40s processor seconds: %.2f on one thread, %.2f on two" %
                      ("", b["alone_cpu_s"], b["threaded_cpu_s"]), flush=True)
    print("load average %.1f %.1f %.1f" % os.getloadavg())
    return 0


if __name__ == "__main__":
    sys.exit(main())
