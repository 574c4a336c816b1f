#include "pty.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

namespace sim {

namespace {

[[noreturn]] void fail(const char *what)
{
    throw std::runtime_error(std::string("pseudo-terminal: ") + what + ": " + std::strerror(errno));
}

} // namespace

pseudo_terminal::pseudo_terminal()
{
    // Close-on-exec throughout: a relay that inherited the master would keep
    // the port alive after the keyboard hangs up.
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0)
        fail("posix_openpt");
    if (grantpt(master_) != 0 || unlockpt(master_) != 0)
        fail("unlockpt");
    const char *name = ptsname(master_);
    if (name == nullptr)
        fail("ptsname");
    path_ = name;
    slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave_ < 0)
        fail(path_.c_str());
    termios raw{};
    tcgetattr(slave_, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave_, TCSANOW, &raw);
    int flags = fcntl(master_, F_GETFL);
    fcntl(master_, F_SETFL, flags | O_NONBLOCK);
}

pseudo_terminal::~pseudo_terminal()
{
    hang_up();
    if (slave_ >= 0)
        close(slave_);
}

size_t pseudo_terminal::read_available(uint8_t *buf, size_t capacity)
{
    if (master_ < 0)
        return 0;
    ssize_t got = read(master_, buf, capacity);
    return got > 0 ? static_cast<size_t>(got) : 0;
}

int pseudo_terminal::pending_for_relay() const
{
    int pending = 0;
    if (ioctl(slave_, FIONREAD, &pending) != 0)
        return 0;
    return pending;
}

bool pseudo_terminal::wait_drained(std::chrono::steady_clock::time_point deadline) const
{
    // The relay reads everything pending in one go, so the queue empties
    // soon after it wakes; a short nap keeps this from burning a core.
    while (pending_for_relay() > 0) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

termios pseudo_terminal::settings() const
{
    termios t{};
    tcgetattr(slave_, &t);
    return t;
}

void pseudo_terminal::stop_output() { tcflow(slave_, TCOOFF); }

void pseudo_terminal::hang_up()
{
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
}

bool same_settings(const termios &a, const termios &b)
{
    for (int i = 0; i < NCCS; ++i)
        if (a.c_cc[i] != b.c_cc[i])
            return false;
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && a.c_line == b.c_line && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b);
}

} // namespace sim
