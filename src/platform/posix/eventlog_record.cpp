// Building the JSON line of an event-log record.
#include "eventlog_record.h"

#include <cstdio>
#include <ctime>

#include <nlohmann/json.hpp>

#include "platform/win32.h"

namespace dveventlog {

namespace {

std::string UtcTimeNow()
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm utc;
    gmtime_r(&now.tv_sec, &utc);
    char text[80];
    snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
             utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(now.tv_nsec / 1000000));
    return text;
}

std::string Hex(const void* bytes, DWORD size)
{
    static const char kHex[] = "0123456789abcdef";
    const auto* data = static_cast<const unsigned char*>(bytes);
    std::string hex;
    for (DWORD i = 0; data && i < size; ++i) {
        hex += kHex[data[i] >> 4];
        hex += kHex[data[i] & 0x0F];
    }
    return hex;
}

}  // namespace

const char* TypeWord(WORD type)
{
    switch (type) {
    case EVENTLOG_SUCCESS: return "success";
    case EVENTLOG_ERROR_TYPE: return "error";
    case EVENTLOG_WARNING_TYPE: return "warning";
    case EVENTLOG_INFORMATION_TYPE: return "information";
    case EVENTLOG_AUDIT_SUCCESS: return "audit_success";
    case EVENTLOG_AUDIT_FAILURE: return "audit_failure";
    default: return "unknown";
    }
}

std::string RecordLine(const Record& record)
{
    char id[16];
    snprintf(id, sizeof id, "0x%08X", record.eventId);
    nlohmann::ordered_json strings = nlohmann::ordered_json::array();
    for (WORD i = 0; i < record.stringCount; ++i) {
        const char* text = record.strings ? record.strings[i] : nullptr;
        strings.push_back(text ? text : "");
    }
    nlohmann::ordered_json line = {{"time", UtcTimeNow()},
                                   {"source", record.source},
                                   {"type", TypeWord(record.type)},
                                   {"id", id},
                                   {"category", record.category},
                                   {"strings", std::move(strings)},
                                   {"data", Hex(record.data, record.dataSize)}};
    return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace dveventlog
