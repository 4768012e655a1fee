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

// {"time":...,"source":...,"type":...,"id":"0x%08X","category":...,"strings":[...],"data":"<hex>"}
// followed by a line break; the time is UTC with milliseconds. Valid UTF-8 in
// the strings is kept and every byte outside it becomes U+FFFD, so the line is
// valid JSON whatever the strings hold.
std::string RecordLine(const Record& record);

}  // namespace dveventlog
