// Stamps of parts of the registry, for a caller that keeps what it read of
// one (the event log keeps its sources' message files) and must see a change
// without reading the registry again on every use.
#pragma once

#include <cstdint>

namespace dvreg {

// Equal stamps of a subtree, both known, mean that nothing at or below it
// changed in between: not by this process (its changes are counted), nor by
// another (none can change the database while this one holds it).
struct SubtreeStamp {
    uint64_t epoch = 0; // the hold's, 0 when the database was not held: nothing is known
    uint64_t changes = 0;
    bool Known() const { return epoch != 0; }
    bool operator==(const SubtreeStamp& other) const = default;
};

// The stamp of the key at path below HKEY_LOCAL_MACHINE and of its subtree.
// Asks the database nothing and, but for a path's first stamp, takes no lock.
// A path that is not a valid key path has no known stamp.
SubtreeStamp StampOfSubtree(const char* path);

}  // namespace dvreg
