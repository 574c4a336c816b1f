// kf-probe: the system test's helper inside the ARM guest. It attaches the
// kernel's own PS/2 serial keyboard driver to a UART, reads an input device's
// key map and declared keys, records the events of an input device, of a
// keyboard simulator FIFO or of a terminal in the background, waits for a
// record to reach a given length, finds an input device by name and hangs
// up a terminal. Every message has the form "kf-probe: object: reason".
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <linux/input.h>
#include <linux/kd.h>
#include <linux/keyboard.h>
#include <linux/serio.h>
#include <linux/uinput.h>
#include <sched.h>
#include <string>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

[[noreturn]] void die(const std::string &object, const std::string &reason)
{
    std::fprintf(stderr, "kf-probe: %s: %s\n", object.c_str(), reason.c_str());
    std::exit(1);
}

[[noreturn]] void die_errno(const std::string &object, const char *what)
{
    die(object, std::string(what) + ": " + std::strerror(errno));
}

[[noreturn]] void usage()
{
    std::fprintf(stderr,
                 "usage: kf-probe attach TTY\n"
                 "       kf-probe find [-p PHYS] [-t MS] NAME\n"
                 "       kf-probe keymap DEV\n"
                 "       kf-probe keybits DEV\n"
                 "       kf-probe consolemap TTY\n"
                 "       kf-probe events [-g] DEV OUT\n"
                 "       kf-probe kbdsim FIFO OUT\n"
                 "       kf-probe bytes OUT   (reads its standard input)\n"
                 "       kf-probe wait [-t MS] FILE LINES | wait [-t MS] -l TEXT FILE\n"
                 "       kf-probe hangup TTY\n"
                 "       kf-probe uinput-hold [-r] NAME CODE...\n");
    std::exit(2);
}

// A whole decimal number from the command line, or the usage.
long number(const std::string &text)
{
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0)
        die(text, "not a number");
    return value;
}

int open_or_die(const std::string &path, int flags)
{
    int fd = open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0)
        die_errno(path, "open");
    return fd;
}

// A record starts empty and is appended to, so that the caller may empty
// it between two phases while the recorder runs.
int open_output(const std::string &path)
{
    return open_or_die(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND);
}

// Writes all of text, retrying short writes.
void put(int fd, std::string_view text, const std::string &object)
{
    while (!text.empty()) {
        ssize_t n = write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            die_errno(object, "write");
        text.remove_prefix(static_cast<size_t>(n));
    }
}

volatile sig_atomic_t stop_requested = 0;
void request_stop(int) { stop_requested = 1; }

// Lets the recorder end cleanly on SIGTERM or SIGHUP: a blocked read returns
// EINTR, the loop sees the flag and the record is complete up to then.
void stop_on_signals()
{
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

// Splits into a parent that prints the child's process id and exits 0 and a
// child that goes on recording with its descriptors already open, so that
// once the shell has the id the recorder is known to be reading.
void go_background()
{
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid < 0)
        die_errno("fork", "fork");
    if (pid > 0) {
        std::printf("%d\n", static_cast<int>(pid));
        std::exit(0);
    }
    setsid();
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        if (null > STDERR_FILENO)
            close(null);
    }
}

// Sets the PS/2 serial line discipline and port type, then reads: the
// serio port exists while a read is pending on the terminal, and the read
// returns when the terminal hangs up or the process is stopped.
int cmd_attach(const std::vector<std::string> &args)
{
    if (args.size() != 1)
        usage();
    const std::string &tty = args[0];
    int fd = open_or_die(tty, O_RDWR | O_NOCTTY);
    int ldisc = N_MOUSE;
    if (ioctl(fd, TIOCSETD, &ldisc) != 0)
        die_errno(tty, "TIOCSETD N_MOUSE");
    unsigned long type = SERIO_PS2SER;
    if (ioctl(fd, SPIOCSTYPE, &type) != 0)
        die_errno(tty, "SPIOCSTYPE SERIO_PS2SER");
    std::fprintf(stderr, "kf-probe: %s: attached\n", tty.c_str());
    unsigned char byte;
    for (;;) {
        ssize_t n = read(fd, &byte, 1);
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    return 0;
}

std::string read_line(const std::string &path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// Prints /dev/input/eventN of the first event device whose input device is
// named NAME (and whose physical path starts with PHYS), waiting up to MS
// milliseconds for it to appear.
int cmd_find(const std::vector<std::string> &args)
{
    std::string phys;
    int timeout_ms = 0;
    size_t k = 0;
    for (; k + 1 < args.size(); k += 2) {
        if (args[k] == "-p")
            phys = args[k + 1];
        else if (args[k] == "-t")
            timeout_ms = static_cast<int>(number(args[k + 1]));
        else
            break;
    }
    if (k + 1 != args.size())
        usage();
    const std::string &name = args[k];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        for (int n = 0; n < 64; ++n) {
            const std::string sys = "/sys/class/input/event" + std::to_string(n) + "/device/";
            if (read_line(sys + "name") != name)
                continue;
            if (!phys.empty() && read_line(sys + "phys").rfind(phys, 0) != 0)
                continue;
            std::printf("/dev/input/event%d\n", n);
            return 0;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            die(name, "no such input device");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// One line "INDEX CODE" for every index 0 to 511 whose key code is not 0,
// as the kernel's EVIOCGKEYCODE reports it.
int cmd_keymap(const std::vector<std::string> &args)
{
    if (args.size() != 1)
        usage();
    int fd = open_or_die(args[0], O_RDONLY);
    int listed = 0;
    for (unsigned idx = 0; idx < 512; ++idx) {
        unsigned int pair[2] = {idx, 0};
        if (ioctl(fd, EVIOCGKEYCODE, pair) != 0)
            die_errno(args[0], ("EVIOCGKEYCODE " + std::to_string(idx)).c_str());
        if (pair[1] != 0) {
            std::printf("%u %u\n", idx, pair[1]);
            ++listed;
        }
    }
    std::fprintf(stderr, "kf-probe: %s: %d indices mapped\n", args[0].c_str(), listed);
    return 0;
}

// The console's keymap for every key code 0 to 255 that types anything:
// "CODE PLAIN SHIFT CTRL SHIFTCTRL", each the keysym (type << 8 | value, in
// hexadecimal) that KDGKBENT reports for that modifier table.
int cmd_consolemap(const std::vector<std::string> &args)
{
    if (args.size() != 1)
        usage();
    int fd = open_or_die(args[0], O_RDONLY);
    const unsigned char tables[4] = {0, 1 << KG_SHIFT, 1 << KG_CTRL, (1 << KG_SHIFT) | (1 << KG_CTRL)};
    for (unsigned code = 0; code < NR_KEYS; ++code) {
        unsigned short sym[4];
        bool types = false;
        for (int t = 0; t < 4; ++t) {
            kbentry entry{tables[t], static_cast<unsigned char>(code), 0};
            if (ioctl(fd, KDGKBENT, &entry) != 0)
                die_errno(args[0], "KDGKBENT");
            sym[t] = entry.kb_value;
            types = types || KTYP(sym[t]) != KT_SPEC || KVAL(sym[t]) != 0; // not a hole
        }
        if (types)
            std::printf("%u %04x %04x %04x %04x\n", code, sym[0], sym[1], sym[2], sym[3]);
    }
    return 0;
}

// The key codes the device declares (EVIOCGBIT EV_KEY), one a line.
int cmd_keybits(const std::vector<std::string> &args)
{
    if (args.size() != 1)
        usage();
    int fd = open_or_die(args[0], O_RDONLY);
    unsigned char bits[KEY_MAX / 8 + 1] = {};
    if (ioctl(fd, EVIOCGBIT(EV_KEY, sizeof bits), bits) < 0)
        die_errno(args[0], "EVIOCGBIT EV_KEY");
    for (unsigned code = 0; code <= KEY_MAX; ++code)
        if (bits[code / 8] & (1u << (code % 8)))
            std::printf("%u\n", code);
    return 0;
}

// Records the device's key events in the background, one line each:
// "key CODE VALUE"; "dropped" where the kernel reports SYN_DROPPED (events
// were lost because the reader fell behind); "sync VALUE" for a SYN_REPORT,
// the end of a report (value 1 ends the kernel's own report of the keys it
// releases when a device goes away); "gone" when the device went away.
// With -g the device is grabbed, so that no other handler (the console's
// keyboard, SysRq) sees its keys. The recorder runs at a real-time
// priority: on the guest's one processor it then reads each event as soon
// as the writer's system call returns, before the writer can remove the
// device, and it never falls behind a burst.
int cmd_events(const std::vector<std::string> &args)
{
    bool grab = false;
    size_t k = 0;
    if (!args.empty() && args[0] == "-g") {
        grab = true;
        k = 1;
    }
    if (args.size() != k + 2)
        usage();
    const std::string &dev = args[k];
    const std::string &out_path = args[k + 1];
    int fd = open_or_die(dev, O_RDONLY);
    if (grab && ioctl(fd, EVIOCGRAB, 1) != 0)
        die_errno(dev, "EVIOCGRAB");
    int out = open_output(out_path);
    go_background();
    stop_on_signals();
    sched_param priority{};
    priority.sched_priority = 50;
    if (sched_setscheduler(0, SCHED_FIFO, &priority) != 0)
        die_errno(dev, "SCHED_FIFO");
    input_event ev[64];
    while (!stop_requested) {
        ssize_t n = read(fd, ev, sizeof ev);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == ENODEV)
            put(out, "gone\n", out_path);
        if (n <= 0)
            break;
        std::string text;
        for (size_t i = 0; i < static_cast<size_t>(n) / sizeof ev[0]; ++i) {
            if (ev[i].type == EV_KEY)
                text += "key " + std::to_string(ev[i].code) + " " + std::to_string(ev[i].value) + "\n";
            else if (ev[i].type == EV_SYN && ev[i].code == SYN_DROPPED)
                text += "dropped\n";
            else if (ev[i].type == EV_SYN && ev[i].code == SYN_REPORT)
                text += "sync " + std::to_string(ev[i].value) + "\n";
        }
        put(out, text, out_path);
    }
    return 0;
}

// Stands for the keyboard simulator device: makes the FIFO if need be and
// records each two-byte event written to it as "CODE+" (press) or "CODE-"
// (release), "CODE?VALUE" for any other second byte.
int cmd_kbdsim(const std::vector<std::string> &args)
{
    if (args.size() != 2)
        usage();
    const std::string &fifo = args[0];
    if (mkfifo(fifo.c_str(), 0600) != 0 && errno != EEXIST)
        die_errno(fifo, "mkfifo");
    // Open for writing too, so that reads never see end of file between
    // two relays.
    int fd = open_or_die(fifo, O_RDWR);
    int out = open_output(args[1]);
    go_background();
    stop_on_signals();
    std::vector<unsigned char> pending;
    unsigned char buf[256];
    while (!stop_requested) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        pending.insert(pending.end(), buf, buf + n);
        std::string text;
        size_t i = 0;
        for (; i + 1 < pending.size(); i += 2) {
            const unsigned code = pending[i];
            const unsigned value = pending[i + 1];
            text += std::to_string(code) +
                    (value == 1   ? "+"
                     : value == 0 ? "-"
                                  : "?" + std::to_string(value)) +
                    "\n";
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(i));
        put(out, text, args[1]);
    }
    return 0;
}

// Records the bytes read from standard input (a terminal the caller has
// put in raw mode) as two lowercase hex digits a line.
int cmd_bytes(const std::vector<std::string> &args)
{
    if (args.size() != 1)
        usage();
    int out = open_output(args[0]);
    go_background();
    stop_on_signals();
    unsigned char buf[256];
    while (!stop_requested) {
        ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        std::string text;
        for (ssize_t i = 0; i < n; ++i) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%02x\n", buf[i]);
            text += hex;
        }
        put(out, text, args[0]);
    }
    return 0;
}

// How many lines FILE has, and whether one of them is text.
size_t count_lines(const std::string &path, const std::string &text, bool &found)
{
    std::ifstream in(path);
    size_t lines = 0;
    found = false;
    for (std::string line; std::getline(in, line);) {
        ++lines;
        if (line == text)
            found = true;
    }
    return lines;
}

// Waits until FILE has at least LINES lines, or (-l) a line that is TEXT;
// exits 1 when MS milliseconds (default 10000) pass first.
int cmd_wait(const std::vector<std::string> &args)
{
    int timeout_ms = 10000;
    std::string text;
    bool by_text = false;
    size_t k = 0;
    for (; k + 1 < args.size() && !args[k].empty() && args[k][0] == '-'; k += 2) {
        if (args[k] == "-t")
            timeout_ms = static_cast<int>(number(args[k + 1]));
        else if (args[k] == "-l") {
            text = args[k + 1];
            by_text = true;
        } else
            usage();
    }
    if (args.size() != k + (by_text ? 1 : 2))
        usage();
    const std::string &path = args[k];
    const size_t want = by_text ? 0 : static_cast<size_t>(number(args[k + 1]));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        bool found = false;
        const size_t have = count_lines(path, text, found);
        if (by_text ? found : have >= want)
            return 0;
        if (std::chrono::steady_clock::now() >= deadline) {
            if (by_text)
                die(path, "no line '" + text + "' after " + std::to_string(timeout_ms) + " ms");
            die(path, std::to_string(have) + " lines after " + std::to_string(timeout_ms) + " ms, " +
                          std::to_string(want) + " expected");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Hangs the terminal up as a carrier loss would: every open file of it
// reads end of file from then on.
int cmd_hangup(const std::vector<std::string> &args)
{
    if (args.size() != 1)
        usage();
    int fd = open_or_die(args[0], O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (ioctl(fd, TIOCVHANGUP) != 0)
        die_errno(args[0], "TIOCVHANGUP");
    return 0;
}

volatile sig_atomic_t press_requested = 0;
void request_press(int) { press_requested = 1; }

void emit(int fd, unsigned short type, unsigned short code, int value)
{
    input_event ev{};
    ev.type = type;
    ev.code = code;
    ev.value = value;
    if (write(fd, &ev, sizeof ev) != static_cast<ssize_t>(sizeof ev))
        die_errno("/dev/uinput", "write");
}

// A uinput keyboard named NAME with the keys CODE... for checking what a
// reader sees of keys left down when a device goes away: in the background
// it presses every key on SIGUSR1 and, on SIGTERM, removes the device,
// releasing the keys first only with -r. Prints its pid once the device
// exists.
int cmd_uinput_hold(const std::vector<std::string> &args)
{
    bool release = false;
    size_t k = 0;
    if (!args.empty() && args[0] == "-r") {
        release = true;
        k = 1;
    }
    if (args.size() < k + 2)
        usage();
    const std::string &name = args[k];
    std::vector<unsigned short> codes;
    for (size_t i = k + 1; i < args.size(); ++i)
        codes.push_back(static_cast<unsigned short>(number(args[i])));
    int fd = open_or_die("/dev/uinput", O_WRONLY);
    if (ioctl(fd, UI_SET_EVBIT, EV_KEY) != 0)
        die_errno("/dev/uinput", "UI_SET_EVBIT");
    for (unsigned short c : codes)
        if (ioctl(fd, UI_SET_KEYBIT, c) != 0)
            die_errno("/dev/uinput", "UI_SET_KEYBIT");
    uinput_setup setup{};
    setup.id.bustype = BUS_VIRTUAL;
    std::snprintf(setup.name, sizeof setup.name, "%s", name.c_str());
    if (ioctl(fd, UI_DEV_SETUP, &setup) != 0 || ioctl(fd, UI_DEV_CREATE) != 0)
        die_errno("/dev/uinput", "UI_DEV_CREATE");
    // Signals set before the fork, so that none sent after the pid is
    // printed can find the default action.
    struct sigaction press {};
    press.sa_handler = request_press;
    sigemptyset(&press.sa_mask);
    sigaction(SIGUSR1, &press, nullptr);
    stop_on_signals();
    // The signals stay blocked but while waiting for one, so that none can
    // come between a look at the flags and the wait.
    sigset_t blocked, waiting;
    sigemptyset(&blocked);
    for (int sig : {SIGUSR1, SIGTERM, SIGHUP, SIGINT})
        sigaddset(&blocked, sig);
    sigprocmask(SIG_BLOCK, &blocked, &waiting);
    go_background();
    bool pressed = false;
    while (!stop_requested) {
        if (press_requested && !pressed) {
            for (unsigned short c : codes)
                emit(fd, EV_KEY, c, 1);
            emit(fd, EV_SYN, SYN_REPORT, 0);
            pressed = true;
            continue;
        }
        sigsuspend(&waiting);
    }
    if (release && pressed) {
        for (unsigned short c : codes)
            emit(fd, EV_KEY, c, 0);
        emit(fd, EV_SYN, SYN_REPORT, 0);
    }
    ioctl(fd, UI_DEV_DESTROY);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 2)
        usage();
    const std::string cmd = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    if (cmd == "attach")
        return cmd_attach(args);
    if (cmd == "find")
        return cmd_find(args);
    if (cmd == "keymap")
        return cmd_keymap(args);
    if (cmd == "keybits")
        return cmd_keybits(args);
    if (cmd == "consolemap")
        return cmd_consolemap(args);
    if (cmd == "events")
        return cmd_events(args);
    if (cmd == "kbdsim")
        return cmd_kbdsim(args);
    if (cmd == "bytes")
        return cmd_bytes(args);
    if (cmd == "wait")
        return cmd_wait(args);
    if (cmd == "hangup")
        return cmd_hangup(args);
    if (cmd == "uinput-hold")
        return cmd_uinput_hold(args);
    usage();
}
