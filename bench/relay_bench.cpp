// Measures the real relay against the floor of what the machine allows: key
// latency and burst throughput beside a floor relay that only selects, reads
// and writes one event per byte; processor time idle and in a failed
// handshake; memory, heap allocations after start-up and binary size.
//
// usage: relay-bench RELAY FLOOR-RELAY ALLOC-COUNTER-LIBRARY
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "event_device.h"
#include "keyboards.h"
#include "keychars.h"
#include "keytrans.h"
#include "pty.h"
#include "runner.h"

namespace {

using bytes = std::vector<uint8_t>;
using std::chrono::steady_clock;
using namespace std::chrono_literals;

double seconds_since(steady_clock::time_point start)
{
    return std::chrono::duration<double>(steady_clock::now() - start).count();
}

// One relay process between a pseudo-terminal and a FIFO, started by the
// stand-ins' runner. The measurements write to the port and read the
// device's events themselves, as raw bytes, so that nothing but the relay
// stands between them.
class relay_process {
public:
    relay_process(const std::string &binary, sim::virtual_keyboard &keyboard, const std::string &preload = "",
                  const std::string &alloc_log = "")
        : session_(keyboard, binary)
    {
        if (!preload.empty())
            session_.environment = {"LD_PRELOAD=" + preload, "KEYFERRY_ALLOC_LOG=" + alloc_log};
        if (!session_.start())
            throw std::runtime_error("cannot start " + binary);
    }

    sim::pseudo_terminal &port() { return session_.port(); }
    int device_fd() { return session_.device().fd(); }
    pid_t pid() const { return session_.pid(); }

    void put(const bytes &data)
    {
        size_t at = 0;
        while (at < data.size()) {
            ssize_t n = write(port().master(), data.data() + at, data.size() - at);
            if (n > 0) {
                at += static_cast<size_t>(n);
            } else {
                pollfd pfd{port().master(), POLLOUT, 0};
                poll(&pfd, 1, 100);
            }
        }
    }

    // Reads whatever events are pending, as raw bytes.
    size_t drain(bytes &into)
    {
        uint8_t buf[65536];
        size_t total = 0;
        for (ssize_t n; (n = read(device_fd(), buf, sizeof buf)) > 0; total += static_cast<size_t>(n))
            into.insert(into.end(), buf, buf + n);
        return total;
    }

    bool wait_device(int timeout_ms)
    {
        pollfd pfd{device_fd(), POLLIN, 0};
        return poll(&pfd, 1, timeout_ms) > 0;
    }

    // Probes until the relay loop runs, then sends a marker and discards
    // everything up to the marker's first event. (The runner's own wait
    // would not do: the floor relay types no fence.)
    bool ready(const bytes &probe, const bytes &marker, uint8_t marker_code)
    {
        const auto deadline = steady_clock::now() + 15s;
        bytes seen;
        while (seen.empty()) {
            if (steady_clock::now() > deadline)
                return false;
            put(probe);
            if (wait_device(100))
                drain(seen);
        }
        put(marker);
        for (size_t i = 0;; i += 2) {
            while (seen.size() < i + 2) {
                if (steady_clock::now() > deadline || !wait_device(1000))
                    return false;
                drain(seen);
            }
            if (seen[i] == marker_code)
                break;
        }
        // The marker's remaining events follow at once; let them land.
        while (wait_device(50))
            drain(seen);
        return true;
    }

    double cpu_seconds() const { return session_.cpu_seconds_so_far(); }

    long peak_rss_kb() const
    {
        std::ifstream status("/proc/" + std::to_string(pid()) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("VmHWM:", 0) == 0)
                return std::strtol(line.c_str() + 6, nullptr, 10);
        return -1;
    }

    // Hangs up (unless the relay ended by itself) and returns the processor
    // time it used, in seconds.
    double finish()
    {
        session_.hang_up();
        return session_.cpu_seconds();
    }

    // Waits for the relay to end by itself; returns the processor time it
    // used, in seconds.
    double wait_exit()
    {
        session_.wait_exit(10s);
        return session_.cpu_seconds();
    }

private:
    sim::relay_session session_;
};

struct latency {
    double p50_us = 0, p99_us = 0;
};

latency percentiles(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) {
        return samples[static_cast<size_t>(q * static_cast<double>(samples.size() - 1))];
    };
    return {at(0.50), at(0.99)};
}

// Writes one key's bytes and times the first event's arrival; then reads
// the key's remaining events so that the next key starts clean.
void time_keys(relay_process &relay, const bytes &key, size_t event_bytes, int count,
               std::vector<double> &samples)
{
    bytes got;
    for (int i = 0; i < count; ++i) {
        got.clear();
        auto start = steady_clock::now();
        relay.put(key);
        if (!relay.wait_device(2000))
            throw std::runtime_error("a key got lost");
        samples.push_back(std::chrono::duration<double, std::micro>(steady_clock::now() - start).count());
        relay.drain(got);
        while (got.size() < event_bytes) {
            if (!relay.wait_device(2000))
                throw std::runtime_error("an event got lost");
            relay.drain(got);
        }
    }
}

struct subject {
    std::string binary;
    sim::virtual_keyboard *keyboard;
    bytes probe, marker, key;
    uint8_t marker_code;
    size_t key_event_bytes;
};

// Key latency of two relays, measured in alternating rounds so that both
// see the same machine.
std::pair<latency, latency> compare_latency(const subject &a, const subject &b, int keys)
{
    relay_process ra(a.binary, *a.keyboard), rb(b.binary, *b.keyboard);
    if (!ra.ready(a.probe, a.marker, a.marker_code) || !rb.ready(b.probe, b.marker, b.marker_code))
        throw std::runtime_error("a relay did not come up");
    std::vector<double> sa, sb;
    const int rounds = 8;
    for (int r = 0; r < rounds; ++r) {
        time_keys(ra, a.key, a.key_event_bytes, keys / rounds, sa);
        time_keys(rb, b.key, b.key_event_bytes, keys / rounds, sb);
    }
    ra.finish();
    rb.finish();
    return {percentiles(sa), percentiles(sb)};
}

// Sends all of input as fast as the port takes it while reading events,
// until expected_bytes of events have arrived; returns the seconds taken.
double burst(relay_process &relay, const bytes &input, size_t expected_bytes, bytes &events)
{
    events.clear();
    events.reserve(expected_bytes);
    size_t at = 0;
    auto start = steady_clock::now();
    while (events.size() < expected_bytes) {
        pollfd fds[2] = {{relay.device_fd(), POLLIN, 0}, {relay.port().master(), POLLOUT, 0}};
        nfds_t count = at < input.size() ? 2 : 1;
        if (poll(fds, count, 5000) <= 0)
            throw std::runtime_error("the burst stalled");
        if (at < input.size() && (fds[1].revents & POLLOUT)) {
            ssize_t n =
                write(relay.port().master(), input.data() + at, std::min<size_t>(input.size() - at, 4096));
            if (n > 0)
                at += static_cast<size_t>(n);
        }
        relay.drain(events);
    }
    return seconds_since(start);
}

std::string sample_text(size_t length)
{
    const std::string line =
        "The quick brown fox jumps over the lazy dog; PACK MY BOX with 5 dozen jugs? (1+2=3) ";
    std::string text;
    while (text.size() < length)
        text += line;
    text.resize(length);
    return text;
}

size_t events_for(const std::string &text)
{
    size_t events = 0;
    unsigned char buf[event_buffer_size];
    for (char c : text)
        events += static_cast<size_t>(char2key(static_cast<unsigned char>(c), buf));
    return events;
}

long read_count(const std::string &path)
{
    std::ifstream in(path);
    long count = -1;
    in >> count;
    return count;
}

long stripped_size(const std::string &binary)
{
    std::string copy = "/tmp/keyferry-bench-stripped";
    std::string tool = "strip", flag = "-o", input = binary;
    char *argv[] = {tool.data(), flag.data(), copy.data(), input.data(), nullptr};
    pid_t pid = 0;
    int status = 0;
    if (posix_spawnp(&pid, "strip", nullptr, nullptr, argv, environ) != 0 ||
        waitpid(pid, &status, 0) != pid || status != 0)
        return -1;
    struct stat st {};
    stat(copy.c_str(), &st);
    unlink(copy.c_str());
    return static_cast<long>(st.st_size);
}

void row(const char *what, const std::string &relay, const std::string &floor, const std::string &ratio,
         const std::string &target)
{
    std::printf("| %s | %s | %s | %s | %s |\n", what, relay.c_str(), floor.c_str(), ratio.c_str(),
                target.c_str());
}

std::string fmt(const char *format, double value)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, format, value);
    return buf;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: relay-bench RELAY FLOOR-RELAY ALLOC-COUNTER-LIBRARY\n");
        return 2;
    }
    const std::string relay = argv[1], floor = argv[2], counter = argv[3];
    std::signal(SIGPIPE, SIG_IGN);
    try {
        auto cradle = sim::make_keyboard("cradle");
        auto encode = [&](sim::virtual_keyboard &kb, const std::string &text) {
            bytes out;
            if (!kb.encode(text, out))
                throw std::runtime_error("cannot type the sample text");
            return out;
        };
        sim::raw_keyboard raw;
        const int keys = 2000;

        std::printf("| measure | keyferry | floor relay | ratio | target |\n|---|---|---|---|---|\n");

        // Key latency, raw and cradle, each beside the floor fed the same bytes.
        for (auto *kb : {static_cast<sim::virtual_keyboard *>(&raw), cradle.get()}) {
            bytes probe = encode(*kb, "a"), marker = encode(*kb, "z");
            subject ours{relay, kb, probe, marker, probe, KEY_Z, 4};
            subject base{floor, kb, probe, marker, probe, marker[0], 2 * probe.size()};
            auto [mine, theirs] = compare_latency(ours, base, keys);
            std::string name = std::string("key latency p50, ") + std::string(kb->mode()) + " (us)";
            row(name.c_str(), fmt("%.1f", mine.p50_us), fmt("%.1f", theirs.p50_us),
                fmt("%.2f", mine.p50_us / theirs.p50_us), "<= 1.5");
            name = std::string("key latency p99, ") + std::string(kb->mode()) + " (us)";
            row(name.c_str(), fmt("%.1f", mine.p99_us), fmt("%.1f", theirs.p99_us),
                fmt("%.2f", mine.p99_us / theirs.p99_us), "");
        }

        // Burst: 100,000 characters of cradle scan codes, all arriving in order.
        const std::string text = sample_text(100000);
        const bytes scan_codes = encode(*cradle, text);
        const size_t event_count = events_for(text);
        const std::string alloc_log = "/tmp/keyferry-bench-allocs";
        unlink(alloc_log.c_str());
        double ours_s, floor_s;
        long peak_kb;
        long burst_allocs, idle_allocs;
        {
            relay_process r(relay, *cradle, counter, alloc_log);
            if (!r.ready(encode(*cradle, "a"), encode(*cradle, "z"), KEY_Z))
                throw std::runtime_error("relay did not come up");
            bytes events;
            ours_s = burst(r, scan_codes, 2 * event_count, events);
            std::vector<sim::key_event> decoded_events;
            for (size_t i = 0; i + 1 < events.size(); i += 2)
                decoded_events.push_back({events[i], events[i + 1]});
            sim::event_decoder decoder;
            decoder.feed(decoded_events);
            if (decoder.text() != text || !decoder.faults().empty())
                throw std::runtime_error("the burst did not arrive intact and in order");
            peak_kb = r.peak_rss_kb();
            r.finish();
            burst_allocs = read_count(alloc_log);
        }
        unlink(alloc_log.c_str());
        {
            relay_process r(relay, *cradle, counter, alloc_log);
            if (!r.ready(encode(*cradle, "a"), encode(*cradle, "z"), KEY_Z))
                throw std::runtime_error("relay did not come up");
            r.finish();
            idle_allocs = read_count(alloc_log);
        }
        unlink(alloc_log.c_str());
        {
            relay_process f(floor, raw);
            const bytes probe{'a'}, marker{'z'};
            if (!f.ready(probe, marker, 'z'))
                throw std::runtime_error("floor relay did not come up");
            bytes events;
            floor_s = burst(f, bytes(event_count, 'q'), 2 * event_count, events);
            f.finish();
        }
        row("burst, 100,000 chars (chars/s)", fmt("%.0f", 100000 / ours_s), fmt("%.0f", 100000 / floor_s),
            fmt("%.2f", ours_s / floor_s), "time <= 1.25x");
        row("burst events written", fmt("%.0f", static_cast<double>(event_count)),
            fmt("%.0f", static_cast<double>(event_count)), "", "");

        // Idle: ten seconds with nothing on the line.
        {
            relay_process r(relay, raw);
            if (!r.ready({'a'}, {'z'}, KEY_Z))
                throw std::runtime_error("relay did not come up");
            double before = r.cpu_seconds();
            std::this_thread::sleep_for(10s);
            double used = r.cpu_seconds() - before;
            row("idle processor time per 10 s (ms)", fmt("%.3f", used * 1e3), "", "", "< 10");
            r.finish();
        }

        // A handshake with a keyboard that never answers.
        {
            sim::irkb101_keyboard silent(true, sim::irkb101_keyboard_behaviour::silent());
            relay_process r(relay, silent);
            auto start = steady_clock::now();
            double cpu_ms = r.wait_exit() * 1e3;
            double wall = seconds_since(start);
            row("failed handshake processor time (ms)", fmt("%.2f", cpu_ms), "", "", "< 50");
            row("failed handshake wall time (s)", fmt("%.2f", wall), "", "", "5 to 6");
        }

        row("peak resident memory, burst (KiB)", fmt("%.0f", static_cast<double>(peak_kb)), "", "", "< 4096");
        row("heap allocations after start-up", fmt("%.0f", static_cast<double>(burst_allocs - idle_allocs)),
            "", "", "0");
        row("heap allocations in all (start-up)", fmt("%.0f", static_cast<double>(idle_allocs)), "", "", "");
        row("stripped binary (bytes)", fmt("%.0f", static_cast<double>(stripped_size(relay))),
            fmt("%.0f", static_cast<double>(stripped_size(floor))), "", "");
    } catch (const std::exception &e) {
        std::fprintf(stderr, "relay-bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
