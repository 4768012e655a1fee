#include "value_text.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <strings.h>

namespace dvregtool {

namespace {

struct TypeEntry {
    DWORD type;
    const char* name;
    bool settable;
};

const TypeEntry kTypes[] = {
    {0, "REG_NONE", true},
    {1, "REG_SZ", true},
    {2, "REG_EXPAND_SZ", true},
    {3, "REG_BINARY", true},
    {4, "REG_DWORD", true},
    {5, "REG_DWORD_BIG_ENDIAN", false},
    {6, "REG_LINK", false},
    {7, "REG_MULTI_SZ", true},
    {8, "REG_RESOURCE_LIST", false},
    {9, "REG_FULL_RESOURCE_DESCRIPTOR", false},
    {10, "REG_RESOURCE_REQUIREMENTS_LIST", false},
    {11, "REG_QWORD", true},
};

bool ParseNumber(std::string_view text, uint64_t max, uint64_t* number)
{
    std::string copy(text);
    if (copy.empty() || copy[0] == '-' || copy[0] == '+' || copy[0] == ' ') return false;
    bool hex = copy.size() > 2 && copy[0] == '0' && (copy[1] == 'x' || copy[1] == 'X');
    errno = 0;
    char* end = nullptr;
    unsigned long long parsed = std::strtoull(copy.c_str(), &end, hex ? 16 : 10);
    if (errno || *end || (hex && copy.size() == 2)) return false;
    *number = parsed;
    return parsed <= max;
}

void AppendLittleEndian(uint64_t number, size_t bytes, std::vector<BYTE>* data)
{
    for (size_t i = 0; i < bytes; ++i) data->push_back(static_cast<BYTE>(number >> (8 * i)));
}

std::string HexBytes(const std::vector<BYTE>& data)
{
    std::string text;
    char pair[3];
    for (BYTE b : data) {
        std::snprintf(pair, sizeof pair, "%02X", b);
        text += pair;
    }
    return text;
}

// The bytes before the first terminator (all of them when there is none).
std::string UpToTerminator(const std::vector<BYTE>& data, size_t from)
{
    std::string text;
    for (size_t i = from; i < data.size() && data[i]; ++i) text.push_back(static_cast<char>(data[i]));
    return text;
}

}  // namespace

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ParseTypeName(std::string_view text, DWORD* type)
{
    std::string copy(text);
    for (const TypeEntry& entry : kTypes) {
        if (entry.settable && strcasecmp(copy.c_str(), entry.name) == 0) {
            *type = entry.type;
            return true;
        }
    }
    return false;
}

std::string TypeName(DWORD type)
{
    for (const TypeEntry& entry : kTypes) {
        if (entry.type == type) return entry.name;
    }
    char text[16];
    std::snprintf(text, sizeof text, "0x%" PRIX32, type);
    return text;
}

bool ParseData(DWORD type, std::string_view text, std::string_view separator, std::vector<BYTE>* data,
               std::string* error)
{
    data->clear();
    uint64_t number = 0;
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        data->assign(text.begin(), text.end());
        data->push_back(0);
        return true;
    case REG_MULTI_SZ:
        for (std::string_view rest = text; !text.empty();) {
            size_t cut = rest.find(separator);
            std::string_view item = rest.substr(0, cut);
            if (item.empty()) {
                *error = "Invalid data for REG_MULTI_SZ: empty strings are not allowed.";
                return false;
            }
            data->insert(data->end(), item.begin(), item.end());
            data->push_back(0);
            if (cut == std::string_view::npos) break;
            rest = rest.substr(cut + separator.size());
        }
        data->push_back(0);
        return true;
    case REG_DWORD:
        if (text.empty() || ParseNumber(text, UINT32_MAX, &number)) {
            AppendLittleEndian(number, 4, data);
            return true;
        }
        *error = "Invalid data for REG_DWORD: give a number from 0 to 4294967295, in decimal or as 0x hex.";
        return false;
    case REG_QWORD:
        if (text.empty() || ParseNumber(text, UINT64_MAX, &number)) {
            AppendLittleEndian(number, 8, data);
            return true;
        }
        *error = "Invalid data for REG_QWORD: give a number from 0 to 18446744073709551615, in decimal or as 0x hex.";
        return false;
    default:
        if (text.size() % 2 == 0) {
            for (size_t i = 0; i < text.size(); i += 2) {
                int high = HexDigit(text[i]), low = HexDigit(text[i + 1]);
                if (high < 0 || low < 0) break;
                data->push_back(static_cast<BYTE>(high * 16 + low));
            }
            if (data->size() * 2 == text.size()) return true;
        }
        *error = "Invalid data for " + TypeName(type) + ": give an even number of hex digits, such as 01ff.";
        return false;
    }
}

std::string DisplayData(const Value& value)
{
    const std::vector<BYTE>& data = value.data;
    char number[24];
    if ((value.type == REG_SZ || value.type == REG_EXPAND_SZ)) return UpToTerminator(data, 0);
    if (value.type == REG_MULTI_SZ) {
        std::string text;
        for (size_t i = 0; i < data.size() && data[i];) {
            std::string item = UpToTerminator(data, i);
            if (!text.empty()) text += "\\0";
            text += item;
            i += item.size() + 1;
        }
        return text;
    }
    if (value.type == REG_DWORD && data.size() == 4) {
        uint32_t dword = data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24;
        std::snprintf(number, sizeof number, "0x%" PRIx32, dword);
        return number;
    }
    if (value.type == REG_QWORD && data.size() == 8) {
        uint64_t qword = 0;
        for (size_t i = 0; i < 8; ++i) qword |= static_cast<uint64_t>(data[i]) << (8 * i);
        std::snprintf(number, sizeof number, "0x%" PRIx64, qword);
        return number;
    }
    return HexBytes(data);
}

std::string DisplayName(std::string_view name) { return name.empty() ? "(Default)" : std::string(name); }

}  // namespace dvregtool
