// Key names as operators write them: HKLM\SYSTEM\... or HKEY_LOCAL_MACHINE\SYSTEM\...
#pragma once

#include <string>
#include <string_view>

namespace dvreg {

struct KeyPath {
    std::string subKey;  // below HKEY_LOCAL_MACHINE; empty for the root itself

    std::string Display() const { return subKey.empty() ? "HKEY_LOCAL_MACHINE" : "HKEY_LOCAL_MACHINE\\" + subKey; }
    KeyPath Child(std::string_view name) const
    {
        return KeyPath{subKey.empty() ? std::string(name) : subKey + "\\" + std::string(name)};
    }
};

// False with *error set (a whole sentence) when the text names no key of this registry.
bool ParseKeyPath(std::string_view text, KeyPath* path, std::string* error);

}  // namespace dvreg
