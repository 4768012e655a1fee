#include "support/event_log.h"

#include <cstdlib>
#include <fstream>
#include <map>

#include <gtest/gtest.h>

namespace dvtest {

namespace {

// A strict recursive-descent reader of the JSON subset records use: objects,
// arrays, strings and non-negative integers.
class JsonReader {
public:
    explicit JsonReader(const std::string& text) : text_(text) {}

    bool AtEnd() const { return pos_ == text_.size(); }

    bool Expect(char c)
    {
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }

    bool String(std::string& out)
    {
        out.clear();
        if (!Expect('"')) return false;
        while (pos_ < text_.size()) {
            unsigned char c = static_cast<unsigned char>(text_[pos_++]);
            if (c == '"') return true;
            if (c < 0x20) return false;
            if (c == '\\') {
                if (!Escape(out)) return false;
            } else if (c < 0x80) {
                out += static_cast<char>(c);
            } else if (!Utf8(c, out)) {
                return false;
            }
        }
        return false;
    }

    bool Integer(long long& out)
    {
        size_t start = pos_;
        while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
        if (pos_ == start || (text_[start] == '0' && pos_ - start > 1)) return false;
        out = std::stoll(text_.substr(start, pos_ - start));
        return true;
    }

    bool StringArray(std::vector<std::string>& out)
    {
        out.clear();
        if (!Expect('[')) return false;
        if (Expect(']')) return true;
        do {
            std::string item;
            if (!String(item)) return false;
            out.push_back(item);
        } while (Expect(','));
        return Expect(']');
    }

private:
    static void AppendUtf8(unsigned codePoint, std::string& out)
    {
        if (codePoint < 0x80) {
            out += static_cast<char>(codePoint);
        } else if (codePoint < 0x800) {
            out += static_cast<char>(0xC0 | (codePoint >> 6));
            out += static_cast<char>(0x80 | (codePoint & 0x3F));
        } else if (codePoint < 0x10000) {
            out += static_cast<char>(0xE0 | (codePoint >> 12));
            out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (codePoint & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (codePoint >> 18));
            out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (codePoint & 0x3F));
        }
    }

    bool Hex4(unsigned& out)
    {
        if (pos_ + 4 > text_.size()) return false;
        out = 0;
        for (int i = 0; i < 4; ++i) {
            char c = text_[pos_++];
            unsigned digit;
            if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
            else return false;
            out = out * 16 + digit;
        }
        return true;
    }

    bool Escape(std::string& out)
    {
        if (pos_ >= text_.size()) return false;
        char c = text_[pos_++];
        switch (c) {
        case '"': out += '"'; return true;
        case '\\': out += '\\'; return true;
        case '/': out += '/'; return true;
        case 'b': out += '\b'; return true;
        case 'f': out += '\f'; return true;
        case 'n': out += '\n'; return true;
        case 'r': out += '\r'; return true;
        case 't': out += '\t'; return true;
        case 'u': break;
        default: return false;
        }
        unsigned codePoint;
        if (!Hex4(codePoint)) return false;
        if (codePoint >= 0xDC00 && codePoint <= 0xDFFF) return false;
        if (codePoint >= 0xD800 && codePoint <= 0xDBFF) {
            unsigned low;
            if (!Expect('\\') || !Expect('u') || !Hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
            codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (low - 0xDC00);
        }
        AppendUtf8(codePoint, out);
        return true;
    }

    bool Utf8(unsigned char lead, std::string& out)
    {
        size_t length;
        unsigned codePoint;
        if (lead >= 0xC2 && lead <= 0xDF) length = 2, codePoint = lead & 0x1F;
        else if (lead >= 0xE0 && lead <= 0xEF) length = 3, codePoint = lead & 0x0F;
        else if (lead >= 0xF0 && lead <= 0xF4) length = 4, codePoint = lead & 0x07;
        else return false;
        if (pos_ + length - 1 > text_.size()) return false;
        for (size_t i = 1; i < length; ++i) {
            unsigned char next = static_cast<unsigned char>(text_[pos_++]);
            if ((next & 0xC0) != 0x80) return false;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        static const unsigned smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (codePoint < smallest[length] || codePoint > 0x10FFFF) return false;
        if (codePoint >= 0xD800 && codePoint <= 0xDFFF) return false;
        AppendUtf8(codePoint, out);
        return true;
    }

    const std::string& text_;
    size_t pos_ = 0;
};

std::string EventLogPath()
{
    const char* stateDir = std::getenv("DORVANE_STATE_DIR");
    return std::string(stateDir ? stateDir : "/var/lib/dorvane") + "/eventlog/Application.jsonl";
}

}  // namespace

bool ParseEventRecord(const std::string& line, EventRecord& record)
{
    JsonReader reader(line);
    std::map<std::string, bool> seen;
    if (!reader.Expect('{')) return false;
    do {
        std::string name;
        if (!reader.String(name) || !reader.Expect(':') || seen[name]) return false;
        seen[name] = true;
        bool ok;
        if (name == "time") ok = reader.String(record.time);
        else if (name == "source") ok = reader.String(record.source);
        else if (name == "type") ok = reader.String(record.type);
        else if (name == "id") ok = reader.String(record.id);
        else if (name == "category") ok = reader.Integer(record.category);
        else if (name == "strings") ok = reader.StringArray(record.strings);
        else if (name == "data") ok = reader.String(record.data);
        else return false;
        if (!ok) return false;
    } while (reader.Expect(','));
    return reader.Expect('}') && reader.AtEnd() && seen.size() == 7;
}

std::vector<std::string> ReadEventLogLines()
{
    std::vector<std::string> lines;
    std::ifstream file(EventLogPath(), std::ios::binary);
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
}

std::vector<EventRecord> ReadEventLog()
{
    std::vector<EventRecord> records;
    for (const std::string& line : ReadEventLogLines()) {
        EventRecord record;
        if (!ParseEventRecord(line, record)) {
            ADD_FAILURE() << "malformed event-log line: " << line;
            continue;
        }
        records.push_back(record);
    }
    return records;
}

}  // namespace dvtest
