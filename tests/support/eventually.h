// Waiting for what another thread or process does, without timing assertions.
#pragma once

#include <chrono>
#include <thread>

namespace dvtest {

// Polls until the condition holds; generous, since the machine may be busy.
// False when it still does not hold at the limit.
template <typename Condition>
bool Eventually(Condition condition, std::chrono::seconds limit = std::chrono::seconds(30))
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace dvtest
