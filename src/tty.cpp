#include "tty.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

// The one port a process serves: the settings found on it, and the raw
// settings applied in their place.
struct serial_line {
    termios saved{};
    termios applied{};
};

serial_line line;

// The path the port was opened by, for putting its settings back through a
// new descriptor when the relay's own one was hung up.
const char *port_name = nullptr;

// The port whose saved settings a terminating signal puts back; -1 while
// there is none (before ttyrestore_on_signals, after closetty).
volatile sig_atomic_t restore_fd = -1;
// What runs before the port is restored; null when nothing does.
void (*volatile run_first)() = nullptr;

constexpr int terminating_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Only async-signal-safe calls: run_first's, tcsetattr, signal, raise. The
// signal stays blocked until the handler returns; then, with its default
// action back, it ends the process.
extern "C" void restore_and_end(int sig)
{
    const int fd = restore_fd;
    if (fd >= 0 && run_first != nullptr)
        run_first();
    if (fd >= 0)
        tcsetattr(fd, TCSANOW, &line.saved);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// How long ttyputc keeps trying: it gives up once 16 whole seconds of time()
// have passed since its first try.
constexpr time_t put_limit = 15;

// Waits before the next try of a write that failed: for room on the line
// when the port is merely full, or for the rest of the current second when
// the port is in an error state (hung up, gone), where poll() would report
// it ready at once and the retries would spin.
void wait_to_retry(int fd, int write_errno)
{
    int wait_ms = ms_until_next_second(time(nullptr));
    if (write_errno == EAGAIN || write_errno == EWOULDBLOCK) {
        pollfd pfd{fd, POLLOUT, 0};
        poll(&pfd, 1, wait_ms);
    } else if (write_errno != EINTR) {
        poll(nullptr, 0, wait_ms);
    }
}

} // namespace

int ms_until_next_second(time_t now)
{
    // time() may lag the fine clock by a tick at the turn of a second; then
    // the boundary has passed on the fine clock and a millisecond's wait at
    // a time finds the moment time() catches up.
    timespec fine{};
    clock_gettime(CLOCK_REALTIME, &fine);
    const long long left_ms = (static_cast<long long>(now) + 1 - fine.tv_sec) * 1000 - fine.tv_nsec / 1000000;
    if (left_ms < 1)
        return 1;
    return left_ms > 1000 ? 1000 : static_cast<int>(left_ms);
}

int opentty(const char *name)
{
    // O_NOCTTY: the keyboard port must never become the relay's controlling
    // terminal, or a hang-up on it would kill the relay with SIGHUP.
    int fd = open(name, O_RDWR | O_NONBLOCK | O_NOCTTY, 0777);
    port_name = name;
    if (fd < 0) {
        std::fprintf(stderr, "can't open %s\n", name);
        std::exit(1);
    }
    return fd;
}

speed_t speed(int sp)
{
    switch (sp) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        std::fprintf(stderr, "%d bps unavailable.  9600 bps selected.\n", sp);
        return B9600;
    }
}

int ttylock(int fd)
{
    // Only a lock held elsewhere refuses the port; where locking itself is
    // not supported the relay runs as it would without it.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
        return -1;
    return 0;
}

int ttyinit(int fd, int sp)
{
    speed_t constant = speed(sp);
    if (tcgetattr(fd, &line.saved) != 0)
        return -1;
    line.applied = line.saved;
    // Raw 8-bit, no parity, receiver on, modem lines ignored; no input or
    // output processing, no echo, no signal characters.
    line.applied.c_iflag = IGNBRK | IGNPAR;
    line.applied.c_oflag = 0;
    line.applied.c_cflag = CS8 | CREAD | CLOCAL;
    line.applied.c_lflag = 0;
    cfsetispeed(&line.applied, constant);
    cfsetospeed(&line.applied, constant);
    for (cc_t &c : line.applied.c_cc)
        c = 0;
    line.applied.c_cc[VMIN] = line.saved.c_cc[VMIN];
    line.applied.c_cc[VTIME] = line.saved.c_cc[VTIME];
    return tcsetattr(fd, TCSANOW, &line.applied) == 0 ? 0 : -1;
}

void ttyrestore_on_signals(int fd, void (*first)())
{
    run_first = first;
    restore_fd = fd;
    struct sigaction action {};
    action.sa_handler = restore_and_end;
    sigemptyset(&action.sa_mask);
    for (int sig : terminating_signals)
        sigaddset(&action.sa_mask, sig);
    for (int sig : terminating_signals) {
        struct sigaction inherited {};
        sigaction(sig, nullptr, &inherited);
        if (inherited.sa_handler != SIG_IGN)
            sigaction(sig, &action, nullptr);
    }
}

// After a hang-up the kernel refuses every request on the descriptor that
// was open then, but the port keeps the raw settings for its next user: they
// go back through a descriptor opened afresh. A port that is gone (an
// unplugged adapter) has nothing left to restore.
namespace {
void restore_after_hang_up(int fd)
{
    termios now{};
    if (tcgetattr(fd, &now) == 0 || port_name == nullptr)
        return;
    int again = open(port_name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (again >= 0) {
        tcsetattr(again, TCSANOW, &line.saved);
        close(again);
    }
}
} // namespace

void ttyrestore(int fd) { tcsetattr(fd, TCSANOW, &line.saved); }

int closetty(int fd)
{
    restore_fd = -1;
    restore_after_hang_up(fd);
    ttyrestore(fd);
    return close(fd);
}

int ttyputc(int fd, int ch)
{
    const unsigned char byte = static_cast<unsigned char>(ch);
    const time_t start = time(nullptr);
    for (;;) {
        errno = 0;
        if (write(fd, &byte, 1) > 0)
            return byte;
        const int write_errno = errno;
        if (time(nullptr) - start > put_limit) {
            std::fprintf(stderr, "ttyputc(): timeout\n");
            return -1;
        }
        wait_to_retry(fd, write_errno);
    }
}

int ttygetc(int fd)
{
    unsigned char byte;
    if (read(fd, &byte, 1) == 1)
        return byte;
    return -1;
}
