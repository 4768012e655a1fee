#!/usr/bin/env bash
# Renders every manual page in man/ as man(1) would and fails on any warning
# of the formatter (a bad macro, a line that cannot be filled, ...).
# Usage: scripts/check-man.sh [page...]
set -euo pipefail
cd "$(dirname "$0")/.."

pages=("$@")
[ ${#pages[@]} -gt 0 ] || pages=(man/*.[1-9])
failed=0
for page in "${pages[@]}"; do
    warnings=$(MANWIDTH=80 man --warnings -l -Tutf8 "$page" 2>&1 >/dev/null) || {
        echo "$page: man failed" >&2
        failed=1
    }
    if [ -n "$warnings" ]; then
        printf '%s:\n%s\n' "$page" "$warnings" >&2
        failed=1
    fi
done
[ $failed -eq 0 ] && echo "${#pages[@]} manual pages render without warnings"
exit $failed
