// What the service manager and the service process share: where a service's
// definition and run-time files live, the status it publishes, whether its
// process lives, and the messages of its control channel.
#pragma once

#include <string>
#include <sys/un.h>

#include "platform/win32.h"

namespace dvservice {

extern const char kServicesKey[];

// Names as Windows accepts them: 1 to 256 characters, no slash or backslash.
bool ValidServiceName(const char* name);

// $DORVANE_STATE_DIR/run/<name in lower case><suffix>; the folder is created on demand.
std::string RunDir();
std::string RunFile(const std::string& name, const char* suffix);

struct PublishedStatus {
    SERVICE_STATUS status;
    DWORD processId;
};

PublishedStatus StoppedStatus(DWORD win32ExitCode);
// Replaces the status file atomically. Returns a Win32 error code.
DWORD WriteStatus(const std::string& name, const PublishedStatus& published);
void RemoveStatus(const std::string& name);

// A service process, or a start in progress, holds a lock on the service's
// lock file for its whole life; the kernel drops it when the process ends.
int OpenLockFile(const std::string& name);
// Returns 0 when taken, EAGAIN when another process holds it, else an errno.
int TryLock(int fd);
bool LockHeld(const std::string& name);

// The status as anyone sees it: a service whose process ended without
// reporting SERVICE_STOPPED reads as stopped with ERROR_PROCESS_ABORTED.
PublishedStatus CurrentStatus(const std::string& name);
// Its process lives and has not reported SERVICE_STOPPED.
bool IsActive(const std::string& name);

// The service's key when it holds a service definition (a Type value).
LSTATUS OpenServiceKey(const std::string& name, REGSAM access, HKEY* key);
bool ServiceExists(const std::string& name);
bool MarkedForDeletion(const std::string& name);
// Removes the definition with every subkey, and the published status.
DWORD DeleteServiceNow(const std::string& name);
// Finishes a deletion that waited for the service to stop.
void CompleteDeletionIfStopped(const std::string& name);

// The control channel: a sequenced-packet Unix socket in the run folder, one
// request and one reply per connection. False when the path does not fit.
bool ControlAddress(const std::string& name, sockaddr_un* address);
// How long a manager waits for a service process to connect or to answer, as Windows does.
const int kServiceTimeoutMs = 30000;

struct ControlRequest {
    DWORD control;
    DWORD eventType;
};
struct ControlReply {
    DWORD error;
    SERVICE_STATUS status;
};

// Environment through which StartServiceA hands a service process its channel.
extern const char kNameVariable[];
extern const char kChannelVariable[];

}  // namespace dvservice
