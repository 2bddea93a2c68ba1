#!/bin/sh
# Installs the dependencies when one is missing, builds, and runs every test. Tests
# are switched on explicitly: the demo may have configured the build folder without them.
set -e
cd "$(dirname "$0")/.."
./scripts/install-deps.sh --if-missing
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUM_BUILD_TESTS=ON
cmake --build build -j2
cd build && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2 --timeout 300
