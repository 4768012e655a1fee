#include "memory_registry.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>

// The registry's own functions, which the redirections below replace (C++
// names, so the mangled ones); only a handle of the registry itself, which no
// call made here returns, would reach them.
#define DV_REG_OPEN _Z13RegOpenKeyExAP6HKEY__PKcjjPS0_
#define DV_REG_CREATE _Z15RegCreateKeyExAP6HKEY__PKcjPcjjP20_SECURITY_ATTRIBUTESPS0_Pj
#define DV_REG_QUERY _Z16RegQueryValueExAP6HKEY__PKcPjS3_PhS3_
#define DV_REG_SET _Z14RegSetValueExAP6HKEY__PKcjjPKhj
#define DV_REG_ENUM _Z13RegEnumKeyExAP6HKEY__jPcPjS2_S1_S2_P9_FILETIME
#define DV_REG_DELETE_KEY _Z13RegDeleteKeyAP6HKEY__PKc
#define DV_REG_DELETE_VALUE _Z15RegDeleteValueAP6HKEY__PKc
#define DV_REG_CLOSE _Z11RegCloseKeyP6HKEY__
#define DV_REG_FLUSH _Z11RegFlushKeyP6HKEY__
#define DV_REG_CREATE_TRANSACTED _Z23RegCreateKeyTransactedAP6HKEY__PKcjPcjjP20_SECURITY_ATTRIBUTESPS0_PjPvS8_
#define DV_CONCAT(a, b) a##b
#define DV_REAL(name) DV_CONCAT(__real_, name)
#define DV_WRAP(name) DV_CONCAT(__wrap_, name)

extern "C" {
LSTATUS DV_REAL(DV_REG_OPEN)(HKEY, LPCSTR, DWORD, REGSAM, PHKEY);
LSTATUS DV_REAL(DV_REG_CREATE)(HKEY, LPCSTR, DWORD, LPSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY, LPDWORD);
LSTATUS DV_REAL(DV_REG_QUERY)(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
LSTATUS DV_REAL(DV_REG_SET)(HKEY, LPCSTR, DWORD, DWORD, const BYTE*, DWORD);
LSTATUS DV_REAL(DV_REG_ENUM)(HKEY, DWORD, LPSTR, LPDWORD, LPDWORD, LPSTR, LPDWORD, PFILETIME);
LSTATUS DV_REAL(DV_REG_DELETE_KEY)(HKEY, LPCSTR);
LSTATUS DV_REAL(DV_REG_DELETE_VALUE)(HKEY, LPCSTR);
LSTATUS DV_REAL(DV_REG_CLOSE)(HKEY);
LSTATUS DV_REAL(DV_REG_FLUSH)(HKEY);
}

namespace dvfuzz {
namespace {

// An open key: its lower-case path. Open keys live in a fixed table and
// keep their buffers, so that the opens, queries and closes of an input
// allocate nothing.
struct OpenKey {
    bool used;
    std::string path;
};

std::recursive_mutex gLock;
MemoryRegistry gKeys;
bool gChanged = false;
OpenKey gOpen[256];

// Registry names compare without case in ASCII.
void ToLower(std::string* text)
{
    for (char& c : *text) {
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    }
}

OpenKey* Open(HKEY key)
{
    OpenKey* open = reinterpret_cast<OpenKey*>(key);
    return open >= gOpen && open < gOpen + std::size(gOpen) && open->used ? open : nullptr;
}

HKEY NewHandle(const std::string& path)
{
    for (OpenKey& open : gOpen) {
        if (open.used) continue;
        open.used = true;
        open.path = path;
        return reinterpret_cast<HKEY>(&open);
    }
    std::fprintf(stderr, "memory registry: too many open keys\n");
    std::abort();
}

// The path (key, subKey) names, as written; false for a key this file does not hold.
bool PathOf(HKEY key, LPCSTR subKey, std::string* path)
{
    const char* sub = subKey ? subKey : "";
    if (key == HKEY_LOCAL_MACHINE) {
        path->assign(sub);
    } else if (OpenKey* open = Open(key)) {
        path->assign(open->path);
        if (!path->empty() && *sub) path->push_back('\\');
        path->append(sub);
    } else {
        return false;
    }
    return true;
}

// A reused buffer for the path of the call under way (under gLock).
std::string& Scratch()
{
    static std::string path;
    return path;
}

MemoryKey* Find(const std::string& path)
{
    auto found = gKeys.find(path);
    return found == gKeys.end() ? nullptr : &found->second;
}

MemoryValue* FindValue(MemoryKey* key, LPCSTR name)
{
    for (MemoryValue& value : key->values) {
        if (strcasecmp(value.name.c_str(), name ? name : "") == 0) return &value;
    }
    return nullptr;
}

MemoryKey* KeyOf(HKEY key) { return Find(Open(key)->path); }

}  // namespace

MemoryRegistry& Registry() { return gKeys; }
bool RegistryChanged() { return gChanged; }
void ForgetChanges() { gChanged = false; }

}  // namespace dvfuzz

using namespace dvfuzz;

extern "C" {

LSTATUS DV_WRAP(DV_REG_OPEN)(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    std::lock_guard<std::recursive_mutex> hold(gLock);
    std::string& path = Scratch();
    if (!PathOf(key, subKey, &path)) return DV_REAL(DV_REG_OPEN)(key, subKey, options, access, result);
    ToLower(&path);
    if (!path.empty() && !Find(path)) return ERROR_FILE_NOT_FOUND;
    *result = NewHandle(path);
    return ERROR_SUCCESS;
}

LSTATUS DV_WRAP(DV_REG_CREATE)(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                               REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition)
{
    std::lock_guard<std::recursive_mutex> hold(gLock);
    std::string written;
    if (!PathOf(key, subKey, &written))
        return DV_REAL(DV_REG_CREATE)(key, subKey, reserved, keyClass, options, access, security, result,
                                      disposition);
    std::string path = written;
    ToLower(&path);
    bool created = false;
    // Every key along the path exists afterwards, as in the registry.
    for (size_t start = 0; start < path.size();) {
        size_t end = std::min(path.find('\\', start), path.size());
        std::string prefix = path.substr(0, end);
        if (!Find(prefix)) {
            gKeys[prefix] = MemoryKey{written.substr(start, end - start), {}};
            created = gChanged = true;
        }
        start = end + 1;
    }
    if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *result = NewHandle(path);
    return ERROR_SUCCESS;
}

// No transactions here, as on Wine: the program then writes each value on its own.
LSTATUS DV_WRAP(DV_REG_CREATE_TRANSACTED)(HKEY, LPCSTR, DWORD, LPSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES,
                                          PHKEY result, LPDWORD, HANDLE, PVOID)
{
    if (result) *result = NULL;
    return ERROR_CALL_NOT_IMPLEMENTED;
}

LSTATUS DV_WRAP(DV_REG_QUERY)(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size)
{
    std::lock_guard<std::recursive_mutex> hold(gLock);
    if (!Open(key)) return DV_REAL(DV_REG_QUERY)(key, name, reserved, type, data, size);
    MemoryKey* held = KeyOf(key);
    MemoryValue* value = held ? FindValue(held, name) : nullptr;
    if (!value) return held ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
    if (type) *type = value->type;
    DWORD needed = (DWORD)value->data.size();
    if (!size) return data ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
    DWORD room = *size;
    *size = needed;
    if (!data) return ERROR_SUCCESS;
    if (room < needed) return ERROR_MORE_DATA;
    if (needed) std::memcpy(data, value->data.data(), needed);
    return ERROR_SUCCESS;
}

LSTATUS DV_WRAP(DV_REG_SET)(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size)
{
    std::lock_guard<std::recursive_mutex> hold(gLock);
    if (!Open(key)) return DV_REAL(DV_REG_SET)(key, name, reserved, type, data, size);
    MemoryKey* held = KeyOf(key);
    if (!held) return ERROR_KEY_DELETED;
    MemoryValue* value = FindValue(held, name);
    if (!value) {
        held->values.push_back({name ? name : "", type, {}});
        value = &held->values.back();
    }
    value->type = type;
    value->data.assign(data, data + (data ? size : 0));
    gChanged = true;
    return ERROR_SUCCESS;
}

LSTATUS DV_WRAP(DV_REG_ENUM)(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD reserved,
                             LPSTR keyClass, LPDWORD classLength, PFILETIME written)
{
    std::lock_guard<std::recursive_mutex> hold(gLock);
    OpenKey* open = Open(key);
    if (!open) return DV_REAL(DV_REG_ENUM)(key, index, name, nameLength, reserved, keyClass, classLength, written);
    // The direct subkeys, in the map's (sorted) order.
    std::string prefix = open->path.empty() ? "" : open->path + "\\";
    DWORD seen = 0;
    for (auto it = gKeys.lower_bound(prefix); it != gKeys.end() && it->first.compare(0, prefix.size(), prefix) == 0;
         ++it) {
        if (it->first.find('\\', prefix.size()) != std::string::npos || seen++ != index) continue;
        const std::string& leaf = it->second.name;
        if (*nameLength <= leaf.size()) return ERROR_MORE_DATA;
        std::memcpy(name, leaf.c_str(), leaf.size() + 1);
        *nameLength = (DWORD)leaf.size();
        return ERROR_SUCCESS;
    }
    return ERROR_NO_MORE_ITEMS;
}

LSTATUS DV_WRAP(DV_REG_DELETE_KEY)(HKEY key, LPCSTR subKey)
{
    std::lock_guard<std::recursive_mutex> hold(gLock);
    std::string& path = Scratch();
    if (!PathOf(key, subKey, &path)) return DV_REAL(DV_REG_DELETE_KEY)(key, subKey);
    ToLower(&path);
    if (!Find(path)) return ERROR_FILE_NOT_FOUND;
    // A key with subkeys is not deleted.
    auto next = gKeys.lower_bound(path + "\\");
    if (next != gKeys.end() && next->first.compare(0, path.size() + 1, path + "\\") == 0) return ERROR_ACCESS_DENIED;
    gKeys.erase(path);
    gChanged = true;
    return ERROR_SUCCESS;
}

LSTATUS DV_WRAP(DV_REG_DELETE_VALUE)(HKEY key, LPCSTR name)
{
    std::lock_guard<std::recursive_mutex> hold(gLock);
    if (!Open(key)) return DV_REAL(DV_REG_DELETE_VALUE)(key, name);
    MemoryKey* held = KeyOf(key);
    MemoryValue* value = held ? FindValue(held, name) : nullptr;
    if (!value) return ERROR_FILE_NOT_FOUND;
    held->values.erase(held->values.begin() + (value - held->values.data()));
    gChanged = true;
    return ERROR_SUCCESS;
}

LSTATUS DV_WRAP(DV_REG_CLOSE)(HKEY key)
{
    std::lock_guard<std::recursive_mutex> hold(gLock);
    OpenKey* open = Open(key);
    if (!open) return DV_REAL(DV_REG_CLOSE)(key);
    open->used = false;
    return ERROR_SUCCESS;
}

LSTATUS DV_WRAP(DV_REG_FLUSH)(HKEY key)
{
    std::lock_guard<std::recursive_mutex> hold(gLock);
    return Open(key) ? ERROR_SUCCESS : DV_REAL(DV_REG_FLUSH)(key);
}

}  // extern "C"
