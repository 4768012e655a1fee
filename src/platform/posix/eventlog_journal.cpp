#include "eventlog_journal.h"

#include <sys/uio.h>
#include <syslog.h>
#include <systemd/sd-journal.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/win32.h"

namespace dveventlog {

namespace {

int Priority(WORD type)
{
    switch (type) {
    case EVENTLOG_ERROR_TYPE:
    case EVENTLOG_AUDIT_FAILURE: return LOG_ERR;
    case EVENTLOG_WARNING_TYPE: return LOG_WARNING;
    case EVENTLOG_SUCCESS: return LOG_NOTICE;
    default: return LOG_INFO;
    }
}

// The message file's text with Windows' line breaks made the journal's and
// without the trailing ones; else the identifier and the insertion strings.
std::string MessageText(const Record& record, const MessageFile* messages)
{
    std::string formatted;
    std::string text;
    if (messages && messages->Text(record.eventId, record.strings, formatted)) {
        for (char c : formatted) {
            if (c != '\r') text += c;
        }
    } else {
        char id[16];
        snprintf(id, sizeof id, "0x%08X", record.eventId);
        text = std::string("Event ") + id;
        for (WORD i = 0; i < record.stringCount; ++i) {
            text += i ? " | " : ": ";
            if (record.strings[i]) text += record.strings[i];
        }
    }
    size_t end = text.find_last_not_of(" \n");
    text.erase(end == std::string::npos ? 0 : end + 1);
    return text;
}

bool IsGuidText(const char* text)
{
    if (!text || std::strlen(text) != 36) return false;
    for (int i = 0; i < 36; ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        char c = text[i];
        bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (dash ? c != '-' : !hex) return false;
    }
    return true;
}

// The PVM's GUID text: the insertion the event's text shows in braces. Other
// insertions (an AM's identity) come from peers and may look like anything.
const char* PvmText(const Record& record, MessageFile* messages)
{
    if (!messages) return nullptr;
    unsigned insertion = messages->BracedInsertion(record.eventId);
    if (insertion == 0 || insertion > record.stringCount) return nullptr;
    const char* text = record.strings[insertion - 1];
    return IsGuidText(text) ? text : nullptr;
}

}  // namespace

void SendToJournal(const Record& record, MessageFile* messages)
{
    char id[32];
    char priority[16];
    snprintf(id, sizeof id, "DORVANE_EVENT_ID=%08X", record.eventId);
    snprintf(priority, sizeof priority, "PRIORITY=%d", Priority(record.type));
    std::string message = "MESSAGE=" + MessageText(record, messages);
    std::string identifier = std::string("SYSLOG_IDENTIFIER=") + record.source;
    std::string pvm;
    if (const char* text = PvmText(record, messages)) pvm = std::string("DORVANE_PVM=") + text;

    const std::string* fields[] = {&message, &identifier, &pvm};
    iovec parts[5];
    int count = 0;
    for (const std::string* field : fields) {
        if (field->empty()) continue;
        parts[count++] = {const_cast<char*>(field->data()), field->size()};
    }
    parts[count++] = {id, std::strlen(id)};
    parts[count++] = {priority, std::strlen(priority)};
    // libsystemd opens its socket to the journal at the first send, guarded by
    // an atomic of its own that the thread sanitizer cannot see; the first send
    // made once, before any other, orders that opening before every later send.
    static std::once_flag opened;
    bool sent = false;
    std::call_once(opened, [&] {
        sd_journal_sendv(parts, count);
        sent = true;
    });
    if (!sent) sd_journal_sendv(parts, count);
}

}  // namespace dveventlog
