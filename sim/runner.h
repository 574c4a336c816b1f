// Runs the real keyferry binary between the stand-ins: a pseudo-terminal as
// its keyboard port and a FIFO as its simulator device, with a virtual
// keyboard on the far side of the port. Every wait is bounded and ends as
// soon as the relay has done what is awaited; none sleeps a fixed time.
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "event_device.h"
#include "keyboards.h"
#include "keychars.h"
#include "pty.h"

namespace sim {

// How bytes go onto the line: at the keyboard's line rate or as fast as the
// port takes them, and cut into pieces that the relay must read separately
// (each split point is an offset into the bytes sent).
struct send_plan {
    bool line_rate = false;
    std::vector<size_t> splits;
};

// Characters the runner types to find out where the relay's output stands:
// probes until the relay answers at all, a fence to mark the end of a batch.
constexpr char probe_char = static_cast<char>(EXT_HOME);
constexpr char fence_char = static_cast<char>(EXT_END);

// What a relay starts with besides its command line.
struct launch_options {
    // With its standard input closed, so that the first descriptor it opens is 0.
    bool close_standard_input = false;
    // "NAME=value" entries added to its environment.
    std::vector<std::string> environment;
    // Signals it starts with ignored, as nohup starts a program.
    std::vector<int> ignored_signals;
};

// Starts the relay at relay_path with args (args[0] is the name it runs
// under) in a child process whose standard output and error go to output,
// and returns the child's process id, or -1 when there is none. A relay
// built for another machine runs through the emulator it was built with,
// which the build names in front of the path.
pid_t spawn_relay(const std::string &relay_path, const std::vector<std::string> &args, int output,
                  launch_options options = {});

class relay_session {
public:
    // extra_args come after the mode options and before the port path.
    relay_session(virtual_keyboard &keyboard, std::string relay_path,
                  std::vector<std::string> extra_args = {});
    ~relay_session();
    relay_session(const relay_session &) = delete;
    relay_session &operator=(const relay_session &) = delete;

    // Starts the relay as launch says; false if it could not be started.
    bool start();
    launch_options launch;
    // The events the fence arrives as: by default those that the relay's
    // translation types for fence_char.
    std::vector<key_event> fence_events;
    // Serves the keyboard's initialisation, then probes until the relay
    // injects, and discards everything up to a fence.
    bool wait_ready(std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Puts bytes on the line, reading events meanwhile so that neither side
    // can block the other.
    bool send(const std::vector<uint8_t> &bytes, const send_plan &plan = {});
    // Types text and then a fence, and collects the events before the fence.
    // Text must not hold the fence character.
    bool type_and_collect(std::string_view text, std::vector<key_event> &events, const send_plan &plan = {},
                          std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Reads events until at least count have been collected.
    bool wait_for_events(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Reads events and serves the keyboard until done() or the limit.
    bool pump_until(const std::function<bool()> &done, std::chrono::milliseconds limit);
    // Events read and not yet taken.
    std::vector<key_event> take_events();
    const std::vector<key_event> &events() const { return events_; }
    // Events that wait_ready read and set aside: the probes' own, and any
    // the relay injected before them.
    const std::vector<key_event> &startup_events() const { return startup_events_; }

    // Hangs up the port and waits for the relay to end; returns its exit
    // status, 128 + signal if a signal ended it, -1 if it did not end.
    int hang_up(std::chrono::milliseconds limit = std::chrono::seconds(5));
    // Waits for the relay to end on its own; same results as hang_up.
    int wait_exit(std::chrono::milliseconds limit);
    bool running() const { return pid_ > 0; }
    // Processor time the relay used, once it has ended.
    double cpu_seconds() const { return cpu_seconds_; }
    // Processor time the running relay has used so far.
    double cpu_seconds_so_far() const;

    // Everything the relay wrote to its standard error stream so far.
    std::string messages() const;
    pseudo_terminal &port() { return port_; }
    event_device &device() { return *device_; }
    pid_t pid() const { return pid_; }

private:
    void pump(int timeout_ms);
    bool wait_fence(std::chrono::steady_clock::time_point deadline);
    bool write_port(const uint8_t *data, size_t size, std::chrono::steady_clock::time_point deadline);
    void serve_keyboard();
    int reap(int options);

    virtual_keyboard &keyboard_;
    std::string relay_path_;
    std::vector<std::string> extra_args_;
    std::string dir_;
    std::string log_path_;
    pseudo_terminal port_;
    std::unique_ptr<event_device> device_;
    std::vector<key_event> events_;
    std::vector<key_event> startup_events_;
    pid_t pid_ = -1;
    int status_ = -1;
    double cpu_seconds_ = 0;
};

// Starts a relay for keyboard and waits until it injects; null when it could
// not be started or never became ready (its messages then tell why).
std::unique_ptr<relay_session> start_ready_relay(virtual_keyboard &keyboard, const std::string &relay_path,
                                                 std::vector<std::string> extra_args = {});

// Where keyferry-sim and the tests find the relay when not told: beside the
// running program.
std::string default_relay_path();

} // namespace sim
