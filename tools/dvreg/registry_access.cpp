#include "registry_access.h"

#include <cstdio>
#include <strings.h>

namespace dvregtool {

namespace {

const DWORD kMaxValueNameLength = 16383;
const DWORD kMaxKeyNameLength = 255;

}  // namespace

OpenKey::~OpenKey() { Close(); }

void OpenKey::Close()
{
    if (key_) RegCloseKey(key_);
    key_ = nullptr;
}

LSTATUS OpenKey::Open(const KeyPath& path, REGSAM access)
{
    Close();
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.subKey.c_str(), 0, access, &key_);
}

LSTATUS OpenKey::Create(const KeyPath& path, REGSAM access)
{
    Close();
    return RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                           nullptr, &key_, nullptr);
}

LSTATUS ReadValues(HKEY key, std::vector<Value>* values)
{
    values->clear();
    std::vector<char> name(kMaxValueNameLength + 1);
    std::vector<BYTE> data(256);
    for (DWORD index = 0;;) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD type = 0;
        DWORD size = static_cast<DWORD>(data.size());
        LSTATUS status = RegEnumValueA(key, index, name.data(), &nameLength, nullptr, &type, data.data(), &size);
        if (status == ERROR_MORE_DATA && size > data.size()) {
            data.resize(size);
            continue;
        }
        if (status == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (status != ERROR_SUCCESS) return status;
        values->push_back(Value{std::string(name.data(), nameLength), type,
                                std::vector<BYTE>(data.begin(), data.begin() + size)});
        ++index;
    }
}

LSTATUS ReadValue(HKEY key, const std::string& name, Value* value)
{
    value->name = name;
    for (;;) {
        DWORD size = 0;
        LSTATUS status = RegQueryValueExA(key, name.c_str(), nullptr, &value->type, nullptr, &size);
        if (status != ERROR_SUCCESS) return status;
        value->data.resize(size);
        status = RegQueryValueExA(key, name.c_str(), nullptr, &value->type, value->data.data(), &size);
        // Another process may have changed the value between the two questions.
        if (status == ERROR_MORE_DATA) continue;
        value->data.resize(size);
        return status;
    }
}

LSTATUS WriteValue(HKEY key, const Value& value)
{
    return RegSetValueExA(key, value.name.c_str(), 0, value.type, value.data.data(),
                          static_cast<DWORD>(value.data.size()));
}

LSTATUS ReadSubkeys(HKEY key, std::vector<std::string>* names)
{
    names->clear();
    char name[kMaxKeyNameLength + 1];
    for (DWORD index = 0;; ++index) {
        DWORD length = sizeof name;
        LSTATUS status = RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (status != ERROR_SUCCESS) return status;
        names->emplace_back(name, length);
    }
}

LSTATUS StoredSpelling(const KeyPath& path, KeyPath* stored)
{
    if (path.subKey.empty()) {
        *stored = path;
        return ERROR_SUCCESS;
    }
    KeyPath parent;
    LSTATUS status = StoredSpelling(path.Parent(), &parent);
    OpenKey key;
    std::vector<std::string> names;
    if (status == ERROR_SUCCESS) status = key.Open(parent, KEY_READ);
    if (status == ERROR_SUCCESS) status = ReadSubkeys(key.get(), &names);
    if (status != ERROR_SUCCESS) return status;
    std::string leaf = path.Leaf();
    for (const std::string& name : names) {
        if (strcasecmp(name.c_str(), leaf.c_str()) == 0) {
            *stored = parent.Child(name);
            return ERROR_SUCCESS;
        }
    }
    return ERROR_FILE_NOT_FOUND;
}

LSTATUS DeleteTree(const KeyPath& path)
{
    std::vector<std::string> subkeys;
    {
        OpenKey key;
        LSTATUS status = key.Open(path, KEY_READ);
        if (status == ERROR_SUCCESS) status = ReadSubkeys(key.get(), &subkeys);
        if (status != ERROR_SUCCESS) return status;
    }
    for (const std::string& name : subkeys) {
        LSTATUS status = DeleteTree(path.Child(name));
        // Gone already: someone else removed it meanwhile.
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return status;
    }
    if (path.subKey.empty()) return ERROR_ACCESS_DENIED;
    OpenKey parent;
    LSTATUS status = parent.Open(path.Parent(), KEY_WRITE);
    if (status == ERROR_SUCCESS) status = RegDeleteKeyA(parent.get(), path.Leaf().c_str());
    return status;
}

LSTATUS FlushKey(const KeyPath& path)
{
    OpenKey key;
    LSTATUS status = key.Open(path, KEY_READ);
    if (status == ERROR_SUCCESS) status = RegFlushKey(key.get());
    return status;
}

std::string StatusText(LSTATUS status)
{
    char text[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  static_cast<DWORD>(status), 0, text, sizeof text, nullptr);
    while (length && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' ')) --length;
    if (length) return std::string(text, length);
    std::snprintf(text, sizeof text, "The registry failed with error %ld.", static_cast<long>(status));
    return text;
}

}  // namespace dvregtool
