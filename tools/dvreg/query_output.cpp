#include "query_output.h"

#include <cstdio>

namespace dvregtool {

namespace {

void PrintValueLine(const std::string& name, const std::string& type, const std::string& data)
{
    std::printf("    %s    %s    %s\n", name.c_str(), type.c_str(), data.c_str());
}

}  // namespace

void PrintKey(const KeyPath& path, const std::vector<Value>& values)
{
    std::printf("\n%s\n", path.Display().c_str());
    for (const Value& value : values) PrintValueLine(DisplayName(value.name), TypeName(value.type), DisplayData(value));
}

void PrintUnsetDefault(const KeyPath& path)
{
    std::printf("\n%s\n", path.Display().c_str());
    PrintValueLine(DisplayName(""), TypeName(REG_SZ), "(value not set)");
}

void PrintSubkeys(const KeyPath& path, const std::vector<std::string>& names)
{
    if (names.empty()) return;
    std::printf("\n");
    for (const std::string& name : names) std::printf("%s\n", path.Child(name).Display().c_str());
}

}  // namespace dvregtool
