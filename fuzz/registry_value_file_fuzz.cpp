// The parser of the earlier folder store's value files, which the one-time
// import reads: operators edited these files by hand, so any bytes must either
// be refused or read as values that write back to a file reading as the very
// same values.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/registry_value_file.h"

namespace {

bool SameValues(const std::vector<dvreg::Value>& a, const std::vector<dvreg::Value>& b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].name != b[i].name || a[i].type != b[i].type || a[i].data != b[i].data) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<dvreg::Value> values;
    if (!dvreg::ParseValueFile(text, &values)) return 0;

    std::string written = dvreg::FormatValueFile("HKEY_LOCAL_MACHINE\\SYSTEM\\Fuzz", values);
    std::vector<dvreg::Value> reread;
    if (!dvreg::ParseValueFile(written, &reread) || !SameValues(values, reread)) std::abort();
    return 0;
}
