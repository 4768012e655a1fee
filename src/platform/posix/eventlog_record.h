// One event-log record as a line of JSON.
#pragma once

#include <string>

#include "win32_types.h"

namespace dveventlog {

struct Record {
    const char* source;
    WORD type;
    WORD category;
    DWORD eventId;
    WORD stringCount;
    const char* const* strings;
    DWORD dataSize;
    const void* data;
};

// The word for an event type ("error", "warning", "information", ...).
const char* TypeWord(WORD type);

// A JSON string literal (quotes included) for any bytes: valid UTF-8 is kept,
// control characters are escaped, and every byte that does not belong to a
// valid UTF-8 sequence becomes the character U+0000-U+00FF of its value.
std::string JsonString(const char* text);

// {"time":...,"source":...,"type":...,"id":"0x%08X","category":...,"strings":[...],"data":"<hex>"}
// followed by a line break; the time is UTC with milliseconds.
std::string RecordLine(const Record& record);

}  // namespace dveventlog
