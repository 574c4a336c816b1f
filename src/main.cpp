// keyferry: types the characters of an external serial keyboard on the
// handheld through its keyboard simulator device.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "irkb101.h"
#include "keyferry.h"
#include "tty.h"

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

    int kbdsim = open(opt.namkbdsim, O_WRONLY);
    if (kbdsim < 0) {
        std::fprintf(stderr, "%s: can't open KBDSIM device %s\n", prog, opt.namkbdsim);
        std::exit(1);
    }

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
    ttyrestore_on_signals(extkey);

    if (opt.mode == 'i' && opt.init101) {
        int r = init_irkb101(extkey);
        if (r != 0) {
            std::fprintf(stderr, "%s: can't initialize IrKB101+PS/2 keyboard (%d)\n", prog, r);
            closetty(extkey);
            std::exit(1);
        }
        std::fprintf(stderr, "%s: IrKB101+PS/2 initialized\n", prog);
    }

    keyboard(extkey, kbdsim, opt.mode, opt.verbose);

    closetty(extkey);
    close(kbdsim);
    std::exit(0);
}
