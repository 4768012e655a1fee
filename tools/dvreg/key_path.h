// Key names as operators write them: HKLM\SYSTEM\... or HKEY_LOCAL_MACHINE\SYSTEM\...
#pragma once

#include <string>
#include <string_view>

namespace dvregtool {

struct KeyPath {
    std::string subKey;  // below HKEY_LOCAL_MACHINE; empty for the root itself

    std::string Display() const { return subKey.empty() ? "HKEY_LOCAL_MACHINE" : "HKEY_LOCAL_MACHINE\\" + subKey; }
    KeyPath Child(std::string_view name) const
    {
        return KeyPath{subKey.empty() ? std::string(name) : subKey + "\\" + std::string(name)};
    }
    // The key above (the root for a key right below it) and the key's own name.
    KeyPath Parent() const
    {
        size_t cut = subKey.rfind('\\');
        return KeyPath{cut == std::string::npos ? "" : subKey.substr(0, cut)};
    }
    std::string Leaf() const
    {
        size_t cut = subKey.rfind('\\');
        return cut == std::string::npos ? subKey : subKey.substr(cut + 1);
    }
};

// False with *error set (a whole sentence) when the text names no key of this registry.
bool ParseKeyPath(std::string_view text, KeyPath* path, std::string* error);

}  // namespace dvregtool
