#include "platform/posix/registry_value_file.h"

#include <cstdio>

#include "platform/posix/win32_registry.h"

namespace dvreg {
namespace {

const char kHeader[] = "Windows Registry Editor Version 5.00";
const size_t kMaxValueName = 16383;

const char kHexDigits[] = "0123456789abcdef";

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

void AppendQuoted(std::string* out, const BYTE* bytes, size_t count)
{
    out->push_back('"');
    for (size_t i = 0; i < count; ++i) {
        BYTE b = bytes[i];
        if (b == '"' || b == '\\') {
            out->push_back('\\');
            out->push_back(static_cast<char>(b));
        } else if (b < 0x20 || b >= 0x7F) {
            out->append("\\x");
            out->push_back(kHexDigits[b >> 4]);
            out->push_back(kHexDigits[b & 0xF]);
        } else {
            out->push_back(static_cast<char>(b));
        }
    }
    out->push_back('"');
}

void AppendHexBytes(std::string* out, const std::vector<BYTE>& data)
{
    out->reserve(out->size() + data.size() * 3);
    for (size_t i = 0; i < data.size(); ++i) {
        if (i) out->push_back(',');
        out->push_back(kHexDigits[data[i] >> 4]);
        out->push_back(kHexDigits[data[i] & 0xF]);
    }
}

// REG_SZ text is written quoted when it is exactly one terminated string.
bool IsPlainString(const Value& v)
{
    if (v.type != REG_SZ || v.data.empty() || v.data.back() != 0) return false;
    for (size_t i = 0; i + 1 < v.data.size(); ++i) {
        if (v.data[i] == 0) return false;
    }
    return true;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A parser over one logical line; every step fails rather than guesses.
struct Cursor {
    std::string_view s;
    size_t pos = 0;

    bool AtEnd() const { return pos >= s.size(); }
    bool Take(char c)
    {
        if (AtEnd() || s[pos] != c) return false;
        ++pos;
        return true;
    }
    bool TakeWord(std::string_view w)
    {
        if (s.substr(pos, w.size()) != w) return false;
        pos += w.size();
        return true;
    }
};

bool ParseQuoted(Cursor* c, std::string* out)
{
    if (!c->Take('"')) return false;
    while (!c->AtEnd()) {
        char ch = c->s[c->pos++];
        if (ch == '"') return true;
        if (ch != '\\') {
            out->push_back(ch);
            continue;
        }
        if (c->AtEnd()) return false;
        char esc = c->s[c->pos++];
        if (esc == '"' || esc == '\\') {
            out->push_back(esc);
        } else if (esc == 'x' && c->pos + 2 <= c->s.size()) {
            int hi = HexDigit(c->s[c->pos]);
            int lo = HexDigit(c->s[c->pos + 1]);
            if (hi < 0 || lo < 0) return false;
            out->push_back(static_cast<char>(hi * 16 + lo));
            c->pos += 2;
        } else {
            return false;
        }
    }
    return false;
}

bool ParseHexBytes(Cursor* c, std::vector<BYTE>* out)
{
    if (c->AtEnd()) return true;
    for (;;) {
        if (c->pos + 2 > c->s.size()) return false;
        int hi = HexDigit(c->s[c->pos]);
        int lo = HexDigit(c->s[c->pos + 1]);
        if (hi < 0 || lo < 0) return false;
        out->push_back(static_cast<BYTE>(hi * 16 + lo));
        c->pos += 2;
        if (c->AtEnd()) return true;
        if (!c->Take(',')) return false;
    }
}

// Up to eight hex digits, nothing else.
bool ParseHexNumber(Cursor* c, DWORD* out)
{
    size_t start = c->pos;
    DWORD v = 0;
    while (!c->AtEnd() && HexDigit(c->s[c->pos]) >= 0 && c->pos - start < 8) {
        v = v * 16 + static_cast<DWORD>(HexDigit(c->s[c->pos]));
        ++c->pos;
    }
    *out = v;
    return c->pos > start;
}

bool ParseValueLine(std::string_view line, Value* v)
{
    Cursor c{line};
    if (!c.Take('@') && (!ParseQuoted(&c, &v->name) || v->name.empty())) return false;
    if (v->name.size() > kMaxValueName || !c.Take('=')) return false;
    if (!c.AtEnd() && c.s[c.pos] == '"') {
        std::string text;
        if (!ParseQuoted(&c, &text)) return false;
        v->type = REG_SZ;
        v->data.assign(text.begin(), text.end());
        v->data.push_back(0);
    } else if (c.TakeWord("dword:")) {
        DWORD d;
        if (c.s.size() - c.pos != 8 || !ParseHexNumber(&c, &d)) return false;
        v->type = REG_DWORD;
        v->data = {static_cast<BYTE>(d), static_cast<BYTE>(d >> 8), static_cast<BYTE>(d >> 16),
                   static_cast<BYTE>(d >> 24)};
    } else if (c.TakeWord("hex:")) {
        v->type = REG_BINARY;
        if (!ParseHexBytes(&c, &v->data)) return false;
    } else if (c.TakeWord("hex(")) {
        if (!ParseHexNumber(&c, &v->type) || !c.Take(')') || !c.Take(':')) return false;
        if (!ParseHexBytes(&c, &v->data)) return false;
    } else {
        return false;
    }
    return c.AtEnd();
}

std::string_view TrimEnd(std::string_view s)
{
    while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

std::string_view TrimStart(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    return s;
}

}  // namespace

bool SameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
    }
    return true;
}

bool NameLess(std::string_view a, std::string_view b)
{
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        unsigned char ca = static_cast<unsigned char>(UpperAscii(a[i]));
        unsigned char cb = static_cast<unsigned char>(UpperAscii(b[i]));
        if (ca != cb) return ca < cb;
    }
    return a.size() < b.size();
}

std::string FormatValueFile(std::string_view keyPath, const std::vector<Value>& values)
{
    std::string out = kHeader;
    out.append("\n\n[");
    out.append(keyPath);
    out.append("]\n");
    for (const Value& v : values) {
        if (v.name.empty()) {
            out.push_back('@');
        } else {
            AppendQuoted(&out, reinterpret_cast<const BYTE*>(v.name.data()), v.name.size());
        }
        out.push_back('=');
        char prefix[24];
        if (v.type == REG_DWORD && v.data.size() == 4) {
            DWORD d = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (static_cast<DWORD>(v.data[3]) << 24);
            std::snprintf(prefix, sizeof prefix, "dword:%08x", d);
            out.append(prefix);
        } else if (IsPlainString(v)) {
            AppendQuoted(&out, v.data.data(), v.data.size() - 1);
        } else {
            if (v.type == REG_BINARY) {
                out.append("hex:");
            } else {
                std::snprintf(prefix, sizeof prefix, "hex(%x):", v.type);
                out.append(prefix);
            }
            AppendHexBytes(&out, v.data);
        }
        out.push_back('\n');
    }
    return out;
}

bool ParseValueFile(std::string_view text, std::vector<Value>* values)
{
    values->clear();
    bool sawHeader = false;
    bool sawSection = false;
    std::string logical;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = TrimEnd(text.substr(pos, end - pos));
        pos = end + 1;
        // Long hex data may continue on the next line after ",\", as exports wrap it.
        if (!logical.empty()) line = TrimStart(line);
        if (line.size() >= 2 && line.substr(line.size() - 2) == ",\\") {
            logical.append(line.substr(0, line.size() - 1));
            continue;
        }
        logical.append(line);
        std::string_view full = logical;
        if (full.empty() || full.front() == ';') {
            logical.clear();
            continue;
        }
        if (!sawHeader) {
            if (full != kHeader) return false;
            sawHeader = true;
        } else if (full.front() == '[') {
            if (sawSection || !values->empty() || full.back() != ']') return false;
            sawSection = true;
        } else {
            Value v{};
            if (!ParseValueLine(full, &v)) return false;
            for (const Value& other : *values) {
                if (SameName(other.name, v.name)) return false;
            }
            values->push_back(std::move(v));
        }
        logical.clear();
    }
    return sawHeader && logical.empty();
}

}  // namespace dvreg
