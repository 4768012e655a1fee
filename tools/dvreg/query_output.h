// "dvreg query" output, as reg.exe prints it: a blank line, the key's full
// name, one indented line per value (name, type, data), and the full names of
// the subkeys after another blank line.
#pragma once

#include <string>
#include <vector>

#include "key_path.h"
#include "value_text.h"

namespace dvregtool {

void PrintKey(const KeyPath& path, const std::vector<Value>& values);
// A value that is not set, as "(Default)" shows when the key has no default value.
void PrintUnsetDefault(const KeyPath& path);
void PrintSubkeys(const KeyPath& path, const std::vector<std::string>& names);

}  // namespace dvregtool
