#include "commands.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "console.h"
#include "query_output.h"
#include "reg_file.h"
#include "registry_access.h"

namespace dvregtool {

namespace {

const char kNotFound[] = "The system was unable to find the specified registry key or value.";

int RegistryFailed(LSTATUS status)
{
    return Failed(status == ERROR_FILE_NOT_FOUND ? kNotFound : StatusText(status));
}

// /f (or /y) answers yes without asking.
bool Allowed(const Arguments& arguments, const std::string& question)
{
    return arguments.force || Confirm(question);
}

// The KEY operand, or the syntax error.
bool TakeKey(const Arguments& arguments, KeyPath* path, int* exitStatus)
{
    std::string error;
    if (ParseKeyPath(arguments.operands[0], path, &error)) return true;
    *exitStatus = Failed(error + "\nType \"dvreg " + arguments.operationName + " /?\" for usage.");
    return false;
}

// Flushes every key in the set that still exists.
LSTATUS FlushKeys(const std::set<std::string>& subKeys)
{
    for (const std::string& subKey : subKeys) {
        LSTATUS status = FlushKey(KeyPath{subKey});
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return status;
    }
    return ERROR_SUCCESS;
}

// The value under the name as the key spells it (a query may spell it in any case).
Value WithStoredName(HKEY key, Value value)
{
    std::vector<Value> values;
    if (ReadValues(key, &values) != ERROR_SUCCESS) return value;
    for (const Value& stored : values) {
        if (strcasecmp(stored.name.c_str(), value.name.c_str()) == 0) value.name = stored.name;
    }
    return value;
}

// Reads the key and hands it to visit(path, values, subkeys), then walks the
// keys below it when visit returns true. A key below the first one that is
// removed meanwhile is passed over.
template <typename Visit>
LSTATUS WalkTree(const KeyPath& path, bool top, const Visit& visit)
{
    OpenKey key;
    std::vector<Value> values;
    std::vector<std::string> subkeys;
    LSTATUS status = key.Open(path, KEY_READ);
    if (status == ERROR_SUCCESS) status = ReadValues(key.get(), &values);
    if (status == ERROR_SUCCESS) status = ReadSubkeys(key.get(), &subkeys);
    bool vanished = status == ERROR_FILE_NOT_FOUND || status == ERROR_KEY_DELETED;
    if (status != ERROR_SUCCESS) return (vanished && !top) ? ERROR_SUCCESS : status;
    key.Close();
    if (!visit(path, std::move(values), subkeys)) return ERROR_SUCCESS;
    for (const std::string& name : subkeys) {
        status = WalkTree(path.Child(name), false, visit);
        if (status != ERROR_SUCCESS) return status;
    }
    return ERROR_SUCCESS;
}

// Writes the whole file beside its place, syncs it and renames it there, so a
// crash never leaves half a backup under the file's name.
bool WriteFileWhole(const std::string& path, const std::string& content, std::string* error)
{
    std::string temporary = path + ".XXXXXX";
    int fd = mkstemp(temporary.data());
    if (fd < 0) {
        *error = "Cannot write " + path + ": " + std::strerror(errno) + ".";
        return false;
    }
    size_t written = 0;
    while (written < content.size()) {
        ssize_t n = write(fd, content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += static_cast<size_t>(n);
    }
    bool ok = written == content.size() && fsync(fd) == 0;
    int err = errno;
    ok = close(fd) == 0 && ok;
    if (ok && rename(temporary.c_str(), path.c_str()) == 0) return true;
    if (ok) err = errno;
    unlink(temporary.c_str());
    *error = "Cannot write " + path + ": " + std::strerror(err) + ".";
    return false;
}

bool ReadWholeFile(const std::string& path, std::string* content, std::string* error)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        *error = "Cannot read " + path + ": " + std::strerror(errno) + ".";
        return false;
    }
    char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) content->append(chunk, n);
    bool ok = !std::ferror(file);
    std::fclose(file);
    if (!ok) *error = "Cannot read " + path + ".";
    return ok;
}

// Applies the changes in their order; every completed change stays when one fails.
LSTATUS ApplyChanges(const std::vector<RegChange>& changes, std::set<std::string>* touched, std::string* failedKey)
{
    OpenKey key;
    for (const RegChange& change : changes) {
        *failedKey = change.key.Display();
        LSTATUS status = ERROR_SUCCESS;
        switch (change.kind) {
        case RegChange::kCreateKey:
            status = key.Create(change.key, KEY_READ | KEY_WRITE);
            touched->insert(change.key.subKey);
            break;
        case RegChange::kDeleteKey:
            key.Close();
            status = DeleteTree(change.key);
            if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
            touched->insert(change.key.Parent().subKey);
            break;
        case RegChange::kSetValue:
            status = WriteValue(key.get(), change.value);
            break;
        case RegChange::kDeleteValue:
            status = RegDeleteValueA(key.get(), change.value.name.c_str());
            if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
            break;
        }
        if (status != ERROR_SUCCESS) return status;
    }
    return ERROR_SUCCESS;
}

}  // namespace

int RunQuery(const Arguments& arguments)
{
    KeyPath path;
    int exitStatus;
    if (!TakeKey(arguments, &path, &exitStatus)) return exitStatus;
    if (!arguments.oneValue) {
        LSTATUS status = WalkTree(path, true, [&](const KeyPath& at, std::vector<Value> values,
                                                  const std::vector<std::string>& subkeys) {
            PrintKey(at, values);
            if (!arguments.recursive) PrintSubkeys(at, subkeys);
            return arguments.recursive;
        });
        if (status != ERROR_SUCCESS) return RegistryFailed(status);
        std::printf("\n");
        return kExitSuccess;
    }
    OpenKey key;
    Value value;
    LSTATUS status = key.Open(path, KEY_READ);
    if (status == ERROR_SUCCESS) status = ReadValue(key.get(), arguments.valueName, &value);
    if (status == ERROR_FILE_NOT_FOUND && key.get() && arguments.valueName.empty()) {
        PrintUnsetDefault(path);
    } else if (status == ERROR_SUCCESS) {
        PrintKey(path, {WithStoredName(key.get(), value)});
    } else {
        return RegistryFailed(status);
    }
    std::printf("\n");
    return kExitSuccess;
}

int RunAdd(const Arguments& arguments)
{
    KeyPath path;
    int exitStatus;
    if (!TakeKey(arguments, &path, &exitStatus)) return exitStatus;
    Value value{arguments.valueName, REG_SZ, {}};
    if (arguments.hasType && !ParseTypeName(arguments.typeName, &value.type)) {
        return Failed("Invalid type " + arguments.typeName +
                      ": give REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD, REG_BINARY or REG_NONE.");
    }
    if (!arguments.oneValue && (arguments.hasType || arguments.hasData || arguments.hasSeparator)) {
        return FailedSyntax("add", "/t, /s and /d go with /v or /ve.");
    }
    if (arguments.hasSeparator && value.type != REG_MULTI_SZ) {
        return FailedSyntax("add", "/s goes with /t REG_MULTI_SZ only.");
    }
    std::string error;
    if (!ParseData(value.type, arguments.data, arguments.separator, &value.data, &error)) return Failed(error);
    OpenKey key;
    LSTATUS status = key.Create(path, KEY_READ | KEY_WRITE);
    if (status != ERROR_SUCCESS) return RegistryFailed(status);
    if (arguments.oneValue) {
        Value existing;
        status = ReadValue(key.get(), value.name, &existing);
        std::string question = "Value " + DisplayName(value.name) + " exists, overwrite(Yes/No)?";
        if (status == ERROR_SUCCESS && !Allowed(arguments, question)) return Cancelled();
        if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) status = WriteValue(key.get(), value);
    }
    if (status == ERROR_SUCCESS) status = RegFlushKey(key.get());
    return status == ERROR_SUCCESS ? Succeeded() : RegistryFailed(status);
}

int RunDelete(const Arguments& arguments)
{
    KeyPath path;
    int exitStatus;
    if (!TakeKey(arguments, &path, &exitStatus)) return exitStatus;
    OpenKey key;
    LSTATUS status = key.Open(path, KEY_READ | KEY_WRITE);
    if (status != ERROR_SUCCESS) return RegistryFailed(status);
    if (arguments.oneValue) {
        Value existing;
        status = ReadValue(key.get(), arguments.valueName, &existing);
        if (status != ERROR_SUCCESS) return RegistryFailed(status);
        if (!Allowed(arguments, "Delete the registry value " + DisplayName(arguments.valueName) + " (Yes/No)?"))
            return Cancelled();
        status = RegDeleteValueA(key.get(), arguments.valueName.c_str());
        if (status == ERROR_SUCCESS) status = RegFlushKey(key.get());
    } else if (arguments.allValues) {
        if (!Allowed(arguments, "Delete all values under the registry key " + path.Display() + " (Yes/No)?"))
            return Cancelled();
        std::vector<Value> values;
        status = ReadValues(key.get(), &values);
        for (size_t i = 0; status == ERROR_SUCCESS && i < values.size(); ++i) {
            status = RegDeleteValueA(key.get(), values[i].name.c_str());
            if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
        }
        if (status == ERROR_SUCCESS) status = RegFlushKey(key.get());
    } else {
        if (path.subKey.empty()) return Failed("HKEY_LOCAL_MACHINE itself cannot be deleted.");
        if (!Allowed(arguments, "Permanently delete the registry key " + path.Display() + " (Yes/No)?"))
            return Cancelled();
        key.Close();
        status = DeleteTree(path);
        if (status == ERROR_SUCCESS) status = FlushKey(path.Parent());
    }
    return status == ERROR_SUCCESS ? Succeeded() : RegistryFailed(status);
}

int RunExport(const Arguments& arguments)
{
    KeyPath path;
    int exitStatus;
    if (!TakeKey(arguments, &path, &exitStatus)) return exitStatus;
    const std::string& file = arguments.operands[1];
    std::vector<KeyValues> keys;
    auto collect = [&](const KeyPath& at, std::vector<Value> values, const std::vector<std::string>&) {
        keys.push_back(KeyValues{at, std::move(values)});
        return true;
    };
    LSTATUS status = StoredSpelling(path, &path);
    if (status == ERROR_SUCCESS) status = WalkTree(path, true, collect);
    if (status != ERROR_SUCCESS) return RegistryFailed(status);
    std::string content, error;
    if (!FormatRegFile(keys, &content, &error)) return Failed(error);
    struct stat st;
    if (stat(file.c_str(), &st) == 0 && !Allowed(arguments, "File " + file + " already exists. Overwrite(Yes/No)?"))
        return Cancelled();
    if (!WriteFileWhole(file, content, &error)) return Failed(error);
    return Succeeded();
}

int RunImport(const Arguments& arguments)
{
    const std::string& file = arguments.operands[0];
    std::string content, error;
    if (!ReadWholeFile(file, &content, &error)) return Failed(error);
    std::vector<RegChange> changes;
    if (!ParseRegFile(content, &changes, &error)) return Failed(file + ", " + error + "; nothing was imported.");
    std::set<std::string> touched;
    std::string failedKey;
    LSTATUS status = ApplyChanges(changes, &touched, &failedKey);
    LSTATUS flushed = FlushKeys(touched);
    if (status != ERROR_SUCCESS) return Failed(failedKey + ": " + StatusText(status));
    return flushed == ERROR_SUCCESS ? Succeeded() : RegistryFailed(flushed);
}

}  // namespace dvregtool
