// The registry under HKEY_LOCAL_MACHINE kept in memory for the harnesses that
// run the server, so that an input sets or restores the persisted quorum
// states in microseconds, however the registry stores keys on disk. The linker
// redirects the registry calls the server makes (--wrap, see
// fuzz/CMakeLists.txt) to this file.
//
// Key and value names compare without case; subkeys enumerate in sorted
// order; the calls answer with the registry's codes (2, 234, 259).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace dvfuzz {

struct MemoryValue {
    std::string name;
    DWORD type;
    std::vector<uint8_t> data;
};

struct MemoryKey {
    std::string name;  // the last part of its path, as created
    std::vector<MemoryValue> values;
};

// Every key by its path below HKEY_LOCAL_MACHINE in lower case.
typedef std::map<std::string, MemoryKey> MemoryRegistry;

// The content, for a harness to copy or replace between inputs, when no
// server code runs.
MemoryRegistry& Registry();

// True once a call changed the content since the last ForgetChanges().
bool RegistryChanged();
void ForgetChanges();

}  // namespace dvfuzz
