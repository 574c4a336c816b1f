// For tests of limits that the relay counts in whole seconds of time().
#pragma once

#include <chrono>
#include <ctime>
#include <thread>

// Returns just after time() has moved on to a new second, so that limits
// counted in whole seconds of time() fall at known moments after the return.
inline void wait_for_the_next_second()
{
    const std::time_t now = std::time(nullptr);
    while (std::time(nullptr) == now)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}
