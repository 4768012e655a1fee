// Values as text: the type names, the data of "dvreg add /d" turned into the
// bytes stored, and the stored bytes shown as "dvreg query" shows them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/win32.h"

namespace dvregtool {

struct Value {
    std::string name;  // empty for the key's default value
    DWORD type = REG_SZ;
    std::vector<BYTE> data;
};

// The types a value can be given with "dvreg add /t".
bool ParseTypeName(std::string_view text, DWORD* type);
// REG_SZ, REG_DWORD, ... for every type code, "0x..." for those without a name.
std::string TypeName(DWORD type);

// The data of the given type that the text describes, as "dvreg add /d" takes
// it: strings as they are (REG_MULTI_SZ strings parted by separator), numbers
// in decimal or 0x hex, REG_BINARY and REG_NONE as hex digits. False with
// *error set when the text is not such data.
bool ParseData(DWORD type, std::string_view text, std::string_view separator, std::vector<BYTE>* data,
               std::string* error);

// The value of a hex digit, -1 for any other character.
int HexDigit(char c);

std::string DisplayData(const Value& value);
std::string DisplayName(std::string_view name);

}  // namespace dvregtool
