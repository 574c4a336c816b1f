#include "runner.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "keytrans.h"

namespace sim {

using namespace std::chrono_literals;
using std::chrono::steady_clock;

namespace {

int ms_until(steady_clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady_clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count()) + 1;
}

// The events that the relay's translation types for ch.
std::vector<key_event> typed_events(char ch)
{
    unsigned char codes[2 * max_events_per_char];
    const int n = char2key(static_cast<unsigned char>(ch), codes);
    std::vector<key_event> events;
    events.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        events.push_back({codes[2 * i], codes[2 * i + 1]});
    return events;
}

// What to execv to run the relay at relay_path with args.
struct relay_command {
    std::string program;
    std::vector<std::string> args;
};

relay_command make_relay_command(const std::string &relay_path, const std::vector<std::string> &args)
{
#ifdef KEYFERRY_RELAY_LAUNCHER
    const std::vector<std::string> launcher{KEYFERRY_RELAY_LAUNCHER};
#else
    const std::vector<std::string> launcher;
#endif
    if (launcher.empty())
        return {relay_path, args};
    relay_command command{launcher.front(), launcher};
    if (launcher.back() == "-0")
        command.args.push_back(args.empty() ? "keyferry" : args.front());
    command.args.push_back(relay_path);
    if (!args.empty())
        command.args.insert(command.args.end(), args.begin() + 1, args.end());
    return command;
}

std::string make_workdir()
{
    char pattern[] = "/tmp/keyferry-sim.XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    return pattern;
}

} // namespace

relay_session::relay_session(virtual_keyboard &keyboard, std::string relay_path,
                             std::vector<std::string> extra_args)
    : keyboard_(keyboard), relay_path_(std::move(relay_path)), extra_args_(std::move(extra_args)),
      dir_(make_workdir()), log_path_(dir_ + "/relay.log"),
      device_(std::make_unique<event_device>(dir_ + "/kbdsim"))
{
    fence_events = typed_events(fence_char);
}

relay_session::~relay_session()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        reap(0);
    }
    device_.reset();
    unlink(log_path_.c_str());
    rmdir(dir_.c_str());
}

bool relay_session::start()
{
    std::vector<std::string> args{"keyferry", "-d", device_->path()};
    for (const std::string &option : keyboard_.relay_options())
        args.push_back(option);
    args.insert(args.end(), extra_args_.begin(), extra_args_.end());
    args.push_back(port_.port_path());

    int log = open(log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (log < 0)
        return false;
    pid_ = spawn_relay(relay_path_, args, log, launch);
    close(log);
    return pid_ > 0;
}

void relay_session::serve_keyboard()
{
    uint8_t heard[4096];
    size_t size = port_.read_available(heard, sizeof heard);
    std::vector<uint8_t> reply;
    keyboard_.serve(heard, size, steady_clock::now(), reply);
    if (!reply.empty())
        write_port(reply.data(), reply.size(), steady_clock::now() + 2s);
}

void relay_session::pump(int timeout_ms)
{
    pollfd fds[2] = {{device_->fd(), POLLIN, 0}, {port_.master(), POLLIN, 0}};
    int count = port_.hung_up() ? 1 : 2;
    poll(fds, static_cast<nfds_t>(count), timeout_ms);
    device_->read_events(events_);
    if (!port_.hung_up())
        serve_keyboard();
}

bool relay_session::pump_until(const std::function<bool()> &done, std::chrono::milliseconds limit)
{
    const auto deadline = steady_clock::now() + limit;
    for (;;) {
        if (done())
            return true;
        if (steady_clock::now() >= deadline)
            return false;
        // Wake at least every 50 ms so that a keyboard can answer late.
        pump(std::min(ms_until(deadline), 50));
    }
}

bool relay_session::write_port(const uint8_t *data, size_t size, steady_clock::time_point deadline)
{
    while (size > 0) {
        if (port_.hung_up())
            return false;
        ssize_t put = write(port_.master(), data, size);
        if (put > 0) {
            data += put;
            size -= static_cast<size_t>(put);
            continue;
        }
        if (put < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (steady_clock::now() >= deadline)
            return false;
        // The relay may be blocked writing events that nobody reads: read
        // them while waiting for room on the line.
        pollfd fds[2] = {{port_.master(), POLLOUT, 0}, {device_->fd(), POLLIN, 0}};
        poll(fds, 2, ms_until(deadline));
        device_->read_events(events_);
    }
    return true;
}

bool relay_session::send(const std::vector<uint8_t> &bytes, const send_plan &plan)
{
    const auto deadline = steady_clock::now() + 30s;
    std::vector<size_t> cuts = plan.splits;
    std::sort(cuts.begin(), cuts.end());
    cuts.push_back(bytes.size());
    const auto byte_time = std::chrono::nanoseconds(10'000'000'000LL / keyboard_.line_rate());
    const auto started = steady_clock::now();
    size_t at = 0;
    for (size_t cut : cuts) {
        cut = std::min(cut, bytes.size());
        if (cut <= at)
            continue;
        if (at > 0 && !plan.line_rate) {
            // A split only counts if the relay has read the first piece
            // before the next one arrives.
            if (!pump_until([&] { return port_.pending_for_relay() == 0; }, 10s))
                return false;
        }
        if (plan.line_rate) {
            for (; at < cut; ++at) {
                std::this_thread::sleep_until(started + byte_time * static_cast<long>(at));
                if (!write_port(&bytes[at], 1, deadline))
                    return false;
                device_->read_events(events_);
            }
        } else {
            if (!write_port(&bytes[at], cut - at, deadline))
                return false;
            at = cut;
        }
    }
    device_->read_events(events_);
    return true;
}

bool relay_session::wait_fence(steady_clock::time_point deadline)
{
    auto found = [&] {
        return !fence_events.empty() && std::search(events_.begin(), events_.end(), fence_events.begin(),
                                                    fence_events.end()) != events_.end();
    };
    return pump_until(found,
                      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady_clock::now()));
}

bool relay_session::wait_ready(std::chrono::milliseconds limit)
{
    const auto deadline = steady_clock::now() + limit;
    // A relay that gave up (a keyboard that never answered) ends the wait.
    auto gone = [&] { return pid_ <= 0 || reap(WNOHANG) >= 0; };
    if (!pump_until([&] { return !keyboard_.initialising() || gone(); }, limit) || gone())
        return false;

    // Bytes that reach the port before the relay loop runs are discarded,
    // so probe until one of them comes through.
    std::vector<uint8_t> probe;
    keyboard_.encode(std::string_view(&probe_char, 1), probe);
    events_.clear();
    while (events_.empty()) {
        if (steady_clock::now() >= deadline || gone() || !send(probe))
            return false;
        pump_until([&] { return !events_.empty(); }, 100ms);
    }
    // Probes still on their way arrive before the fence.
    std::vector<uint8_t> fence;
    keyboard_.encode(std::string_view(&fence_char, 1), fence);
    if (!send(fence) || !wait_fence(deadline))
        return false;
    startup_events_ = take_events();
    return true;
}

bool relay_session::type_and_collect(std::string_view text, std::vector<key_event> &events,
                                     const send_plan &plan, std::chrono::milliseconds limit)
{
    const auto deadline = steady_clock::now() + limit;
    std::vector<uint8_t> bytes;
    if (text.find(fence_char) != std::string_view::npos || !keyboard_.encode(text, bytes))
        return false;
    keyboard_.encode(std::string_view(&fence_char, 1), bytes);
    events_.clear();
    if (!send(bytes, plan) || !wait_fence(deadline))
        return false;
    // Everything up to the fence's own events is the text's.
    events.assign(events_.begin(),
                  std::search(events_.begin(), events_.end(), fence_events.begin(), fence_events.end()));
    events_.clear();
    return true;
}

bool relay_session::wait_for_events(size_t count, std::chrono::milliseconds limit)
{
    return pump_until([&] { return events_.size() >= count; }, limit);
}

std::vector<key_event> relay_session::take_events()
{
    std::vector<key_event> taken;
    taken.swap(events_);
    return taken;
}

int relay_session::reap(int options)
{
    int status = 0;
    rusage usage{};
    pid_t got = wait4(pid_, &status, options, &usage);
    if (got != pid_)
        return -1;
    pid_ = -1;
    cpu_seconds_ = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
}

int relay_session::wait_exit(std::chrono::milliseconds limit)
{
    if (pid_ <= 0)
        return status_;
    pump_until([&] { return reap(WNOHANG) >= 0; }, limit);
    return pid_ > 0 ? -1 : status_;
}

int relay_session::hang_up(std::chrono::milliseconds limit)
{
    port_.hang_up();
    return wait_exit(limit);
}

double relay_session::cpu_seconds_so_far() const
{
    std::ifstream schedstat("/proc/" + std::to_string(pid_) + "/schedstat");
    long long ns = 0;
    schedstat >> ns;
    return static_cast<double>(ns) / 1e9;
}

std::string relay_session::messages() const
{
    std::ifstream log(log_path_);
    std::ostringstream text;
    text << log.rdbuf();
    return text.str();
}

std::unique_ptr<relay_session> start_ready_relay(virtual_keyboard &keyboard, const std::string &relay_path,
                                                 std::vector<std::string> extra_args)
{
    auto relay = std::make_unique<relay_session>(keyboard, relay_path, std::move(extra_args));
    if (!relay->start() || !relay->wait_ready())
        return nullptr;
    return relay;
}

pid_t spawn_relay(const std::string &relay_path, const std::vector<std::string> &args, int output,
                  launch_options options)
{
    relay_command command = make_relay_command(relay_path, args);
    std::vector<char *> argv;
    for (std::string &arg : command.args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        dup2(output, 1);
        dup2(output, 2);
        if (options.close_standard_input)
            close(0);
        for (std::string &entry : options.environment)
            putenv(entry.data());
        for (int sig : options.ignored_signals)
            std::signal(sig, SIG_IGN);
        // A relay that a test ends with SIGQUIT must not leave a core file.
        const rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        execv(command.program.c_str(), argv.data());
        std::fprintf(stderr, "keyferry-sim: exec %s: %s\n", command.program.c_str(), std::strerror(errno));
        _exit(127);
    }
    return pid;
}

std::string default_relay_path()
{
    char self[4096];
    ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    if (len <= 0)
        return "keyferry";
    std::string path(self, static_cast<size_t>(len));
    return path.substr(0, path.rfind('/') + 1) + "keyferry";
}

} // namespace sim
