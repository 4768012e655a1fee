// What every harness that runs the server's own code needs: a private state
// folder, and a system log left alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

struct sockaddr_in;

namespace dvfuzz {

// Points $DORVANE_STATE_DIR at a fresh folder (on a memory file system when
// there is one, so that flushes cost little), removed when the process ends.
// Returns the folder.
const std::string& UsePrivateStateDir();

// Empties the registry and the event log of the private state folder, so that
// each input starts from the same state and the log does not grow without end.
void ClearStateDir();

// Fills a receive buffer of QSS_MAX_PACKET_SIZE bytes as the server thread
// does; false for a datagram above that size, which never reaches the checks.
// With seal, length and checksum are fixed, so that a mutated body reaches
// its handler.
bool FillReceiveBuffer(uint8_t* buffer, const uint8_t* bytes, size_t size, bool seal);

// A UDP socket bound to address and a free port, its address in *bound; -1
// when it cannot be had.
int BindUdp(const char* address, struct sockaddr_in* bound);

// The datagrams of an input: each is a flags byte, a little-endian 16-bit
// size and that many bytes (cut at the input's end).
void ForEachDatagram(const uint8_t* data, size_t size,
                     const std::function<void(uint8_t flags, const uint8_t* bytes, size_t length)>& deliver);

// Lets every timer callback end, runs afterTimers (to read what they sent),
// then goes back to a server that has just started: no timer, no record, no
// persisted state. False when the timer queue cannot be deleted or made.
bool ResetServer(const std::function<void()>& afterTimers);

}  // namespace dvfuzz
