#include "key_path.h"

#include <strings.h>

namespace dvregtool {

namespace {

const size_t kMaxKeyNameLength = 255;

bool SameText(std::string_view a, const char* b)
{
    std::string copy(a);
    return strcasecmp(copy.c_str(), b) == 0;
}

}  // namespace

bool ParseKeyPath(std::string_view text, KeyPath* path, std::string* error)
{
    if (text.starts_with("\\\\")) {
        *error = "Keys of other machines cannot be reached from here.";
        return false;
    }
    size_t cut = text.find('\\');
    std::string_view root = text.substr(0, cut);
    std::string_view rest = cut == std::string_view::npos ? std::string_view() : text.substr(cut + 1);
    if (!SameText(root, "HKLM") && !SameText(root, "HKEY_LOCAL_MACHINE")) {
        static const char* const kOtherRoots[] = {"HKCU", "HKEY_CURRENT_USER", "HKCR", "HKEY_CLASSES_ROOT", "HKU",
                                                  "HKEY_USERS", "HKCC", "HKEY_CURRENT_CONFIG"};
        for (const char* other : kOtherRoots) {
            if (SameText(root, other)) {
                *error = "Only HKEY_LOCAL_MACHINE (HKLM) exists in this registry.";
                return false;
            }
        }
        *error = "Invalid key name: a key starts with HKLM\\ or HKEY_LOCAL_MACHINE\\.";
        return false;
    }
    if (rest.size() > 1 && rest.ends_with('\\')) rest.remove_suffix(1);
    for (std::string_view left = rest; !rest.empty();) {
        size_t next = left.find('\\');
        std::string_view part = left.substr(0, next);
        if (part.empty() || part.size() > kMaxKeyNameLength) {
            *error = "Invalid key name: each name between backslashes has 1 to 255 characters.";
            return false;
        }
        if (next == std::string_view::npos) break;
        left.remove_prefix(next + 1);
    }
    path->subKey = std::string(rest);
    return true;
}

}  // namespace dvregtool
