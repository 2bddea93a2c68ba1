#!/bin/sh
# Builds the tests with sanitizers in a build directory of their own and runs them.
#   asan  AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer over every test; builds
#         every target but the benchmarks (build-asan/)
#   tsan  ThreadSanitizer over the run, alignment, command-line and window tests: test_engine,
#         test_align, test_cli, test_app (build-tsan/)
# The kestrum binary, which some tests drive, is built with the same sanitizer. Warnings are
# errors here. Reports in system libraries are suppressed by scripts/sanitizers/*.supp.
# Expects the dependencies to be installed (scripts/install-deps.sh).
set -e
cd "$(dirname "$0")/.."
root=$(pwd)

labels=""
case "$1" in
asan)
    sanitize=address,undefined
    dir=build-asan
    targets=all
    ;;
tsan)
    sanitize=thread
    dir=build-tsan
    targets="kestrum test_engine test_align test_cli test_app"
    labels='^(engine|align|cli|app)$'
    ;;
*)
    echo "usage: $0 asan|tsan" >&2
    exit 2
    ;;
esac

# Test discovery runs the test executables during the build, so the options apply there too.
export ASAN_OPTIONS="detect_leaks=1"
export LSAN_OPTIONS="suppressions=$root/scripts/sanitizers/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="suppressions=$root/scripts/sanitizers/tsan.supp:second_deadlock_stack=1"

# -O1 keeps the sanitized build and its tests fast while the stacks stay readable.
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1" \
    -DKESTRUM_SANITIZE=$sanitize -DKESTRUM_WERROR=ON -DKESTRUM_BUILD_BENCH=OFF
# shellcheck disable=SC2086
cmake --build "$dir" -j2 --target $targets
cd "$dir"
if [ -n "$labels" ]; then
    QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2 --timeout 300 -L "$labels"
else
    QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2 --timeout 300
fi
