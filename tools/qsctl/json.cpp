#include "json.h"

#include <cstdio>
#include <cstring>

namespace {

void Append(QSCTL_JSON* json, const char* text, size_t length)
{
    // Room is kept for the closing braces and the terminator; what does not fit is cut.
    size_t room = sizeof(json->text) - 16 - json->used;
    if (length > room) length = room;
    std::memcpy(json->text + json->used, text, length);
    json->used += length;
    json->text[json->used] = '\0';
}

void AppendText(QSCTL_JSON* json, const char* text)
{
    Append(json, text, std::strlen(text));
}

// A quoted string with quotes, backslashes, control characters and bytes
// beyond ASCII escaped, so that the line is valid JSON whatever the server sent.
void AppendQuoted(QSCTL_JSON* json, const char* value, size_t size)
{
    AppendText(json, "\"");
    for (size_t i = 0; i < size && value[i]; ++i) {
        unsigned char c = (unsigned char)value[i];
        char escaped[8];
        if (c == '"' || c == '\\') {
            StringCbPrintfA(escaped, sizeof(escaped), "\\%c", c);
        } else if (c < 0x20 || c >= 0x7F) {
            StringCbPrintfA(escaped, sizeof(escaped), "\\u%04x", (unsigned)c);
        } else {
            escaped[0] = (char)c;
            escaped[1] = '\0';
        }
        AppendText(json, escaped);
    }
    AppendText(json, "\"");
}

void AppendKey(QSCTL_JSON* json, const char* key)
{
    if (json->needComma) AppendText(json, ",");
    AppendQuoted(json, key, std::strlen(key));
    AppendText(json, ":");
    json->needComma = TRUE;
}

}  // namespace

void QsctlJsonBegin(QSCTL_JSON* json)
{
    json->used = 0;
    json->depth = 1;
    json->needComma = FALSE;
    json->text[0] = '\0';
    AppendText(json, "{");
}

void QsctlJsonString(QSCTL_JSON* json, const char* key, const char* value)
{
    QsctlJsonField(json, key, value, std::strlen(value));
}

void QsctlJsonField(QSCTL_JSON* json, const char* key, const char* field, size_t size)
{
    AppendKey(json, key);
    AppendQuoted(json, field, size);
}

void QsctlJsonNumber(QSCTL_JSON* json, const char* key, ULONGLONG value)
{
    char number[24];
    StringCbPrintfA(number, sizeof(number), "%llu", value);
    AppendKey(json, key);
    AppendText(json, number);
}

void QsctlJsonBool(QSCTL_JSON* json, const char* key, BOOL value)
{
    AppendKey(json, key);
    AppendText(json, value ? "true" : "false");
}

void QsctlJsonNull(QSCTL_JSON* json, const char* key)
{
    AppendKey(json, key);
    AppendText(json, "null");
}

void QsctlJsonBeginObject(QSCTL_JSON* json, const char* key)
{
    AppendKey(json, key);
    AppendText(json, "{");
    json->depth++;
    json->needComma = FALSE;
}

void QsctlJsonEndObject(QSCTL_JSON* json)
{
    // The reserve kept by Append guarantees room for the closing braces.
    json->text[json->used++] = '}';
    json->text[json->used] = '\0';
    json->depth--;
    json->needComma = TRUE;
}

void QsctlJsonPrint(QSCTL_JSON* json)
{
    while (json->depth > 0) QsctlJsonEndObject(json);
    std::printf("%s\n", json->text);
    std::fflush(stdout);
}
