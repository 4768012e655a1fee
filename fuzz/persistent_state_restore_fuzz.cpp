// The restore of persisted quorum state at start, from subkeys of any name
// holding values of any type and content. An input is written as registry
// keys under "Persistent States" before the restore runs:
//
//   [subkey name]
//   "Quorum Holder"=dword:00000000
//   "AM1 Id"="..."          (any value line of a registry value file)
//   [next subkey name]
//   ...
//
// A restore that succeeds must leave every record it made in the state the
// quorum engine expects of a persisted holder. The keys are kept in memory
// (memory_registry.h), written through the registry's calls.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "Qss/config/persistent_state.h"
#include "Qss/diag/diag.h"
#include "Qss/quorum/instance_lock.h"
#include "Qss/quorum/instance_table.h"
#include "fuzz_support.h"
#include "memory_registry.h"
#include "platform/posix/registry_value_file.h"
#include "platform/win32.h"

namespace {

const char kPersistentStates[] = "SYSTEM\\CurrentControlSet\\Services\\Dorvane\\Persistent States\\";

struct Subkey {
    std::string name;
    std::string valueLines;
};

std::vector<Subkey> Split(std::string_view text)
{
    std::vector<Subkey> subkeys;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            subkeys.push_back({std::string(line.substr(1, line.size() - 2)), {}});
        } else if (!subkeys.empty()) {
            subkeys.back().valueLines.append(line).push_back('\n');
        }
    }
    return subkeys;
}

void Persist(const Subkey& subkey)
{
    std::string path = kPersistentStates + subkey.name;
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, NULL, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, NULL, &key,
                        NULL) != ERROR_SUCCESS)
        return;
    std::vector<dvreg::Value> values;
    if (dvreg::ParseValueFile("Windows Registry Editor Version 5.00\n" + subkey.valueLines, &values)) {
        for (const dvreg::Value& v : values) {
            RegSetValueExA(key, v.name.c_str(), 0, v.type, v.data.data(), (DWORD)v.data.size());
        }
    }
    RegCloseKey(key);
}

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "restore harness: %s\n", what);
    std::abort();
}

// What the quorum engine takes for granted of a restored record.
void CheckRestored(void)
{
    for (const QSS_INSTANCE* record = qssInstanceList; record; record = record->pNext) {
        if ((record->am[0].bHold != 0) + (record->am[1].bHold != 0) != 1) Fail("not exactly one holder");
        for (const QSS_AM_INFO& am : record->am) {
            if (am.bOnline || am.bVoting || am.hInstanceTimeout) Fail("a restored AM is not offline");
            if (strnlen(am.amId, sizeof(am.amId)) == sizeof(am.amId)) Fail("an AM id without its terminator");
        }
        if (record->hQuorumTimeout) Fail("a restored record has a quorum timer");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    dvfuzz::UsePrivateStateDir();
    qssTraceFlags = 0;
    InitializeCriticalSection(&qssInstanceLock);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    for (const Subkey& subkey : Split(std::string_view(reinterpret_cast<const char*>(data), size))) {
        Persist(subkey);
    }
    if (qssRestorePersistentStates()) CheckRestored();
    qssDeleteAllInstances();
    dvfuzz::Registry().clear();
    return 0;
}
