// The text of an event from the message file registered for its source.
#pragma once

#include <string>

#include "win32_types.h"

namespace dveventlog {

// The text for the identifier with its insertion strings in place; false when
// the source has no registered message file or the file has no such text.
bool RegisteredMessageText(const char* source, DWORD eventId, const char* const* strings, std::string& text);

}  // namespace dveventlog
