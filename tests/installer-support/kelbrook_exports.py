"""Calls every export of Kelbrook by name, as a host outside C++ does.

Usage: kelbrook_exports.py LIBRARY. Exits 0 when every answer is right and
prints what went wrong otherwise.
"""
import ctypes
import os
import sys

library_path = os.path.realpath(sys.argv[1])
library = ctypes.CDLL(library_path)
failures = []
checked = set()


def export(name, result_type):
    function = getattr(library, name)
    function.restype = result_type
    checked.add(name)
    return function


def expect(what, actual, expected):
    if actual != expected:
        failures.append(f"{what}: got {actual!r}, expected {expected!r}")


# Argument lists a host might pass; the caller cleans up, so extra arguments
# do no harm to an export that reads fewer.
ARGUMENTS = [
    (),
    (0,),
    (ctypes.c_char_p(b"C:\\"), 1, None),
    (-1, ctypes.c_double(2.5), b"text", 0xFFFFFFFF, None, 7, 8, 9),
]

for name in ["ZelInsCopyFile", "ZelInsInstallDriver", "ZelInsIsDriverInstalled",
             "ZelInsSetAutorun", "ZelInsUninstallDriver"]:
    for args in ARGUMENTS:
        expect(f"{name}{args}", export(name, ctypes.c_int)(*args), 0)

for name in ["ZelInsFindSystemDrive", "ZelInsGetBootIniLocation", "ZelInsGetSignature",
             "ZelInsReadLanguage", "ZelInsReadPhase", "ZelInsReadProductInfo",
             "ZelInsReadSystemInfo", "ZelInsReadVersion"]:
    for args in ARGUMENTS:
        expect(f"{name}{args}", export(name, None)(*args), None)

for name in ["ZelInsCreateShortcut", "ZelInsEditBootIni", "ZelInsFindBootDrive",
             "ZelInsReadArcName", "ZelInsStartDriver", "ZelInsTestSystemCreateDate",
             "ZelInsValidateQZDrive"]:
    for args in ARGUMENTS:
        expect(f"{name}{args}", export(name, ctypes.c_bool)(*args), False)

browse = export("ZelInsBrowseForFolder", ctypes.c_int)
for first in [None, 0, b"", b"ignored"]:
    expect(f"ZelInsBrowseForFolder({first!r}, '')", browse(first, b""), 0)
    expect(f"ZelInsBrowseForFolder({first!r}, 'D:')", browse(first, b"D:"), 1)
expect("ZelInsBrowseForFolder with extra arguments", browse(None, b"x", 5, 6), 1)

test_bit = export("ZelInsTestBit", ctypes.c_bool)
test_bit.argtypes = [ctypes.c_uint32, ctypes.c_uint32]
for a, b, expected in [(6, 4, True), (6, 1, False), (0, 0, False),
                       (0x80000000, 0x80000001, True), (0xFFFFFFFF, 0, False)]:
    expect(f"ZelInsTestBit({a:#x}, {b:#x})", test_bit(a, b), expected)
test_bit.argtypes = None
expect("ZelInsTestBit with extra arguments", test_bit(3, 2, 99, None), True)

loaded = export("ZelInsIsModuleLoaded", ctypes.c_bool)
expect("the library's own path", loaded(library_path.encode()), True)
expect("its own path in upper case", loaded(library_path.upper().encode()), True)
expect("its own path with extra arguments", loaded(library_path.lower().encode(), 1, 2), True)
expect("its base name", loaded(os.path.basename(library_path).encode()), False)
expect("an empty path", loaded(b""), False)
expect("a prefix of its path", loaded(library_path[:-3].encode()), False)
expect("its path and more", loaded((library_path + ".1").encode()), False)

for failure in failures:
    print(failure)
print(f"{len(checked)} exports checked, {len(failures)} wrong")
sys.exit(1 if failures else 0)
