#!/usr/bin/env bash
# Configures and builds one flavour of the tree into build/<flavour>.
# Usage: scripts/build.sh native|asan|tsan|release|win32|fuzz [target...]
set -euo pipefail
cd "$(dirname "$0")/.."

flavour=${1:?flavour}
shift
jobs=${DORVANE_JOBS:-$(nproc)}
args=(-DCMAKE_EXPORT_COMPILE_COMMANDS=ON)
case "$flavour" in
    native)  args+=(-DCMAKE_BUILD_TYPE=Debug) ;;
    release) args+=(-DCMAKE_BUILD_TYPE=Release -DDORVANE_TESTS=OFF) ;;
    asan)    args+=(-DCMAKE_BUILD_TYPE=Debug "-DDORVANE_SANITIZE=address;undefined") ;;
    tsan)    args+=(-DCMAKE_BUILD_TYPE=Debug -DDORVANE_SANITIZE=thread) ;;
    win32)   args+=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake) ;;
    # The libFuzzer harnesses: clang, every library instrumented for coverage,
    # AddressSanitizer and UndefinedBehaviorSanitizer; no tests, no benchmarks.
    fuzz)    args+=(-DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g" "-DCMAKE_C_FLAGS_DEBUG=-O1 -g"
                    -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14
                    "-DDORVANE_SANITIZE=fuzzer-no-link;address;undefined" -DDORVANE_FUZZ=ON
                    -DDORVANE_TESTS=OFF -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON) ;;
    *) echo "unknown flavour: $flavour" >&2; exit 2 ;;
esac

cmake -S . -B "build/$flavour" "${args[@]}" >/dev/null
if [ $# -gt 0 ]; then
    cmake --build "build/$flavour" -j "$jobs" --target "$@"
else
    cmake --build "build/$flavour" -j "$jobs"
fi
