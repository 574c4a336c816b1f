// The serial port stand-in: a pseudo-terminal pair. The relay opens the slave
// side by its path as if it were the keyboard port; the virtual keyboard
// writes to and reads from the master side. Hanging up (closing the master)
// is what an unplugged keyboard adapter looks like to the relay.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <termios.h>

namespace sim {

class pseudo_terminal {
public:
    // Opens a new pair and puts the slave side in raw mode, so that nothing
    // the keyboard sends is echoed or held back before the relay configures
    // the port itself. Throws std::runtime_error when no pair can be had.
    pseudo_terminal();
    ~pseudo_terminal();
    pseudo_terminal(const pseudo_terminal &) = delete;
    pseudo_terminal &operator=(const pseudo_terminal &) = delete;

    const std::string &port_path() const { return path_; }
    int master() const { return master_; }

    // Reads what the relay has written to the port, without waiting.
    size_t read_available(uint8_t *buf, size_t capacity);
    // Bytes written by the keyboard that the relay has not read yet.
    int pending_for_relay() const;
    // Waits until the relay has read everything written so far.
    bool wait_drained(std::chrono::steady_clock::time_point deadline) const;
    // The port's current settings, as the relay left them.
    termios settings() const;
    // Suspends output on the port (tcflow TCOOFF), as flow control from a
    // keyboard that stopped listening would: the relay's writes no longer
    // go anywhere.
    void stop_output();
    // Closes the master: the relay sees the port hang up.
    void hang_up();
    bool hung_up() const { return master_ < 0; }

private:
    int master_ = -1;
    int slave_ = -1; // kept open so that settings and pending counts can be read
    std::string path_;
};

// Whether two sets of terminal settings agree in every field (termios has
// padding, which tcgetattr need not set, so memcmp cannot tell).
bool same_settings(const termios &a, const termios &b);

} // namespace sim
