// The service manager's database and administration calls. Definitions live in
// the registry; run-time status comes from service_state.
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "platform/posix/service_handles.h"
#include "platform/posix/service_state.h"
#include "platform/win32.h"

namespace {

struct ScObject {
    bool isManager;
    DWORD access;
    std::string name;
    bool deletedHere;
};

std::mutex gHandlesMutex;
std::unordered_set<ScObject*> gHandles;

ScObject* Lookup(SC_HANDLE handle)
{
    std::lock_guard<std::mutex> lock(gHandlesMutex);
    auto found = gHandles.find(reinterpret_cast<ScObject*>(handle));
    return found == gHandles.end() ? nullptr : *found;
}

SC_HANDLE NewHandle(bool isManager, DWORD access, const std::string& name)
{
    ScObject* object = new ScObject{isManager, access, name, false};
    std::lock_guard<std::mutex> lock(gHandlesMutex);
    gHandles.insert(object);
    return reinterpret_cast<SC_HANDLE>(object);
}

DWORD CheckManager(SC_HANDLE handle, DWORD access)
{
    ScObject* object = Lookup(handle);
    if (!object || !object->isManager) return ERROR_INVALID_HANDLE;
    return (object->access & access) == access ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

bool ValidServiceType(DWORD type)
{
    DWORD process = type & ~SERVICE_INTERACTIVE_PROCESS;
    return process == SERVICE_WIN32_OWN_PROCESS || process == SERVICE_WIN32_SHARE_PROCESS;
}

bool ValidStartType(DWORD start) { return start >= SERVICE_AUTO_START && start <= SERVICE_DISABLED; }

bool ValidErrorControl(DWORD control) { return control <= SERVICE_ERROR_CRITICAL; }

size_t MultiStringSize(const char* list)
{
    const char* end = list;
    while (*end) end += std::strlen(end) + 1;
    return static_cast<size_t>(end - list) + 1;
}

LSTATUS SetDword(HKEY key, const char* name, DWORD value)
{
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

LSTATUS SetString(HKEY key, const char* name, DWORD type, const char* value)
{
    return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(value),
                          static_cast<DWORD>(std::strlen(value) + 1));
}

// An empty list removes the value, as Windows does.
LSTATUS SetDependencies(HKEY key, const char* dependencies)
{
    if (!*dependencies) {
        LSTATUS result = RegDeleteValueA(key, "DependOnService");
        return result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : result;
    }
    return RegSetValueExA(key, "DependOnService", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(dependencies),
                          static_cast<DWORD>(MultiStringSize(dependencies)));
}

struct ConfigChange {
    DWORD serviceType;
    DWORD startType;
    DWORD errorControl;
    const char* imagePath;
    const char* dependencies;
    const char* objectName;
    const char* displayName;
};

DWORD ValidateChange(const ConfigChange& change)
{
    if (change.serviceType != SERVICE_NO_CHANGE && !ValidServiceType(change.serviceType)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (change.startType != SERVICE_NO_CHANGE && !ValidStartType(change.startType)) return ERROR_INVALID_PARAMETER;
    if (change.errorControl != SERVICE_NO_CHANGE && !ValidErrorControl(change.errorControl)) {
        return ERROR_INVALID_PARAMETER;
    }
    return ERROR_SUCCESS;
}

LSTATUS ApplyChange(HKEY key, const ConfigChange& change)
{
    LSTATUS result = ERROR_SUCCESS;
    if (change.serviceType != SERVICE_NO_CHANGE) result = SetDword(key, "Type", change.serviceType);
    if (result == ERROR_SUCCESS && change.startType != SERVICE_NO_CHANGE) {
        result = SetDword(key, "Start", change.startType);
    }
    if (result == ERROR_SUCCESS && change.errorControl != SERVICE_NO_CHANGE) {
        result = SetDword(key, "ErrorControl", change.errorControl);
    }
    if (result == ERROR_SUCCESS && change.imagePath) {
        result = SetString(key, "ImagePath", REG_EXPAND_SZ, change.imagePath);
    }
    if (result == ERROR_SUCCESS && change.displayName) {
        result = SetString(key, "DisplayName", REG_SZ, change.displayName);
    }
    if (result == ERROR_SUCCESS && change.dependencies) result = SetDependencies(key, change.dependencies);
    if (result == ERROR_SUCCESS && change.objectName) {
        result = SetString(key, "ObjectName", REG_SZ, change.objectName);
    }
    return result;
}

bool DeletedThrough(SC_HANDLE handle)
{
    std::lock_guard<std::mutex> lock(gHandlesMutex);
    auto found = gHandles.find(reinterpret_cast<ScObject*>(handle));
    return found != gHandles.end() && (*found)->deletedHere;
}

void MarkDeletedThrough(SC_HANDLE handle)
{
    std::lock_guard<std::mutex> lock(gHandlesMutex);
    auto found = gHandles.find(reinterpret_cast<ScObject*>(handle));
    if (found != gHandles.end()) (*found)->deletedHere = true;
}

}  // namespace

namespace dvservice {

DWORD CheckServiceHandle(SC_HANDLE handle, DWORD access, std::string* name)
{
    ScObject* object = Lookup(handle);
    if (!object || object->isManager) return ERROR_INVALID_HANDLE;
    if ((object->access & access) != access) return ERROR_ACCESS_DENIED;
    *name = object->name;
    return ERROR_SUCCESS;
}

DWORD CheckLiveService(SC_HANDLE handle, DWORD access, std::string* name)
{
    DWORD error = CheckServiceHandle(handle, access, name);
    if (error != ERROR_SUCCESS) return error;
    if (DeletedThrough(handle) || MarkedForDeletion(*name)) return ERROR_SERVICE_MARKED_FOR_DELETE;
    return ServiceExists(*name) ? ERROR_SUCCESS : ERROR_SERVICE_DOES_NOT_EXIST;
}

}  // namespace dvservice

SC_HANDLE OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess)
{
    if (lpMachineName && *lpMachineName) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    if (lpDatabaseName && *lpDatabaseName && std::strcmp(lpDatabaseName, "ServicesActive") != 0) {
        SetLastError(ERROR_DATABASE_DOES_NOT_EXIST);
        return nullptr;
    }
    // The database must be reachable with the rights asked for, as the registry grants them.
    REGSAM keyAccess = (dwDesiredAccess & SC_MANAGER_CREATE_SERVICE) ? KEY_ALL_ACCESS : KEY_READ;
    HKEY services;
    LSTATUS result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, dvservice::kServicesKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     keyAccess, nullptr, &services, nullptr);
    if (result != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(result));
        return nullptr;
    }
    RegCloseKey(services);
    return NewHandle(true, dwDesiredAccess, "");
}

SC_HANDLE CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName, DWORD dwDesiredAccess,
                         DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl, LPCSTR lpBinaryPathName,
                         LPCSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCSTR lpDependencies,
                         LPCSTR lpServiceStartName, LPCSTR /*lpPassword*/)
{
    DWORD error = CheckManager(hSCManager, SC_MANAGER_CREATE_SERVICE);
    ConfigChange change = {dwServiceType, dwStartType, dwErrorControl, lpBinaryPathName, lpDependencies,
                           lpServiceStartName ? lpServiceStartName : "LocalSystem",
                           lpDisplayName ? lpDisplayName : lpServiceName};
    if (error == ERROR_SUCCESS && !dvservice::ValidServiceName(lpServiceName)) error = ERROR_INVALID_NAME;
    if (error == ERROR_SUCCESS && (!lpBinaryPathName || !*lpBinaryPathName || lpdwTagId ||
                                   (lpLoadOrderGroup && *lpLoadOrderGroup) || dwServiceType == SERVICE_NO_CHANGE ||
                                   dwStartType == SERVICE_NO_CHANGE || dwErrorControl == SERVICE_NO_CHANGE)) {
        error = ERROR_INVALID_PARAMETER;
    }
    if (error == ERROR_SUCCESS) error = ValidateChange(change);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return nullptr;
    }
    std::string name = lpServiceName;
    dvservice::CompleteDeletionIfStopped(name);
    if (dvservice::ServiceExists(name)) {
        SetLastError(dvservice::MarkedForDeletion(name) ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS);
        return nullptr;
    }
    HKEY key;
    std::string path = std::string(dvservice::kServicesKey) + "\\" + name;
    LSTATUS result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (result == ERROR_SUCCESS) {
        // Type last: a key without it is not yet a service.
        DWORD type = change.serviceType;
        change.serviceType = SERVICE_NO_CHANGE;
        result = ApplyChange(key, change);
        if (result == ERROR_SUCCESS) result = SetDword(key, "Type", type);
        RegCloseKey(key);
    }
    if (result != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(result));
        return nullptr;
    }
    dvservice::RemoveStatus(name);
    return NewHandle(false, dwDesiredAccess, name);
}

SC_HANDLE OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess)
{
    DWORD error = CheckManager(hSCManager, SC_MANAGER_CONNECT);
    if (error == ERROR_SUCCESS && !dvservice::ValidServiceName(lpServiceName)) error = ERROR_INVALID_NAME;
    if (error == ERROR_SUCCESS) {
        dvservice::CompleteDeletionIfStopped(lpServiceName);
        if (!dvservice::ServiceExists(lpServiceName)) error = ERROR_SERVICE_DOES_NOT_EXIST;
    }
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return nullptr;
    }
    return NewHandle(false, dwDesiredAccess, lpServiceName);
}

BOOL ChangeServiceConfigA(SC_HANDLE hService, DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl,
                          LPCSTR lpBinaryPathName, LPCSTR lpLoadOrderGroup, LPDWORD lpdwTagId,
                          LPCSTR lpDependencies, LPCSTR lpServiceStartName, LPCSTR /*lpPassword*/,
                          LPCSTR lpDisplayName)
{
    std::string name;
    DWORD error = dvservice::CheckLiveService(hService, SERVICE_CHANGE_CONFIG, &name);
    ConfigChange change = {dwServiceType, dwStartType,       dwErrorControl, lpBinaryPathName,
                           lpDependencies, lpServiceStartName, lpDisplayName};
    if (error == ERROR_SUCCESS && (lpdwTagId || (lpLoadOrderGroup && *lpLoadOrderGroup) ||
                                   (lpBinaryPathName && !*lpBinaryPathName))) {
        error = ERROR_INVALID_PARAMETER;
    }
    if (error == ERROR_SUCCESS) error = ValidateChange(change);
    if (error != ERROR_SUCCESS) return Fail(error);
    HKEY key;
    LSTATUS result = dvservice::OpenServiceKey(name, KEY_ALL_ACCESS, &key);
    if (result == ERROR_SUCCESS) {
        result = ApplyChange(key, change);
        RegCloseKey(key);
    }
    return result == ERROR_SUCCESS ? TRUE : Fail(static_cast<DWORD>(result));
}

BOOL ChangeServiceConfig2A(SC_HANDLE hService, DWORD dwInfoLevel, LPVOID lpInfo)
{
    std::string name;
    DWORD error = dvservice::CheckLiveService(hService, SERVICE_CHANGE_CONFIG, &name);
    if (error == ERROR_SUCCESS && dwInfoLevel != SERVICE_CONFIG_DESCRIPTION) error = ERROR_INVALID_LEVEL;
    if (error == ERROR_SUCCESS && !lpInfo) error = ERROR_INVALID_PARAMETER;
    if (error != ERROR_SUCCESS) return Fail(error);
    const char* description = static_cast<const SERVICE_DESCRIPTIONA*>(lpInfo)->lpDescription;
    if (!description) return TRUE;
    HKEY key;
    LSTATUS result = dvservice::OpenServiceKey(name, KEY_ALL_ACCESS, &key);
    if (result == ERROR_SUCCESS) {
        if (*description) {
            result = SetString(key, "Description", REG_SZ, description);
        } else {
            result = RegDeleteValueA(key, "Description");
            if (result == ERROR_FILE_NOT_FOUND) result = ERROR_SUCCESS;
        }
        RegCloseKey(key);
    }
    return result == ERROR_SUCCESS ? TRUE : Fail(static_cast<DWORD>(result));
}

BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus)
{
    std::string name;
    DWORD error = dvservice::CheckServiceHandle(hService, SERVICE_QUERY_STATUS, &name);
    if (error == ERROR_SUCCESS && !lpServiceStatus) error = ERROR_INVALID_PARAMETER;
    if (error != ERROR_SUCCESS) return Fail(error);
    *lpServiceStatus = dvservice::CurrentStatus(name).status;
    return TRUE;
}

BOOL QueryServiceStatusEx(SC_HANDLE hService, SC_STATUS_TYPE InfoLevel, LPBYTE lpBuffer, DWORD cbBufSize,
                          LPDWORD pcbBytesNeeded)
{
    std::string name;
    DWORD error = dvservice::CheckServiceHandle(hService, SERVICE_QUERY_STATUS, &name);
    if (error == ERROR_SUCCESS && InfoLevel != SC_STATUS_PROCESS_INFO) error = ERROR_INVALID_LEVEL;
    if (error == ERROR_SUCCESS && !pcbBytesNeeded) error = ERROR_INVALID_PARAMETER;
    if (error != ERROR_SUCCESS) return Fail(error);
    *pcbBytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
    if (!lpBuffer || cbBufSize < sizeof(SERVICE_STATUS_PROCESS)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    dvservice::PublishedStatus published = dvservice::CurrentStatus(name);
    SERVICE_STATUS_PROCESS process = {};
    std::memcpy(&process, &published.status, sizeof published.status);
    process.dwProcessId = process.dwCurrentState == SERVICE_STOPPED ? 0 : published.processId;
    std::memcpy(lpBuffer, &process, sizeof process);
    return TRUE;
}

BOOL DeleteService(SC_HANDLE hService)
{
    std::string name;
    DWORD error = dvservice::CheckLiveService(hService, DELETE, &name);
    if (error != ERROR_SUCCESS) return Fail(error);
    if (dvservice::IsActive(name)) {
        HKEY key;
        LSTATUS result = dvservice::OpenServiceKey(name, KEY_ALL_ACCESS, &key);
        if (result == ERROR_SUCCESS) {
            result = SetDword(key, "DeleteFlag", 1);
            RegCloseKey(key);
        }
        if (result != ERROR_SUCCESS) return Fail(static_cast<DWORD>(result));
        // The service may have stopped meanwhile, with nobody left to finish.
        dvservice::CompleteDeletionIfStopped(name);
    } else {
        error = dvservice::DeleteServiceNow(name);
        if (error != ERROR_SUCCESS) return Fail(error);
    }
    MarkDeletedThrough(hService);
    return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE hSCObject)
{
    ScObject* object = reinterpret_cast<ScObject*>(hSCObject);
    {
        std::lock_guard<std::mutex> lock(gHandlesMutex);
        if (!gHandles.erase(object)) return Fail(ERROR_INVALID_HANDLE);
    }
    delete object;
    return TRUE;
}
