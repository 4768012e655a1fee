// The subkeys of one key folder by name in any case, kept in memory so that a
// key about to be made need not read a parent of thousands of subkeys to learn
// that no other spelling of its name exists.
//
// The index is used only while the folder's state (registry_key_folder.h) is
// the one it was built or last updated at, and is built anew otherwise.
#pragma once

#include <string_view>

#include "platform/posix/registry_key_folder.h"

namespace dvreg {

// The subkey named so in any case, the exact spelling looked for first; ENOENT
// when there is none. Where the folder keeps no generation, its entries are read.
int LookUpSubkey(int dirFd, std::string_view name, Subkey* found);

// After this process made (added) or removed a subkey under the parent's lock:
// before is the parent's state read under that lock ahead of the change.
void NoteSubkeyChange(int parentFd, const FolderState& before, const Subkey& subkey, bool added);

}  // namespace dvreg
