// RegEnumValueA over the key folders: the values in the order of the key's
// value file, which keeps each value where it was first set.
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/registry_key_folder.h"
#include "platform/win32.h"

// The handle as registry.cpp defines it.
struct HKEY__ {
    int fd;
    REGSAM access;
    std::string path;
};

namespace {

LSTATUS ReadKeyValues(HKEY hKey, std::vector<dvreg::Value>* values)
{
    // Asks the registry to check the handle, its access and that its key still lives.
    LSTATUS status = RegQueryValueExA(hKey, "", nullptr, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return status;
    dvreg::FolderLock lock(hKey->fd, true);
    if (lock.error) return static_cast<LSTATUS>(DvWin32ErrorFromErrno(lock.error));
    int err = dvreg::ReadValues(hKey->fd, values);
    if (err == EBADMSG) return ERROR_REGISTRY_CORRUPT;
    return err ? static_cast<LSTATUS>(DvWin32ErrorFromErrno(err)) : ERROR_SUCCESS;
}

}  // namespace

LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                      LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
    std::vector<dvreg::Value> values;
    LSTATUS status;
    if (hKey == HKEY_LOCAL_MACHINE) {
        HKEY root;
        status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "", 0, KEY_QUERY_VALUE, &root);
        if (status != ERROR_SUCCESS) return status;
        status = ReadKeyValues(root, &values);
        RegCloseKey(root);
    } else {
        status = ReadKeyValues(hKey, &values);
    }
    if (status != ERROR_SUCCESS) return status;
    if (dwIndex >= values.size()) return ERROR_NO_MORE_ITEMS;
    const dvreg::Value& value = values[dwIndex];
    if (value.name.size() + 1 > *lpcchValueName) return ERROR_MORE_DATA;
    std::memcpy(lpValueName, value.name.c_str(), value.name.size() + 1);
    *lpcchValueName = static_cast<DWORD>(value.name.size());
    if (lpType) *lpType = value.type;
    DWORD size = static_cast<DWORD>(value.data.size());
    if (lpData && *lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    if (lpData && size) std::memcpy(lpData, value.data.data(), size);
    if (lpcbData) *lpcbData = size;
    return ERROR_SUCCESS;
}
