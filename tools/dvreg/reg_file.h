// The .reg file of "dvreg export" and "dvreg import": the format of reg.exe
// and regedit, so a file written here imports with "reg import" on Windows.
//
// Written as reg export writes it: UTF-16LE with a byte order mark, CRLF line
// ends, "Windows Registry Editor Version 5.00", a [key] line per key with its
// values below, strings quoted with \\ and \" escaped, dword:, hex:, and
// hex(N): for every other type (string types there in UTF-16LE), long hex
// lines continued with a backslash. A string that the quoted form cannot carry
// exactly (no terminator, one inside, a line break) is written in hex(1)
// form, so every value comes back byte for byte.
//
// Read: UTF-16LE with its mark, UTF-8 or ASCII; version 5 or REGEDIT4 files
// (whose hex string data are bytes, not UTF-16); ";" comments; [-key] and
// "name"=- removals.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "key_path.h"
#include "value_text.h"

namespace dvregtool {

struct KeyValues {
    KeyPath path;
    std::vector<Value> values;
};

// False with *error set when a name cannot be written to a .reg file (it holds a line break).
bool FormatRegFile(const std::vector<KeyValues>& keys, std::string* file, std::string* error);

struct RegChange {
    enum Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue } kind;
    KeyPath key;
    Value value;  // the value set, or only its name for a removal
};

// Every change the file asks for, in its order; false with *error set ("line N: ...")
// when any part of it is not well formed.
bool ParseRegFile(std::string_view file, std::vector<RegChange>* changes, std::string* error);

}  // namespace dvregtool
