#!/usr/bin/env bash
# Checks that every Windows deliverable that exists is a 32-bit PE file.
set -euo pipefail
dir=${1:?build dir}
found=0
for f in "$dir"/bin/*.exe "$dir"/bin/*.dll; do
    [ -e "$f" ] || continue
    found=1
    desc=$(file -b "$f")
    case "$desc" in
        PE32\ *Intel\ 80386*) echo "ok: $(basename "$f"): $desc" ;;
        *) echo "not a 32-bit PE file: $f: $desc" >&2; exit 1 ;;
    esac
done
[ $found -eq 1 ] || echo "no Windows deliverable built yet"
