#!/usr/bin/env bash
# The install helper against a fake apt-get whose first update fails and whose
# resolver refuses every install that does not name the release's suite.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
fake=$(mktemp -d)
trap 'rm -rf "$fake"' EXIT

cat >"$fake/apt-get" <<'FAKE'
#!/usr/bin/env bash
log=$(dirname "$0")/calls
echo "$*" >>"$log"
case "$1" in
update) [ "$(grep -c '^update' "$log")" -gt 1 ] ;;
install)
    [[ " $* " == *" no-such-package "* ]] && exit 100
    [[ " $* " == *" -t "* ]] || exit 100 ;;
esac
FAKE
cat >"$fake/apt-cache" <<'FAKE'
#!/usr/bin/env bash
[ "$2" = no-such-package ] && { echo "N: Unable to locate package $2"; exit 0; }
printf '%s:\n  Installed: (none)\n  Candidate: 1.0\n' "$2"
FAKE
printf '#!/bin/sh\nexec "$@"\n' >"$fake/sudo"
chmod +x "$fake"/*
export PATH="$fake:$PATH" APT_RETRY_SECONDS=0
release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
fail() { echo "FAIL: $*" >&2; exit 1; }

# Required packages: one failed update, then the release's suite.
(. "$here/../../scripts/apt.sh"; apt_install wine wine32:i386) 2>"$fake/err" || fail "install: $(cat "$fake/err")"
[ "$(grep -c '^update' "$fake/calls")" -eq 2 ] || fail "update not retried"
if [ -n "$release" ]; then
    grep -q -- "-t $release wine wine32:i386" "$fake/calls" || fail "no install from $release"
fi

# One that no suite has: a one-line error naming it, and a failure.
: >"$fake/calls"
if (. "$here/../../scripts/apt.sh"; apt_install cmake no-such-package) 2>"$fake/err"; then fail "missing package accepted"; fi
[ "$(tail -n 1 "$fake/err")" = "Cannot install: no-such-package (no package of that name in the configured suites)" ] ||
    fail "error: $(cat "$fake/err")"

# Optional ones: what can be had is installed, the rest skipped.
: >"$fake/calls"
(. "$here/../../scripts/apt.sh"; apt_install_optional tshark no-such-package) 2>"$fake/err" || fail "optional failed"
grep -q "Skipping optional: no-such-package " "$fake/err" || fail "skip: $(cat "$fake/err")"
[ -z "$release" ] || grep -q -- "-t $release tshark$" "$fake/calls" || fail "tshark not installed"
echo "apt helper: ok"
