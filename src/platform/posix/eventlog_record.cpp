// Building the JSON line of an event-log record.
#include "eventlog_record.h"

#include <cstdio>
#include <ctime>

#include "platform/win32.h"

namespace dveventlog {

namespace {

// The length of the valid UTF-8 sequence at text, or 0 when there is none
// (overlong forms, surrogates and code points above U+10FFFF are not valid).
size_t Utf8SequenceLength(const unsigned char* text)
{
    unsigned char lead = text[0];
    size_t length;
    unsigned codePoint;
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07;
    } else {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((text[i] & 0xC0) != 0x80) return 0;
        codePoint = (codePoint << 6) | (text[i] & 0x3F);
    }
    static const unsigned kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < kSmallest[length] || codePoint > 0x10FFFF) return 0;
    if (codePoint >= 0xD800 && codePoint <= 0xDFFF) return 0;
    return length;
}

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

std::string JsonString(const char* text)
{
    std::string out = "\"";
    const auto* bytes = reinterpret_cast<const unsigned char*>(text ? text : "");
    while (*bytes) {
        unsigned char c = *bytes;
        char escaped[8];
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else if (size_t length = Utf8SequenceLength(bytes)) {
                out.append(reinterpret_cast<const char*>(bytes), length);
                bytes += length;
                continue;
            } else {
                snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            }
        }
        ++bytes;
    }
    out += '"';
    return out;
}

std::string RecordLine(const Record& record)
{
    char number[32];
    std::string line = "{\"time\":\"" + UtcTimeNow() + "\",\"source\":" + JsonString(record.source) +
                       ",\"type\":\"" + TypeWord(record.type) + "\"";
    snprintf(number, sizeof number, "0x%08X", record.eventId);
    line += ",\"id\":\"";
    line += number;
    snprintf(number, sizeof number, "%u", static_cast<unsigned>(record.category));
    line += "\",\"category\":";
    line += number;
    line += ",\"strings\":[";
    for (WORD i = 0; i < record.stringCount; ++i) {
        if (i) line += ',';
        line += JsonString(record.strings ? record.strings[i] : nullptr);
    }
    line += "],\"data\":\"";
    static const char kHex[] = "0123456789abcdef";
    const auto* data = static_cast<const unsigned char*>(record.data);
    for (DWORD i = 0; data && i < record.dataSize; ++i) {
        line += kHex[data[i] >> 4];
        line += kHex[data[i] & 0x0F];
    }
    line += "\"}\n";
    return line;
}

}  // namespace dveventlog
