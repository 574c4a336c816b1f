// keyferry: types the characters of an external serial keyboard on the
// handheld through its keyboard simulator device.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "irkb101.h"
#include "keyferry.h"
#include "tty.h"
#include "uinput.h"

namespace {

// Creates the virtual keyboard with the keys of the mode. From then on every
// way the process ends (return, exit, a terminating signal) first releases
// the keys it holds, then removes the keyboard.
void create_virtual_keyboard(int extkey, int fd, const options &opt)
{
    static unsigned char declared[uinput_max_key + 1];
    uinput_keys_of_mode(opt.mode, declared);
    if (uinput_create(fd, declared) != 0) {
        std::fprintf(stderr, "%s: %s: can't create the virtual keyboard: %s\n", prog, opt.namuinput,
                     std::strerror(errno));
        closetty(extkey);
        std::exit(1);
    }
    std::atexit(uinput_destroy);
}

// Opens the device the relay types on; ends the process with status 1 when
// that fails.
int open_device(const options &opt)
{
    if (opt.uinput) {
        const int fd = uinput_open(opt.namuinput);
        if (fd < 0) {
            std::fprintf(stderr, "%s: can't open uinput device %s\n", prog, opt.namuinput);
            std::exit(1);
        }
        return fd;
    }
    int kbdsim = open(opt.namkbdsim, O_WRONLY);
    if (kbdsim < 0) {
        std::fprintf(stderr, "%s: can't open KBDSIM device %s\n", prog, opt.namkbdsim);
        std::exit(1);
    }
    return kbdsim;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc > 0 && argv[0] != nullptr)
        prog = argv[0];

    options opt;
    if (parse_options(argc, argv, opt) != 0) {
        usage();
        std::exit(1);
    }

    // A device that is no longer read must cost a lost event, not the relay.
    std::signal(SIGPIPE, SIG_IGN);

    int kbdsim = open_device(opt);

    // Nothing is written to the port, its settings included, until it is
    // known to be a terminal that no other relay serves.
    int extkey = opentty(opt.namextkey);
    if (ttylock(extkey) != 0) {
        std::fprintf(stderr, "%s: %s: in use by another relay\n", prog, opt.namextkey);
        std::exit(1);
    }
    if (ttyinit(extkey, opt.speed) != 0) {
        std::fprintf(stderr, "%s: %s: not a terminal\n", prog, opt.namextkey);
        std::exit(1);
    }
    if (opt.uinput)
        create_virtual_keyboard(extkey, kbdsim, opt);
    ttyrestore_on_signals(extkey, opt.uinput ? uinput_destroy : nullptr);

    if (opt.mode == 'i' && opt.init101) {
        int r = init_irkb101(extkey);
        if (r != 0) {
            std::fprintf(stderr, "%s: can't initialize IrKB101+PS/2 keyboard (%d)\n", prog, r);
            closetty(extkey);
            std::exit(1);
        }
        std::fprintf(stderr, "%s: IrKB101+PS/2 initialized\n", prog);
    }

    if (opt.uinput)
        keyboard_uinput(extkey, kbdsim, opt.mode, opt.verbose);
    else
        keyboard(extkey, kbdsim, opt.mode, opt.verbose);

    // The keys still held are released while the keyboard exists.
    uinput_destroy();
    closetty(extkey);
    close(kbdsim);
    std::exit(0);
}
