#include "reg_file.h"

#include <cstdio>
#include <cstdlib>

#include "text_encoding.h"

namespace dvregtool {

namespace {

const char kHeader[] = "Windows Registry Editor Version 5.00";
const char kOldHeader[] = "REGEDIT4";
const size_t kLineWidth = 80;

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

bool HasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

std::string Quoted(std::string_view text)
{
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') quoted.push_back('\\');
        quoted.push_back(c);
    }
    return quoted + "\"";
}

// A REG_SZ that "text" carries exactly: one terminator, at the end.
bool QuotesExactly(const Value& value)
{
    const std::vector<BYTE>& data = value.data;
    if (value.type != REG_SZ || data.empty() || data.back() != 0) return false;
    std::string_view text(reinterpret_cast<const char*>(data.data()), data.size() - 1);
    return text.find('\0') == std::string_view::npos && !HasLineBreak(text);
}

std::vector<BYTE> Utf16Bytes(std::u16string_view text)
{
    std::vector<BYTE> bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<BYTE>(unit));
        bytes.push_back(static_cast<BYTE>(unit >> 8));
    }
    return bytes;
}

// "hex(N):xx,xx,..." continued on lines of at most kLineWidth characters.
void AppendHex(std::string* line, size_t lineStart, const std::string& prefix, const std::vector<BYTE>& bytes)
{
    *line += prefix;
    char pair[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0 && line->size() - lineStart + 4 > kLineWidth) {
            *line += "\\\r\n  ";
            lineStart = line->size() - 2;
        }
        std::snprintf(pair, sizeof pair, i + 1 < bytes.size() ? "%02x," : "%02x", bytes[i]);
        *line += pair;
    }
}

void AppendValue(const Value& value, std::string* text)
{
    size_t lineStart = text->size();
    *text += value.name.empty() ? "@" : Quoted(value.name);
    *text += "=";
    char prefix[16];
    if (QuotesExactly(value)) {
        *text += Quoted(std::string_view(reinterpret_cast<const char*>(value.data.data()), value.data.size() - 1));
    } else if (value.type == REG_DWORD && value.data.size() == 4) {
        const std::vector<BYTE>& d = value.data;
        std::snprintf(prefix, sizeof prefix, "dword:%02x%02x%02x%02x", d[3], d[2], d[1], d[0]);
        *text += prefix;
    } else if (value.type == REG_BINARY) {
        AppendHex(text, lineStart, "hex:", value.data);
    } else {
        std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(value.type));
        std::string_view bytes(reinterpret_cast<const char*>(value.data.data()), value.data.size());
        AppendHex(text, lineStart, prefix, IsStringType(value.type) ? Utf16Bytes(WidenBytes(bytes)) : value.data);
    }
    *text += "\r\n";
}

// --- Reading ---

void TrimLeft(std::string_view* text)
{
    while (!text->empty() && (text->front() == ' ' || text->front() == '\t')) text->remove_prefix(1);
}

void Trim(std::string_view* text)
{
    TrimLeft(text);
    while (!text->empty() && (text->back() == ' ' || text->back() == '\t' || text->back() == '\r'))
        text->remove_suffix(1);
}

// The quoted text at the start of *text (which starts with '"'), without its
// quotes and escapes; *text is left after the closing quote.
bool TakeQuoted(std::string_view* text, std::string* out)
{
    out->clear();
    for (size_t i = 1; i < text->size(); ++i) {
        char c = (*text)[i];
        if (c == '"') {
            text->remove_prefix(i + 1);
            return true;
        }
        if (c == '\\') {
            if (++i == text->size()) return false;
            c = (*text)[i];
            if (c != '\\' && c != '"') return false;
        }
        out->push_back(c);
    }
    return false;
}

// "xx,xx,..." with any spaces, possibly empty.
bool ParseHexList(std::string_view text, std::vector<BYTE>* bytes)
{
    bytes->clear();
    Trim(&text);
    while (!text.empty()) {
        size_t comma = text.find(',');
        std::string_view item = text.substr(0, comma);
        Trim(&item);
        if (item.empty() || item.size() > 2) return false;
        int value = 0;
        for (char c : item) {
            int digit = HexDigit(c);
            if (digit < 0) return false;
            value = value * 16 + digit;
        }
        bytes->push_back(static_cast<BYTE>(value));
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
        if (text.find_first_not_of(" \t") == std::string_view::npos) return false;
    }
    return true;
}

bool ParseHexNumber(std::string_view text, size_t maxDigits, DWORD* number)
{
    if (text.empty() || text.size() > maxDigits) return false;
    *number = 0;
    for (char c : text) {
        int digit = HexDigit(c);
        if (digit < 0) return false;
        *number = *number * 16 + static_cast<DWORD>(digit);
    }
    return true;
}

struct Reader {
    bool wideStrings = true;
    std::vector<RegChange>* changes = nullptr;
    bool inKey = false;  // a [key] line came, and values may follow
    KeyPath key;
};

bool ParseData(const Reader& reader, std::string_view text, Value* value, std::string* error)
{
    Trim(&text);
    if (text.starts_with("\"")) {
        std::string quoted;
        if (!TakeQuoted(&text, &quoted) || !text.empty()) {
            *error = "a string must be one quoted text, with only \\\\ and \\\" escaped";
            return false;
        }
        value->type = REG_SZ;
        value->data.assign(quoted.begin(), quoted.end());
        value->data.push_back(0);
        return true;
    }
    if (text.starts_with("dword:")) {
        DWORD number;
        if (!ParseHexNumber(text.substr(6), 8, &number)) {
            *error = "dword: takes 1 to 8 hex digits";
            return false;
        }
        value->type = REG_DWORD;
        value->data = {static_cast<BYTE>(number), static_cast<BYTE>(number >> 8), static_cast<BYTE>(number >> 16),
                       static_cast<BYTE>(number >> 24)};
        return true;
    }
    size_t colon = text.find(':');
    std::string_view kind = text.substr(0, colon);
    if (colon == std::string_view::npos || !kind.starts_with("hex")) {
        *error = "the data is none of \"text\", dword:, hex: and hex(N):";
        return false;
    }
    value->type = REG_BINARY;
    if (kind != "hex") {
        if (!kind.starts_with("hex(") || !kind.ends_with(")") ||
            !ParseHexNumber(kind.substr(4, kind.size() - 5), 8, &value->type)) {
            *error = "the type of hex(N): is a hex number";
            return false;
        }
    }
    if (!ParseHexList(text.substr(colon + 1), &value->data)) {
        *error = "hex data is a list of bytes such as 01,ff,3a";
        return false;
    }
    if (reader.wideStrings && IsStringType(value->type)) {
        if (value->data.size() % 2) {
            *error = "string data in hex form is UTF-16LE, an even number of bytes";
            return false;
        }
        std::u16string wide;
        for (size_t i = 0; i < value->data.size(); i += 2) {
            wide.push_back(static_cast<char16_t>(value->data[i] | value->data[i + 1] << 8));
        }
        std::string narrow;
        if (!NarrowText(wide, &narrow)) {
            *error = "the string data holds an unpaired UTF-16 surrogate";
            return false;
        }
        value->data.assign(narrow.begin(), narrow.end());
    }
    return true;
}

bool ParseLine(Reader* reader, std::string_view line, std::string* error)
{
    if (line.starts_with("[")) {
        if (!line.ends_with("]")) {
            *error = "a key line ends with ]";
            return false;
        }
        std::string_view name = line.substr(1, line.size() - 2);
        bool removal = name.starts_with("-");
        if (removal) name.remove_prefix(1);
        KeyPath path;
        if (!ParseKeyPath(name, &path, error)) return false;
        if (removal && path.subKey.empty()) {
            *error = "HKEY_LOCAL_MACHINE itself cannot be removed";
            return false;
        }
        reader->changes->push_back(RegChange{removal ? RegChange::kDeleteKey : RegChange::kCreateKey, path, {}});
        reader->inKey = !removal;
        reader->key = path;
        return true;
    }
    if (!line.starts_with("\"") && !line.starts_with("@")) {
        *error = "the line is not a [key], a value or a ; comment";
        return false;
    }
    if (!reader->inKey) {
        *error = "a value comes before any [key] line";
        return false;
    }
    Value value;
    if (line.starts_with("@")) {
        line.remove_prefix(1);
    } else if (!TakeQuoted(&line, &value.name)) {
        *error = "a value name is quoted, with only \\\\ and \\\" escaped";
        return false;
    }
    TrimLeft(&line);
    if (!line.starts_with("=")) {
        *error = "a value name is followed by =";
        return false;
    }
    line.remove_prefix(1);
    TrimLeft(&line);
    if (line == "-") {
        reader->changes->push_back(RegChange{RegChange::kDeleteValue, reader->key, value});
        return true;
    }
    if (!ParseData(*reader, line, &value, error)) return false;
    reader->changes->push_back(RegChange{RegChange::kSetValue, reader->key, value});
    return true;
}

// The next line, trimmed: one that ends in a backslash goes on with the next.
std::string NextLine(std::string_view* rest, size_t* lines)
{
    std::string line;
    for (;;) {
        size_t end = rest->find('\n');
        std::string_view piece = rest->substr(0, end);
        rest->remove_prefix(end == std::string_view::npos ? rest->size() : end + 1);
        ++*lines;
        Trim(&piece);
        if (!piece.ends_with("\\") || rest->empty()) return line.append(piece);
        line.append(piece.substr(0, piece.size() - 1));
    }
}

// The file as bytes of UTF-8 (or of the code page it was written in).
bool DecodeFile(std::string_view file, std::string* text, std::string* error)
{
    if (file.starts_with("\xFF\xFE")) {
        file.remove_prefix(2);
        if (file.size() % 2) {
            *error = "the file is UTF-16LE but has an odd number of bytes";
            return false;
        }
        std::u16string wide;
        for (size_t i = 0; i < file.size(); i += 2) {
            wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(file[i]) |
                                                 static_cast<unsigned char>(file[i + 1]) << 8));
        }
        if (!NarrowText(wide, text)) {
            *error = "the file holds an unpaired UTF-16 surrogate";
            return false;
        }
        return true;
    }
    if (file.starts_with("\xEF\xBB\xBF")) file.remove_prefix(3);
    text->assign(file);
    return true;
}

}  // namespace

bool FormatRegFile(const std::vector<KeyValues>& keys, std::string* file, std::string* error)
{
    std::string text = std::string(kHeader) + "\r\n\r\n";
    for (const KeyValues& key : keys) {
        if (HasLineBreak(key.path.subKey)) {
            *error = "The key " + key.path.Display() + " has a line break in its name and cannot be exported.";
            return false;
        }
        text += '[';
        text += key.path.Display();
        text += "]\r\n";
        for (const Value& value : key.values) {
            if (HasLineBreak(value.name)) {
                *error = "A value of " + key.path.Display() + " has a line break in its name and cannot be exported.";
                return false;
            }
            AppendValue(value, &text);
        }
        text += "\r\n";
    }
    std::vector<BYTE> bytes = Utf16Bytes(WidenBytes(text));
    file->assign("\xFF\xFE");
    file->append(bytes.begin(), bytes.end());
    return true;
}

bool ParseRegFile(std::string_view file, std::vector<RegChange>* changes, std::string* error)
{
    changes->clear();
    std::string text;
    if (!DecodeFile(file, &text, error)) return false;
    Reader reader;
    reader.changes = changes;
    bool headerSeen = false;
    std::string_view rest = text;
    for (size_t lines = 0; !rest.empty();) {
        size_t firstNumber = lines + 1;
        std::string line = NextLine(&rest, &lines);
        std::string_view view = line;
        if (view.empty() || view.starts_with(";")) continue;
        if (!headerSeen) {
            if (view != kHeader && view != kOldHeader) {
                *error = "line " + std::to_string(firstNumber) + ": the file does not start with \"" + kHeader + "\"";
                return false;
            }
            headerSeen = true;
            reader.wideStrings = view == kHeader;
            continue;
        }
        if (!ParseLine(&reader, view, error)) {
            *error = "line " + std::to_string(firstNumber) + ": " + *error;
            return false;
        }
    }
    if (!headerSeen) {
        *error = std::string("the file is empty; a .reg file starts with \"") + kHeader + "\"";
        return false;
    }
    return true;
}

}  // namespace dvregtool
