#include "json.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

nlohmann::ordered_json& Current(QSCTL_JSON* json) { return *json->open.back(); }

// Every byte as the character of the same value, in UTF-8.
std::string Latin1ToUtf8(const char* text, size_t size)
{
    std::string utf8;
    for (size_t i = 0; i < size && text[i]; ++i) {
        unsigned char c = (unsigned char)text[i];
        if (c < 0x80) {
            utf8 += (char)c;
        } else {
            utf8 += (char)(0xC0 | (c >> 6));
            utf8 += (char)(0x80 | (c & 0x3F));
        }
    }
    return utf8;
}

}  // namespace

void QsctlJsonBegin(QSCTL_JSON* json)
{
    json->root = nlohmann::ordered_json::object();
    json->open.assign(1, &json->root);
}

void QsctlJsonString(QSCTL_JSON* json, const char* key, const char* value)
{
    QsctlJsonField(json, key, value, std::strlen(value));
}

void QsctlJsonField(QSCTL_JSON* json, const char* key, const char* field, size_t size)
{
    Current(json)[key] = Latin1ToUtf8(field, size);
}

void QsctlJsonNumber(QSCTL_JSON* json, const char* key, ULONGLONG value) { Current(json)[key] = value; }

void QsctlJsonBool(QSCTL_JSON* json, const char* key, BOOL value) { Current(json)[key] = value != FALSE; }

void QsctlJsonNull(QSCTL_JSON* json, const char* key) { Current(json)[key] = nullptr; }

void QsctlJsonBeginObject(QSCTL_JSON* json, const char* key)
{
    nlohmann::ordered_json& child = Current(json)[key];
    child = nlohmann::ordered_json::object();
    json->open.push_back(&child);
}

void QsctlJsonEndObject(QSCTL_JSON* json)
{
    if (json->open.size() > 1) json->open.pop_back();
}

void QsctlJsonPrint(QSCTL_JSON* json)
{
    // Every string is valid UTF-8 by construction; replacing never happens but
    // keeps the dump from failing whatever it is given.
    std::string line = json->root.dump(-1, ' ', true, nlohmann::ordered_json::error_handler_t::replace);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}
