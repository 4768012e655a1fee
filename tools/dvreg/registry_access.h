// What dvreg does to the registry, through the same Win32 registry functions
// as the program. Every function returns a Win32 status.
#pragma once

#include <string>
#include <vector>

#include "key_path.h"
#include "value_text.h"

namespace dvregtool {

// A key open for the life of the object.
class OpenKey {
public:
    OpenKey() = default;
    ~OpenKey();
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;

    LSTATUS Open(const KeyPath& path, REGSAM access);
    LSTATUS Create(const KeyPath& path, REGSAM access);
    void Close();
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

// Every value in the registry's order.
LSTATUS ReadValues(HKEY key, std::vector<Value>* values);
// ERROR_FILE_NOT_FOUND when there is no such value.
LSTATUS ReadValue(HKEY key, const std::string& name, Value* value);
LSTATUS WriteValue(HKEY key, const Value& value);
LSTATUS ReadSubkeys(HKEY key, std::vector<std::string>* names);

// The path of an existing key with each name spelled as the registry keeps it.
LSTATUS StoredSpelling(const KeyPath& path, KeyPath* stored);

// The key, with every key below it.
LSTATUS DeleteTree(const KeyPath& path);
// Makes the key's changes durable against a power loss.
LSTATUS FlushKey(const KeyPath& path);

// The system's text for a status, as "ERROR: <text>" prints it.
std::string StatusText(LSTATUS status);

}  // namespace dvregtool
