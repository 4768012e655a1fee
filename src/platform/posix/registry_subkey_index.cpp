#include "platform/posix/registry_subkey_index.h"

#include <cerrno>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace dvreg {
namespace {

// One folder's index: the parent a service makes its keys under is the one
// that matters, and a second folder only takes its place.
struct SubkeyIndex {
    bool current = false;
    FolderState state;
    std::unordered_map<std::string, std::string> folderByUpperName;
};

std::mutex gIndexLock;
SubkeyIndex gIndex;

std::string UpperName(std::string_view name)
{
    std::string upper(name);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return upper;
}

bool IndexHolds(const FolderState& state) { return gIndex.current && SameFolderState(gIndex.state, state); }

// Lists the folder into the index; the index stays unused when the folder
// changed while it was listed.
int Rebuild(int dirFd, const FolderState& before)
{
    gIndex.current = false;
    gIndex.folderByUpperName.clear();
    std::vector<Subkey> subkeys;
    if (int err = ListSubkeys(dirFd, &subkeys)) return err;
    for (Subkey& subkey : subkeys) gIndex.folderByUpperName[UpperName(subkey.name)] = std::move(subkey.folder);
    FolderState after;
    gIndex.current = ReadFolderState(dirFd, &after) == 0 && SameFolderState(before, after);
    gIndex.state = after;
    return 0;
}

}  // namespace

int LookUpSubkey(int dirFd, std::string_view name, Subkey* found)
{
    if (FindSubkeyAsSpelled(dirFd, name, found) == 0) return 0;
    FolderState now;
    if (ReadFolderState(dirFd, &now) != 0) return ScanForSubkey(dirFd, name, found);
    std::lock_guard<std::mutex> guard(gIndexLock);
    if (!IndexHolds(now)) {
        if (int err = Rebuild(dirFd, now)) return err;
    }
    auto hit = gIndex.folderByUpperName.find(UpperName(name));
    if (hit == gIndex.folderByUpperName.end()) return ENOENT;
    found->folder = hit->second;
    return KeyNameFromFolder(found->folder, &found->name) ? 0 : ENOENT;
}

void NoteSubkeyChange(int parentFd, const FolderState& before, const Subkey& subkey, bool added)
{
    std::lock_guard<std::mutex> guard(gIndexLock);
    FolderState after;
    // Only the one change made here may lie between the two states. A folder
    // with too many subfolders to count them (or that never counts them) has
    // one link, and keeps it.
    nlink_t links = before.links == 1 ? 1 : added ? before.links + 1 : before.links - 1;
    bool followsIndex = IndexHolds(before) && ReadFolderState(parentFd, &after) == 0 &&
                        after.generation == before.generation + 1 && after.links == links;
    if (!followsIndex) {
        gIndex.current = false;
        return;
    }
    if (added) {
        gIndex.folderByUpperName[UpperName(subkey.name)] = subkey.folder;
    } else {
        gIndex.folderByUpperName.erase(UpperName(subkey.name));
    }
    gIndex.state = after;
}

}  // namespace dvreg
