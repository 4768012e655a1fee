// The message file registered for an event source: the texts of its events.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "win32_types.h"

namespace dveventlog {

class MessageFile {
public:
    MessageFile(std::string path, HMODULE module) : path_(std::move(path)), module_(module) {}
    ~MessageFile();
    MessageFile(const MessageFile&) = delete;
    MessageFile& operator=(const MessageFile&) = delete;

    const std::string& path() const { return path_; }
    // The text for the identifier with its insertion strings in place; false
    // when the file has no such text.
    bool Text(DWORD eventId, const char* const* strings, std::string& text) const;
    // The insertion (1-based) the text puts in braces, "{%N}", as a GUID is
    // written; 0 when it has none.
    unsigned BracedInsertion(DWORD eventId);

private:
    std::string path_;
    HMODULE module_;
    std::mutex mutex_;
    std::map<DWORD, unsigned> braced_;
};

// The EventMessageFile registered for the source in the Application log (the
// first, when several are listed); empty when there is none.
std::string RegisteredMessageFile(const char* source);

// The source's message file, loaded once and kept while its registration names
// the same file; null when none is registered or it does not load. A path
// that does not load (a Windows one) is looked up by its file name alone.
std::shared_ptr<MessageFile> SourceMessageFile(const char* source);

}  // namespace dveventlog
