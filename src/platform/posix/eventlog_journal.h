// Events in the systemd journal, with fields an operator can filter on.
#pragma once

#include "eventlog_message_file.h"
#include "eventlog_record.h"

namespace dveventlog {

// Sends the record to the journal: MESSAGE (the text from the message file, or
// the identifier and strings when there is none), PRIORITY (from the event
// type), SYSLOG_IDENTIFIER (the source), DORVANE_EVENT_ID (8 hex digits) and,
// when the text names a PVM by its GUID, DORVANE_PVM. Without a journal it
// does nothing.
void SendToJournal(const Record& record, MessageFile* messages);

}  // namespace dveventlog
