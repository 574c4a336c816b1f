// The floor relay: the least any relay between this port and this device
// must do. It waits with select, reads what the port holds and writes one
// two-byte event per byte read, without decoding or translating anything.
// The benchmark measures keyferry against it on the same machine.
//
// usage: floor-relay -d DEVICE [ignored options...] PORT
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    const char *device = nullptr;
    const char *port = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-d") == 0 && i + 1 < argc)
            device = argv[++i];
        else if (argv[i][0] != '-')
            port = argv[i];
    }
    if (device == nullptr || port == nullptr) {
        std::fprintf(stderr, "usage: floor-relay -d DEVICE PORT\n");
        return 2;
    }
    int out = open(device, O_WRONLY);
    int in = open(port, O_RDWR | O_NONBLOCK | O_NOCTTY);
    if (out < 0 || in < 0) {
        std::perror("floor-relay: open");
        return 1;
    }
    termios raw{};
    tcgetattr(in, &raw);
    cfmakeraw(&raw);
    tcsetattr(in, TCSANOW, &raw);

    unsigned char buf[8192];
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(in, &readable);
        if (select(in + 1, &readable, nullptr, nullptr, nullptr) < 0)
            continue;
        ssize_t got = read(in, buf, sizeof buf);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
            return 0;
        for (ssize_t i = 0; i < got; ++i) {
            const unsigned char event[2] = {buf[i], 1};
            if (write(out, event, 2) < 0)
                return 1;
        }
    }
}
