#!/usr/bin/env bash
# The package command: builds the release flavour and makes the Debian package
# build/package/dorvane_<version>_<arch>.deb from it with dpkg-deb.
#
# Installed layout: the program and its message file in /usr/lib/dorvane, the
# tools in /usr/bin and /usr/sbin, the systemd unit and the resume hook under
# /lib/systemd, the Pacemaker resource agent as ocf:dorvane:dorvane, the
# manual pages, the copyright and the changelog. The maintainer scripts are
# packaging/debian/{postinst,prerm,postrm}.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh >&2

# Each tool that is built and packaged, with the folder it goes to and its manual page.
tools=("qsctl usr/bin man/qsctl.1"
       "dvreg usr/sbin man/dvreg.8")

build=build/release
out=build/package
root=$out/root
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DDORVANE_TESTS=OFF >/dev/null
targets=(dorvane dorvane_messages)
known=$(cmake --build "$build" --target help)
for entry in "${tools[@]}"; do
    read -r name _ _ <<<"$entry"
    grep -q "^\.\.\. $name\$" <<<"$known" && targets+=("$name")
done
cmake --build "$build" -j "${DORVANE_JOBS:-$(nproc)}" --target "${targets[@]}"

version=$(sed -n 's/^project(Dorvane VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
rm -rf "$root"
mkdir -p "$root/DEBIAN"

# Files installed with their mode; executables and shared objects are stripped.
put() {
    install -D -m "$1" "$2" "$root/$3"
}
put_binary() {
    put "$1" "$2" "$3"
    strip --strip-unneeded --remove-section=.comment --remove-section=.note "$root/$3"
}
put_man() {
    local page=$1 section=${1##*.}
    mkdir -p "$root/usr/share/man/man$section"
    gzip -9n <"$page" >"$root/usr/share/man/man$section/$(basename "$page").gz"
}

put_binary 0755 "$build/bin/dorvane" usr/lib/dorvane/dorvane
put_binary 0644 "$build/bin/dorvane.dll" usr/lib/dorvane/dorvane.dll
put_man man/dorvane.8
for entry in "${tools[@]}"; do
    read -r name folder page <<<"$entry"
    [ -x "$build/bin/$name" ] || continue
    put_binary 0755 "$build/bin/$name" "$folder/$name"
    put_man "$page"
done
put 0644 packaging/dorvane.service lib/systemd/system/dorvane.service
put 0755 packaging/dorvane-resume lib/systemd/system-sleep/dorvane-resume
put 0755 packaging/ocf/dorvane usr/lib/ocf/resource.d/dorvane/dorvane
put 0644 packaging/debian/copyright usr/share/doc/dorvane/copyright
put 0644 packaging/debian/lintian-overrides usr/share/lintian/overrides/dorvane
sed "s/@VERSION@/$version/" packaging/debian/changelog | gzip -9n >"$root/usr/share/doc/dorvane/changelog.gz"
chmod 0644 "$root/usr/share/doc/dorvane/changelog.gz"
for script in postinst prerm postrm; do
    install -m 0755 "packaging/debian/$script" "$root/DEBIAN/$script"
done

# The shared libraries' packages, as dpkg-shlibdeps finds them; it reads a control file of its own.
shlibs=$out/shlibs
rm -rf "$shlibs"
mkdir -p "$shlibs/debian"
printf 'Source: dorvane\n\nPackage: dorvane\nArchitecture: any\n' >"$shlibs/debian/control"
elves=()
while IFS= read -r file; do elves+=("$PWD/$file"); done < <(find "$root/usr" -type f -exec sh -c 'head -c4 "$1" | grep -q ELF' _ {} \; -print)
depends=$(cd "$shlibs" && dpkg-shlibdeps -O "${elves[@]}" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')

size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@SIZE@/$size/" -e "s/@DEPENDS@/$depends/" \
    packaging/debian/control.in >"$root/DEBIAN/control"
(cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z | xargs -0 md5sum) >"$root/DEBIAN/md5sums"
chmod 0644 "$root/DEBIAN/md5sums"

deb=$out/dorvane_${version}_${arch}.deb
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
echo "$deb"
