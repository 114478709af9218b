#!/bin/bash
# The board build: installs the cross compilers, qemu and the board's
# libraries, builds every camera program and library for the 32-bit ARM
# board in build-armhf, and runs the tests that need no device under qemu's
# user-mode emulator, each inside the virtual camera.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-board-deps.sh
jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}  # build and test jobs

cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake -DCAMERA_WERROR=ON
cmake --build build-armhf -j"$jobs"
ctest --test-dir build-armhf --output-on-failure -j"$jobs"
