#include "Qss/net/peer_filter.h"

#include <algorithm>
#include <cstring>

namespace {

// A decimal number of at most maxDigits digits, no sign, no leading zero
// unless it is 0 itself (so "010" cannot mean eight to one reader and ten to
// another). Moves *text past it.
BOOL qssParseDecimal(const char** text, DWORD maxValue, DWORD* value)
{
    const char* p = *text;
    if (*p < '0' || *p > '9') return FALSE;
    if (p[0] == '0' && p[1] >= '0' && p[1] <= '9') return FALSE;
    DWORD number = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        number = number * 10 + (DWORD)(*p - '0');
        if (number > maxValue) return FALSE;
    }
    *text = p;
    *value = number;
    return TRUE;
}

void qssCopyEntryText(const char* entry, size_t length, char* out, size_t outSize)
{
    if (outSize == 0) return;
    size_t copied = length < outSize - 1 ? length : outSize - 1;
    memcpy(out, entry, copied);
    out[copied] = '\0';
}

}  // namespace

BOOL qssParseAddressEntry(const char* text, QSS_ADDRESS_RANGE* range)
{
    uint32_t address = 0;
    for (int part = 0; part < 4; ++part) {
        DWORD byte;
        if (part > 0 && *text++ != '.') return FALSE;
        if (!qssParseDecimal(&text, 255, &byte)) return FALSE;
        address = (address << 8) | byte;
    }
    DWORD prefix = 32;
    if (*text == '/') {
        ++text;
        if (!qssParseDecimal(&text, 32, &prefix)) return FALSE;
    }
    if (*text != '\0') return FALSE;
    // A shift by 32 is undefined: /0 is spelled out.
    uint32_t hostBits = prefix == 0 ? 0xFFFFFFFFu : (uint32_t)((1ull << (32 - prefix)) - 1);
    range->first = address & ~hostBits;
    range->last = address | hostBits;
    return TRUE;
}

BOOL qssBuildPeerFilter(const char* multiString, DWORD size, QSS_PEER_FILTER* filter, char* badEntry,
                        size_t badEntrySize)
{
    *filter = QSS_PEER_FILTER{NULL, 0, 0};
    if (badEntrySize > 0) badEntry[0] = '\0';

    // Counted first, so the table is allocated once.
    DWORD entries = 0;
    for (DWORD pos = 0; pos < size && multiString[pos] != '\0';) {
        ++entries;
        while (pos < size && multiString[pos] != '\0') ++pos;
        ++pos;
    }
    if (entries == 0) return TRUE;
    HANDLE heap = GetProcessHeap();
    QSS_ADDRESS_RANGE* ranges =
        heap ? (QSS_ADDRESS_RANGE*)HeapAlloc(heap, 0, entries * (SIZE_T)sizeof(QSS_ADDRESS_RANGE)) : NULL;
    if (ranges == NULL) {
        StringCbCopyA(badEntry, badEntrySize, "out of memory");
        return FALSE;
    }

    DWORD count = 0;
    DWORD pos = 0;
    while (pos < size && multiString[pos] != '\0') {
        const char* entry = multiString + pos;
        size_t length = 0;
        while (pos + length < size && entry[length] != '\0') ++length;
        char text[QSS_PEER_ENTRY_TEXT_SIZE];
        // Longer than any valid entry: refused without parsing.
        BOOL fits = length < sizeof(text);
        if (fits) qssCopyEntryText(entry, length, text, sizeof(text));
        if (!fits || !qssParseAddressEntry(text, &ranges[count])) {
            qssCopyEntryText(entry, length, badEntry, badEntrySize);
            HeapFree(heap, 0, ranges);
            return FALSE;
        }
        ++count;
        pos += (DWORD)length + 1;
    }
    // Text after the empty string that ends the list: an entry left out by mistake.
    for (DWORD rest = pos; rest < size; ++rest) {
        if (multiString[rest] != '\0') {
            StringCbCopyA(badEntry, badEntrySize, "an empty entry");
            HeapFree(heap, 0, ranges);
            return FALSE;
        }
    }

    std::sort(ranges, ranges + count,
              [](const QSS_ADDRESS_RANGE& a, const QSS_ADDRESS_RANGE& b) { return a.first < b.first; });
    DWORD merged = 0;
    for (DWORD i = 0; i < count; ++i) {
        // Overlapping or adjacent (the previous one ends just before): one range.
        if (merged > 0 && (ranges[merged - 1].last == 0xFFFFFFFFu || ranges[i].first <= ranges[merged - 1].last + 1)) {
            ranges[merged - 1].last = std::max(ranges[merged - 1].last, ranges[i].last);
        } else {
            ranges[merged++] = ranges[i];
        }
    }
    *filter = QSS_PEER_FILTER{ranges, merged, count};
    return TRUE;
}

BOOL qssPeerFilterContains(const QSS_PEER_FILTER* filter, uint32_t address)
{
    // The last range that starts at or before the address is the only candidate.
    DWORD low = 0;
    DWORD high = filter->count;
    while (low < high) {
        DWORD middle = low + (high - low) / 2;
        if (filter->ranges[middle].first <= address) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low > 0 && address <= filter->ranges[low - 1].last;
}

void qssFreePeerFilter(QSS_PEER_FILTER* filter)
{
    if (filter->ranges != NULL) HeapFree(GetProcessHeap(), 0, filter->ranges);
    *filter = QSS_PEER_FILTER{NULL, 0, 0};
}
