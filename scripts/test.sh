#!/usr/bin/env bash
# The test command: installs what is missing, builds both targets and the
# Debian package (checked by lintian, installed into a throw-away root, its
# resource agent run through ocf-tester), runs every test, then the
# end-to-end suite on both targets (Windows under Wine), then the whole suite
# again under AddressSanitizer and UndefinedBehaviorSanitizer, the concurrency
# tests under ThreadSanitizer, and every libFuzzer harness for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
export CTEST_OUTPUT_ON_FAILURE=1
jobs=${DORVANE_JOBS:-$(nproc)}

step() { printf '\n==== %s\n' "$*"; }

step "manual pages"
scripts/check-man.sh

step "Windows build (i686, mingw-w64)"
scripts/build.sh win32
scripts/check-win32.sh build/win32

step "release build (the benchmarks and the optimizer's warnings)"
scripts/build.sh release

step "Debian package: lintian, installation into a throw-away root, the Pacemaker resource agent"
package=$(scripts/package.sh | tail -n 1)
lintian --fail-on error --tag-display-limit 0 "$package"
tests/packaging/package_test.sh "$package"
tests/packaging/ocf_agent_test.sh build/release/bin

step "native build and tests"
scripts/build.sh native
ctest --test-dir build/native -j "$jobs" --timeout 300

step "end-to-end: the program on POSIX and the Windows build under Wine"
scripts/e2e.sh

step "AddressSanitizer and UndefinedBehaviorSanitizer build and tests"
scripts/build.sh asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/asan -j "$jobs" --timeout 600

step "ThreadSanitizer build and concurrency tests"
scripts/build.sh tsan
# A race ends the process at once with exit code 66; the programs the tests start inherit this.
TSAN_OPTIONS=halt_on_error=1:exitcode=66:second_deadlock_stack=1 \
    ctest --test-dir build/tsan -j "$jobs" --timeout 600 -L tsan

step "libFuzzer harnesses (AddressSanitizer and UndefinedBehaviorSanitizer)"
scripts/fuzz.sh "${DORVANE_FUZZ_SECONDS:-45}"
