// Reading back the event log that the platform layer writes under
// $DORVANE_STATE_DIR, one JSON object per line.
#pragma once

#include <string>
#include <vector>

namespace dvtest {

struct EventRecord {
    std::string time;
    std::string source;
    std::string type;  // "error", "warning", "information", "success", ...
    std::string id;    // "0x4C000005"
    long long category = -1;
    std::vector<std::string> strings;  // as UTF-8
    std::string data;                  // lower-case hex
};

// Parses one line as strict JSON with exactly the record's members; false
// when it is not valid JSON or not a well-formed record.
bool ParseEventRecord(const std::string& line, EventRecord& record);

// The raw lines of $DORVANE_STATE_DIR/eventlog/Application.jsonl (none when
// the file does not exist).
std::vector<std::string> ReadEventLogLines();

// Every record in order; a line that does not parse fails the current test.
std::vector<EventRecord> ReadEventLog();

}  // namespace dvtest
