// The reader of .reg files that dvreg imports: files come from other machines
// and from editors, so any bytes must either be refused or read as changes
// whose values export to a file that reads back as the very same values.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "reg_file.h"

namespace {

bool SameValues(const std::vector<dvregtool::RegChange>& a, const std::vector<dvregtool::RegChange>& b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const dvregtool::Value& x = a[i].value;
        const dvregtool::Value& y = b[i].value;
        if (a[i].key.subKey != b[i].key.subKey || x.name != y.name || x.type != y.type || x.data != y.data)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view file(reinterpret_cast<const char*>(data), size);
    std::vector<dvregtool::RegChange> changes;
    std::string error;
    if (!dvregtool::ParseRegFile(file, &changes, &error)) return 0;

    // The values set, each under its key, as an export writes them.
    std::vector<dvregtool::KeyValues> keys;
    std::vector<dvregtool::RegChange> sets;
    for (const dvregtool::RegChange& change : changes) {
        if (change.kind != dvregtool::RegChange::kSetValue) continue;
        if (keys.empty() || keys.back().path.subKey != change.key.subKey) keys.push_back({change.key, {}});
        keys.back().values.push_back(change.value);
        sets.push_back(change);
    }
    std::string written;
    if (!dvregtool::FormatRegFile(keys, &written, &error)) return 0;
    std::vector<dvregtool::RegChange> reread, resets;
    if (!dvregtool::ParseRegFile(written, &reread, &error)) std::abort();
    for (const dvregtool::RegChange& change : reread) {
        if (change.kind == dvregtool::RegChange::kSetValue) resets.push_back(change);
    }
    if (!SameValues(sets, resets)) std::abort();
    return 0;
}
