// One JSON object per line: for scripts that read qsctl's answers with --json.
#pragma once

#include <cstddef>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/win32.h"

struct QSCTL_JSON {
    nlohmann::ordered_json root;
    // The object being filled, then the objects it is nested in.
    std::vector<nlohmann::ordered_json*> open;
};

void QsctlJsonBegin(QSCTL_JSON* json);
void QsctlJsonString(QSCTL_JSON* json, const char* key, const char* value);
// A text field of the protocol: up to size bytes, ending at the first NUL.
// Its bytes are read as Latin-1, so that a script gets back exactly the bytes
// the server sent, whatever they are.
void QsctlJsonField(QSCTL_JSON* json, const char* key, const char* field, size_t size);
void QsctlJsonNumber(QSCTL_JSON* json, const char* key, ULONGLONG value);
void QsctlJsonBool(QSCTL_JSON* json, const char* key, BOOL value);
void QsctlJsonNull(QSCTL_JSON* json, const char* key);
// A nested object under key, closed by QsctlJsonEndObject.
void QsctlJsonBeginObject(QSCTL_JSON* json, const char* key);
void QsctlJsonEndObject(QSCTL_JSON* json);
// Prints the object as one line of ASCII on stdout.
void QsctlJsonPrint(QSCTL_JSON* json);
