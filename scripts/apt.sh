# Installing Debian packages robustly; sourced by the scripts that install.
#
# A mirror that is being synced can fail one index of `apt-get update`, and the
# resolver can then refuse a multi-arch set (amd64 libraries offered newer
# versions from the security suite than the i386 side sees). So: update with
# retries and go on when some index fails; install, and when the resolver
# refuses, install again from the release's own suite. A package that cannot
# be had at all is named in one line.
#
#   apt_install package...           exits the script with 1 when any cannot be installed
#   apt_install_optional package...  installs what it can, says which are skipped

apt_sudo=""
[ "$(id -u)" -eq 0 ] || apt_sudo=sudo
apt_updated=""

apt_get() { DEBIAN_FRONTEND=noninteractive $apt_sudo apt-get "$@"; }

# Updates the package lists once per run, a few times over if it fails; a
# list that still fails is not fatal: the packages may resolve all the same.
apt_update()
{
    [ -n "$apt_updated" ] && return 0
    apt_updated=1
    local attempt
    for attempt in 1 2 3; do
        apt_get update -qq && return 0
        [ "$attempt" -lt 3 ] && sleep "${APT_RETRY_SECONDS:-5}"
    done
    echo "apt-get update failed 3 times; going on with the package lists there are" >&2
}

# The release's codename (bookworm), from /etc/os-release.
apt_release()
{
    (. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
}

# Installs the packages, from the release's own suite when the resolver refuses.
apt_try_install()
{
    apt_get install -y -qq --no-install-recommends "$@" >/dev/null && return 0
    local release
    release=$(apt_release)
    [ -n "$release" ] || return 1
    echo "Retrying from the $release suite: $*" >&2
    apt_get install -y -qq --no-install-recommends -t "$release" "$@" >/dev/null
}

# The packages that no suite offers a version of.
apt_unavailable()
{
    local p
    for p in "$@"; do
        apt-cache policy "$p" 2>/dev/null | grep -q 'Candidate: [^(]' || echo "$p"
    done
}

apt_install()
{
    [ $# -gt 0 ] || return 0
    apt_update
    apt_try_install "$@" && return 0
    local missing
    missing=$(apt_unavailable "$@" | tr '\n' ' ')
    if [ -n "$missing" ]; then
        echo "Cannot install: ${missing% } (no package of that name in the configured suites)" >&2
    else
        echo "Cannot install: $* (apt-get refused them; see apt-get install $*)" >&2
    fi
    exit 1
}

apt_install_optional()
{
    [ $# -gt 0 ] || return 0
    apt_update
    apt_try_install "$@" && return 0
    local p skipped=()
    # One at a time, so that one missing package does not skip the others.
    for p in "$@"; do apt_try_install "$p" 2>/dev/null || skipped+=("$p"); done
    [ ${#skipped[@]} -eq 0 ] || echo "Skipping optional: ${skipped[*]} (cannot be installed; their tests are skipped)" >&2
}
