// Measures the real relay against the floor of what the machine allows: key
// latency and burst throughput beside a floor relay that only selects, reads
// and writes one event per byte; processor time idle and in a failed
// handshake; memory, heap allocations after start-up and binary size.
//
// usage: relay-bench RELAY FLOOR-RELAY ALLOC-COUNTER-LIBRARY
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "event_device.h"
#include "keyboards.h"
#include "keytrans.h"
#include "runner.h"

namespace {

using bytes = std::vector<uint8_t>;
using std::chrono::steady_clock;
using namespace std::chrono_literals;

double seconds_since(steady_clock::time_point start)
{
    return std::chrono::duration<double>(steady_clock::now() - start).count();
}

// The events the floor relay writes for bytes: a press of each byte's value.
std::vector<sim::key_event> floor_events(const bytes &line)
{
    std::vector<sim::key_event> events;
    for (uint8_t b : line)
        events.push_back({b, 1});
    return events;
}

// One relay process between a pseudo-terminal and a FIFO, started by the
// stand-ins' runner, which also puts the bytes on the line and reads the
// events back. keyferry types the runner's fence; the floor relay, which
// only echoes bytes as presses, is told what its fence looks like.
class relay_process {
public:
    relay_process(const std::string &binary, sim::virtual_keyboard &keyboard, bool floor,
                  const std::string &preload = "", const std::string &alloc_log = "")
        : session_(keyboard, binary)
    {
        if (!preload.empty())
            session_.launch.environment = {"LD_PRELOAD=" + preload, "KEYFERRY_ALLOC_LOG=" + alloc_log};
        if (floor) {
            bytes fence;
            keyboard.encode(std::string_view(&sim::fence_char, 1), fence);
            session_.fence_events = floor_events(fence);
        }
        if (!session_.start())
            throw std::runtime_error("cannot start " + binary);
    }

    sim::relay_session &session() { return session_; }

    void ready()
    {
        if (!session_.wait_ready(15s))
            throw std::runtime_error("a relay did not come up");
    }

    long peak_rss_kb() const
    {
        std::ifstream status("/proc/" + std::to_string(session_.pid()) + "/status");
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
void time_keys(sim::relay_session &relay, const bytes &key, size_t events_per_key, int count,
               std::vector<double> &samples)
{
    for (int i = 0; i < count; ++i) {
        auto start = steady_clock::now();
        if (!relay.send(key) || !relay.wait_for_events(1, 2s))
            throw std::runtime_error("a key got lost");
        samples.push_back(std::chrono::duration<double, std::micro>(steady_clock::now() - start).count());
        if (!relay.wait_for_events(events_per_key, 2s))
            throw std::runtime_error("an event got lost");
        relay.take_events();
    }
}

struct subject {
    std::string binary;
    sim::virtual_keyboard *keyboard;
    bool floor;
    bytes key;
    size_t key_events;
};

// Key latency of two relays, measured in alternating rounds so that both
// see the same machine.
std::pair<latency, latency> compare_latency(const subject &a, const subject &b, int keys)
{
    relay_process ra(a.binary, *a.keyboard, a.floor), rb(b.binary, *b.keyboard, b.floor);
    ra.ready();
    rb.ready();
    std::vector<double> sa, sb;
    const int rounds = 8;
    for (int r = 0; r < rounds; ++r) {
        time_keys(ra.session(), a.key, a.key_events, keys / rounds, sa);
        time_keys(rb.session(), b.key, b.key_events, keys / rounds, sb);
    }
    ra.finish();
    rb.finish();
    return {percentiles(sa), percentiles(sb)};
}

// Sends all of input as fast as the port takes it while reading events,
// until expected events have arrived; returns the seconds taken.
double burst(sim::relay_session &relay, const bytes &input, size_t expected)
{
    auto start = steady_clock::now();
    if (!relay.send(input) || !relay.wait_for_events(expected, 30s))
        throw std::runtime_error("the burst stalled");
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

// The language fixes main's parameters.
// cppcheck-suppress constParameter
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
            const bytes key = encode(*kb, "a");
            subject ours{relay, kb, false, key, 2};
            subject base{floor, kb, true, key, key.size()};
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
            relay_process r(relay, *cradle, false, counter, alloc_log);
            r.ready();
            ours_s = burst(r.session(), scan_codes, event_count);
            sim::event_decoder decoder;
            decoder.feed(r.session().take_events());
            if (decoder.text() != text || !decoder.faults().empty())
                throw std::runtime_error("the burst did not arrive intact and in order");
            peak_kb = r.peak_rss_kb();
            r.finish();
            burst_allocs = read_count(alloc_log);
        }
        unlink(alloc_log.c_str());
        {
            relay_process r(relay, *cradle, false, counter, alloc_log);
            r.ready();
            r.finish();
            idle_allocs = read_count(alloc_log);
        }
        unlink(alloc_log.c_str());
        {
            relay_process f(floor, raw, true);
            f.ready();
            floor_s = burst(f.session(), bytes(event_count, 'q'), event_count);
            f.finish();
        }
        row("burst, 100,000 chars (chars/s)", fmt("%.0f", 100000 / ours_s), fmt("%.0f", 100000 / floor_s),
            fmt("%.2f", ours_s / floor_s), "time <= 1.25x");
        row("burst events written", fmt("%.0f", static_cast<double>(event_count)),
            fmt("%.0f", static_cast<double>(event_count)), "", "");

        // Idle: ten seconds with nothing on the line.
        {
            relay_process r(relay, raw, false);
            r.ready();
            double before = r.session().cpu_seconds_so_far();
            std::this_thread::sleep_for(10s);
            double used = r.session().cpu_seconds_so_far() - before;
            row("idle processor time per 10 s (ms)", fmt("%.3f", used * 1e3), "", "", "< 10");
            r.finish();
        }

        // A handshake with a keyboard that never answers.
        {
            sim::irkb101_keyboard silent(true, sim::irkb101_keyboard_behaviour::silent());
            relay_process r(relay, silent, false);
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
