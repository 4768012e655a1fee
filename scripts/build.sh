#!/usr/bin/env bash
# Configures and builds one flavour of the tree into build/<flavour>.
# Usage: scripts/build.sh native|asan|tsan|release|win32 [target...]
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
    *) echo "unknown flavour: $flavour" >&2; exit 2 ;;
esac

cmake -S . -B "build/$flavour" "${args[@]}" >/dev/null
if [ $# -gt 0 ]; then
    cmake --build "build/$flavour" -j "$jobs" --target "$@"
else
    cmake --build "build/$flavour" -j "$jobs"
fi
