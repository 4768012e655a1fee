// The one-time import of a state folder written by the earlier folder store:
// registry/ holds a folder per key, named after the key (bytes outside
// printable ASCII, '%', '/' and a leading '.' written as %XX), its values in
// ".values.reg" (registry_value_file.h). Entries of the layer's own (names
// starting with '.': spare value files, keys renamed away while removed) are
// not keys; extended attributes are not needed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/posix/registry_value_file.h"

namespace dvreg {

struct ImportTarget {
    // Adds a key below the key parent (0: the root) whose folded path is
    // parentPath; sets *id. False when it cannot.
    std::function<bool(int64_t parent, const std::string& parentPath, std::string_view name, int64_t* id)> addKey;
    std::function<bool(int64_t key, const Value& value)> addValue;
};

// Hands every key and value of the tree to target, parents first. False at
// the first file that cannot be read or parsed, or a key the target refuses,
// with *failure naming it and saying why.
bool ImportFolderTree(const std::string& tree, const ImportTarget& target, std::string* failure, size_t* keys);

}  // namespace dvreg
