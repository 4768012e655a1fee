// The requests that bring the datagram harness's server into the state every
// input starts from: PVMs with both peers attached, with a holder, with
// a voter, and with one peer attached.
#pragma once

#include <cstdint>
#include <vector>

namespace dvfuzz {

// The identity the server runs with and every seed request addresses
// (fuzz/corpus/make_datagram_corpus.py uses the same).
constexpr const char* kHostName = "DVFUZZ";
constexpr const char* kServerId = "0d1e2f30-4152-4637-8899-aabbccddeeff";

// The seeds' keepalive and quorum timeouts (ms): long enough that none of
// their timers fires while an input runs.
constexpr uint32_t kSeedTimeout = 600000;

// Peers: 0 AM1, 1 AM2, 2 a stranger.
struct SeedRequest {
    int peer;
    std::vector<uint8_t> bytes;
};

const std::vector<SeedRequest>& SeedRequests();

}  // namespace dvfuzz
