// A table of IPv4 address ranges for deciding quickly whether a source
// address is one of a list of addresses and CIDR blocks. The ranges are kept
// sorted and disjoint (overlapping and adjacent entries are merged), so a
// lookup is a binary search whatever the length of the list.
#pragma once

#include <cstdint>

#include "platform/win32.h"

struct QSS_ADDRESS_RANGE {
    uint32_t first; // host order, inclusive
    uint32_t last;  // host order, inclusive
};

struct QSS_PEER_FILTER {
    QSS_ADDRESS_RANGE* ranges; // from the process heap; NULL when count is 0
    DWORD count;               // ranges
    DWORD entries;             // the list's entries they were made of
};

// The longest entry worth quoting back in a report, terminator included.
constexpr size_t QSS_PEER_ENTRY_TEXT_SIZE = 64;

// Parses "a.b.c.d" or "a.b.c.d/n" (four decimal parts 0-255, n 0-32, nothing
// else, no blanks). The block's address may have host bits set; they are
// ignored, as routers do. TRUE with the inclusive range.
BOOL qssParseAddressEntry(const char* text, QSS_ADDRESS_RANGE* range);

// Builds the table from the strings of a REG_MULTI_SZ image of size bytes:
// the list ends at the first empty string or at the end of the data, and
// text after that empty string is refused as "an empty entry" (an entry left
// out by mistake). FALSE leaves the filter empty and copies the offending
// entry (cut to fit) into badEntry; "out of memory" when the table cannot be
// had.
BOOL qssBuildPeerFilter(const char* multiString, DWORD size, QSS_PEER_FILTER* filter, char* badEntry,
                        size_t badEntrySize);

// TRUE when the host-order address lies in one of the ranges.
BOOL qssPeerFilterContains(const QSS_PEER_FILTER* filter, uint32_t address);

void qssFreePeerFilter(QSS_PEER_FILTER* filter);
