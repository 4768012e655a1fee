// The text form of one registry key's values, in the style of a registry export:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\SYSTEM\...\Parameters]
//   "QSServerPortForReceive"=dword:000011cd
//   "QSServerID"="5f0c..."
//   "Blob"=hex:01,02,ff
//   "Path"=hex(2):25,53,...
//
// Quotes, backslashes and every byte outside printable ASCII are escaped inside
// quoted text ("\\", "\"", "\xHH"), so any name and any data round-trip exactly.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "win32_types.h"

namespace dvreg {

struct Value {
    std::string name;
    DWORD type;
    std::vector<BYTE> data;
};

// Registry names compare without regard to ASCII case.
bool SameName(std::string_view a, std::string_view b);
bool NameLess(std::string_view a, std::string_view b);

std::string FormatValueFile(std::string_view keyPath, const std::vector<Value>& values);

// False when the text is not a well-formed value file (the key is then corrupt,
// never taken as empty).
bool ParseValueFile(std::string_view text, std::vector<Value>* values);

}  // namespace dvreg
