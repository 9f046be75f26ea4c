# Thin wrapper around CMake so that a newcomer needs only `make run`,
# `make test` and `make bench`.
JOBS ?= $(shell nproc)
CMAKE ?= cmake

.PHONY: all release run test test-release asan tsan bench bench-threads bench-search fuzz deps clean

all: release

release:
	$(CMAKE) -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORN_TESTS=OFF
	$(CMAKE) --build build -j $(JOBS)

# Builds the program and runs it on a small command file: it reads a DNA
# alignment, searches for the most parsimonious trees and quits.
run: deps release
	ln -sf src/vorn build/vorn
	./build/vorn -n examples/search.nex

deps:
	bash scripts/install-deps.sh

asan:
	$(CMAKE) -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVORN_SANITIZE=ON
	$(CMAKE) --build build-asan -j $(JOBS)

test: deps asan
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS)

# The optimised build with its tests: each unit-test program runs whole, all
# its tests in one process, then the end-to-end cases. Faults that the
# sanitizers' allocators hide (a freed address handed out again) or that
# depend on which tests ran before show here.
test-release: deps
	$(CMAKE) -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORN_TESTS=ON
	$(CMAKE) --build build-rel -j $(JOBS)
	set -e; for t in build-rel/tests/*_tests; do echo "$$t"; $$t --gtest_brief=1; done
	cd build-rel && ctest --output-on-failure -j $(JOBS) -L e2e

# The thread tests under ThreadSanitizer; kept out of `make test`.
TSAN_TESTS ?= ThreadGroup|ProcessorInfo|SecondaryThread
tsan: deps
	$(CMAKE) -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_TSAN=ON
	$(CMAKE) --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	  ctest --output-on-failure -R '$(TSAN_TESTS)'

bench: deps
	$(CMAKE) -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORN_TESTS=OFF -DVORN_BENCH=ON
	$(CMAKE) --build build-bench -j $(JOBS)
	./build-bench/bench/vorn_bench

# Two likelihood threads against one at 2,000 and 20,000 sites (whole-tree
# passes and whole fits, paired in one process), each gain printed with the
# counts that tell where a gain went. CPUS=A,B pins the runs to two
# processors.
bench-threads:
	$(CMAKE) -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORN_TESTS=OFF -DVORN_BENCH=ON
	$(CMAKE) --build build-bench -j $(JOBS) --target vorn_bench
	/usr/bin/python3 bench/thread_gain.py build-bench/bench/vorn_bench $(if $(CPUS),--cpus $(CPUS))

# HSearch (TBR, 10 random-addition replicates) beside PHYLIP dnapars on a
# simulated 100-taxon x 2,000-site DNA matrix: best lengths, times and
# rearrangements per second.
bench-search: release
	/usr/bin/python3 bench/hsearch_vs_dnapars.py build/src/vorn

# The fuzz targets under libFuzzer with ASan and UBSan, built by clang: the
# NEXUS reader (fuzz_nexus) and the command loop on a small data set
# (fuzz_commands), each for half of FUZZ_SECONDS (60 by default;
# FUZZ_SECONDS=600 for a long run) from its seed corpus in tests/fuzz. What
# they learn stays in build-fuzz/corpus*, and a crashing input lands in
# build-fuzz/. The command target's own messages are silenced
# (-close_fd_mask; sanitiser reports still show).
FUZZ_SECONDS ?= 60
FUZZ_HALF = $(shell echo $$(( ($(FUZZ_SECONDS) + 1) / 2 )))
FUZZ_FLAGS = -max_total_time=$(FUZZ_HALF) -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix=build-fuzz/
fuzz: deps
	CC=clang CXX=clang++ $(CMAKE) -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVORN_TESTS=OFF -DVORN_FUZZ=ON
	$(CMAKE) --build build-fuzz -j $(JOBS) --target fuzz_nexus fuzz_commands
	mkdir -p build-fuzz/corpus build-fuzz/corpus-commands
	./build-fuzz/tests/fuzz/fuzz_nexus $(FUZZ_FLAGS) build-fuzz/corpus tests/fuzz/corpus
	./build-fuzz/tests/fuzz/fuzz_commands $(FUZZ_FLAGS) -close_fd_mask=3 \
	  build-fuzz/corpus-commands tests/fuzz/corpus_commands

clean:
	rm -rf build build-asan build-rel build-tsan build-bench build-fuzz
