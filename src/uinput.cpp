#include "uinput.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/input.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "decoder.h"

static_assert(uinput_max_key == KEY_MAX, "the key range of this kernel's headers");

namespace {

// The one keyboard a process serves. Read by the signal handler, hence
// volatile sig_atomic_t: a key is marked down before its press is written and
// unmarked after its release, so a handler that runs in between releases a
// key at most once too often, which the input layer ignores.
struct virtual_keyboard {
    volatile sig_atomic_t fd = -1;
    volatile sig_atomic_t down[KEY_MAX + 1] = {};
};

virtual_keyboard host_keyboard;

void write_key(int fd, int code, int value)
{
    input_event events[2];
    std::memset(events, 0, sizeof events);
    events[0].type = EV_KEY;
    events[0].code = static_cast<unsigned short>(code);
    events[0].value = value;
    events[1].type = EV_SYN;
    events[1].code = SYN_REPORT;
    ssize_t written = write(fd, events, sizeof events);
    (void)written;
}

// Kernels before 4.5 know no UI_DEV_SETUP: they take the same settings as a
// uinput_user_dev record written to the device.
int setup_before_4_5(int fd, const uinput_setup &setup)
{
    uinput_user_dev old{};
    old.id = setup.id;
    std::memcpy(old.name, setup.name, sizeof old.name);
    return write(fd, &old, sizeof old) == static_cast<ssize_t>(sizeof old) ? 0 : -1;
}

} // namespace

int uinput_open(const char *path) { return open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC); }

int uinput_create(int fd, const unsigned char *declared)
{
    // No EV_REP: the external keyboard repeats by itself, and the host must
    // not repeat a key on top of it.
    if (ioctl(fd, UI_SET_EVBIT, EV_SYN) != 0 || ioctl(fd, UI_SET_EVBIT, EV_KEY) != 0)
        return -1;
    for (int code = 1; code <= KEY_MAX; ++code)
        if (declared[code] && ioctl(fd, UI_SET_KEYBIT, code) != 0)
            return -1;

    uinput_setup setup{};
    setup.id.bustype = BUS_RS232;
    setup.id.version = 1;
    static_assert(sizeof uinput_keyboard_name <= UINPUT_MAX_NAME_SIZE);
    std::memcpy(setup.name, uinput_keyboard_name, sizeof uinput_keyboard_name);
    if (ioctl(fd, UI_DEV_SETUP, &setup) != 0 && (errno != EINVAL || setup_before_4_5(fd, setup) != 0))
        return -1;
    if (ioctl(fd, UI_DEV_CREATE) != 0)
        return -1;
    host_keyboard.fd = fd;
    return 0;
}

void uinput_key(int fd, int code, int value, int verbose)
{
    if (code <= 0 || code > KEY_MAX)
        return;
    if (verbose) {
        static constexpr const char *states[] = {"RELEASE\n", "PRESS\n", "REPEAT\n"};
        std::fprintf(stderr, "%s: code=%d(%x), %s", prog, code, code, states[value == 2 ? 2 : value != 0]);
    }
    if (value != 0)
        host_keyboard.down[code] = 1;
    write_key(fd, code, value);
    if (value == 0)
        host_keyboard.down[code] = 0;
}

void uinput_release_all()
{
    const int fd = host_keyboard.fd;
    if (fd < 0)
        return;
    for (int code = 1; code <= KEY_MAX; ++code) {
        if (host_keyboard.down[code]) {
            write_key(fd, code, 0);
            host_keyboard.down[code] = 0;
        }
    }
}

void uinput_destroy()
{
    const int fd = host_keyboard.fd;
    if (fd < 0)
        return;
    uinput_release_all();
    ioctl(fd, UI_DEV_DESTROY);
    host_keyboard.fd = -1;
}
