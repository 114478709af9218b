#!/bin/bash
# Installs what is needed, builds, and runs every test inside the virtual
# camera: once normally and once under AddressSanitizer and UBSan; then the
# board build and its tests under emulation.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}  # build and test jobs

# Every C++ file as clang-format leaves it.
./scripts/check-format.sh

cmake -S . -B build -DCAMERA_WERROR=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

# The programs without the tests (the build form without GTest), so that
# a folder that needs its tests to configure or build is caught.
cmake -S . -B build-programs -DCAMERA_WERROR=ON -DBUILD_TESTING=OFF
cmake --build build-programs -j"$jobs"

# The camera's programs for its 32-bit ARM board, their tests under qemu.
./scripts/test-board.sh

cmake -S . -B build-asan -DCAMERA_WERROR=ON -DCAMERA_SANITIZE=ON
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"

# The protocol fuzzer (clang's libFuzzer with its own sanitizers), for a
# bounded time over the kept corpus.
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCAMERA_WERROR=ON -DCAMERA_FUZZ=ON \
  -DCAMERA_FUZZ_SECONDS=60 -DCAMERA_COMPONENTS="src/config;common;src/fifo_ipc;src/controller;tests"
cmake --build build-fuzz -j"$jobs" --target controller_protocol_fuzz
ctest --test-dir build-fuzz --output-on-failure -R controller_protocol_fuzz
