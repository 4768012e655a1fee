#include "text_encoding.h"

namespace dvregtool {

namespace {

// The length of the well-formed UTF-8 sequence at the start of s (and its code
// point), or 0: overlong forms, surrogates and code points past U+10FFFF are not.
size_t Utf8Sequence(std::string_view s, char32_t* point)
{
    unsigned char lead = static_cast<unsigned char>(s[0]);
    size_t length;
    char32_t min;
    if (lead < 0x80) {
        *point = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, min = 0x80, *point = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, min = 0x800, *point = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, min = 0x10000, *point = lead & 0x07;
    } else {
        return 0;
    }
    if (s.size() < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        unsigned char next = static_cast<unsigned char>(s[i]);
        if ((next & 0xC0) != 0x80) return 0;
        *point = (*point << 6) | (next & 0x3F);
    }
    bool surrogate = *point >= 0xD800 && *point <= 0xDFFF;
    return (*point < min || *point > 0x10FFFF || surrogate) ? 0 : length;
}

void AppendUtf8(char32_t point, std::string* out)
{
    if (point < 0x80) {
        out->push_back(static_cast<char>(point));
    } else if (point < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (point >> 6)));
        out->push_back(static_cast<char>(0x80 | (point & 0x3F)));
    } else if (point < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (point >> 12)));
        out->push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (point & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (point >> 18)));
        out->push_back(static_cast<char>(0x80 | ((point >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (point & 0x3F)));
    }
}

}  // namespace

std::u16string WidenBytes(std::string_view bytes)
{
    std::u16string text;
    while (!bytes.empty()) {
        char32_t point;
        size_t length = Utf8Sequence(bytes, &point);
        if (length == 0) {
            text.push_back(static_cast<char16_t>(0xDC00 + static_cast<unsigned char>(bytes[0])));
            length = 1;
        } else if (point >= 0x10000) {
            text.push_back(static_cast<char16_t>(0xD800 + ((point - 0x10000) >> 10)));
            text.push_back(static_cast<char16_t>(0xDC00 + ((point - 0x10000) & 0x3FF)));
        } else {
            text.push_back(static_cast<char16_t>(point));
        }
        bytes.remove_prefix(length);
    }
    return text;
}

bool NarrowText(std::u16string_view text, std::string* bytes)
{
    bytes->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t unit = text[i];
        bool high = unit >= 0xD800 && unit <= 0xDBFF;
        if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00), bytes);
            ++i;
        } else if (unit >= 0xDC80 && unit <= 0xDCFF) {
            bytes->push_back(static_cast<char>(unit - 0xDC00));
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            return false;
        } else {
            AppendUtf8(unit, bytes);
        }
    }
    return true;
}

}  // namespace dvregtool
