// Writing values of the service's Parameters key of any type, as an
// operator's registry tool does.
#pragma once

#include <string>
#include <vector>

#include "Qss/config/registry_store.h"
#include "platform/win32.h"

namespace dvtest {

inline bool SetParameter(const char* name, DWORD type, const void* data, DWORD size)
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, QSS_PARAMETERS_KEY, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL) !=
        ERROR_SUCCESS)
        return false;
    bool ok = RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

// A REG_MULTI_SZ: each entry with its terminator, then the empty string that ends the list.
inline bool SetMultiString(const char* name, const std::vector<std::string>& entries)
{
    std::string image;
    for (const std::string& entry : entries) image.append(entry).push_back('\0');
    image.push_back('\0');
    return SetParameter(name, REG_MULTI_SZ, image.data(), (DWORD)image.size());
}

}  // namespace dvtest
