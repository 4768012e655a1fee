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

# Kelbrook.dll exports exactly the names the installation package looks up.
dll="$dir/bin/Kelbrook.dll"
if [ -e "$dll" ]; then
    expected="ZelInsBrowseForFolder ZelInsCopyFile ZelInsCreateShortcut ZelInsEditBootIni
        ZelInsFindBootDrive ZelInsFindSystemDrive ZelInsGetBootIniLocation ZelInsGetSignature
        ZelInsInstallDriver ZelInsIsDriverInstalled ZelInsIsModuleLoaded ZelInsReadArcName
        ZelInsReadLanguage ZelInsReadPhase ZelInsReadProductInfo ZelInsReadSystemInfo
        ZelInsReadVersion ZelInsSetAutorun ZelInsStartDriver ZelInsTestBit
        ZelInsTestSystemCreateDate ZelInsUninstallDriver ZelInsValidateQZDrive"
    actual=$(i686-w64-mingw32-objdump -p "$dll" \
        | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | sort)
    if ! diff <(printf '%s\n' $expected | sort) <(printf '%s\n' "$actual"); then
        echo "Kelbrook.dll exports differ from the expected names (< expected, > built)" >&2
        exit 1
    fi
    echo "ok: Kelbrook.dll exports $(printf '%s\n' "$actual" | wc -l) names"
fi
