#include "support/event_log.h"

#include <cstdlib>
#include <fstream>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

namespace dvtest {

namespace {

std::string EventLogPath()
{
    const char* stateDir = std::getenv("DORVANE_STATE_DIR");
    return std::string(stateDir ? stateDir : "/var/lib/dorvane") + "/eventlog/Application.jsonl";
}

}  // namespace

bool ParseEventRecord(const std::string& line, EventRecord& record)
{
    // Strict: invalid JSON or UTF-8 gives a discarded value, never an exception.
    nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
    if (object.is_discarded() || !object.is_object() || object.size() != 7) return false;
    const char* const texts[] = {"time", "source", "type", "id", "data"};
    std::string* fields[] = {&record.time, &record.source, &record.type, &record.id, &record.data};
    for (size_t i = 0; i < 5; ++i) {
        auto member = object.find(texts[i]);
        if (member == object.end() || !member->is_string()) return false;
        *fields[i] = member->get<std::string>();
    }
    auto category = object.find("category");
    auto strings = object.find("strings");
    if (category == object.end() || !category->is_number_unsigned()) return false;
    if (strings == object.end() || !strings->is_array()) return false;
    record.category = category->get<long long>();
    record.strings.clear();
    for (const nlohmann::json& text : *strings) {
        if (!text.is_string()) return false;
        record.strings.push_back(text.get<std::string>());
    }
    return true;
}

std::vector<std::string> ReadEventLogLines()
{
    std::vector<std::string> lines;
    std::ifstream file(EventLogPath(), std::ios::binary);
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
}

std::vector<EventRecord> ReadEventLog()
{
    std::vector<EventRecord> records;
    for (const std::string& line : ReadEventLogLines()) {
        EventRecord record;
        if (!ParseEventRecord(line, record)) {
            ADD_FAILURE() << "malformed event-log line: " << line;
            continue;
        }
        records.push_back(record);
    }
    return records;
}

}  // namespace dvtest
