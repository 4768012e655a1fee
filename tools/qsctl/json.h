// One JSON object per line, built in a fixed buffer: for scripts that read
// qsctl's answers with --json.
#pragma once

#include <cstddef>

#include "platform/win32.h"

constexpr size_t QSCTL_JSON_SIZE = 4096;

struct QSCTL_JSON {
    char text[QSCTL_JSON_SIZE];
    size_t used;
    int depth;
    BOOL needComma;
};

void QsctlJsonBegin(QSCTL_JSON* json);
void QsctlJsonString(QSCTL_JSON* json, const char* key, const char* value);
// A text field of the protocol: up to size bytes, ending at the first NUL.
void QsctlJsonField(QSCTL_JSON* json, const char* key, const char* field, size_t size);
void QsctlJsonNumber(QSCTL_JSON* json, const char* key, ULONGLONG value);
void QsctlJsonBool(QSCTL_JSON* json, const char* key, BOOL value);
void QsctlJsonNull(QSCTL_JSON* json, const char* key);
// A nested object under key, closed by QsctlJsonEndObject.
void QsctlJsonBeginObject(QSCTL_JSON* json, const char* key);
void QsctlJsonEndObject(QSCTL_JSON* json);
// Closes the object and prints it as one line on stdout.
void QsctlJsonPrint(QSCTL_JSON* json);
