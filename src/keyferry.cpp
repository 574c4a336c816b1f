#include "keyferry.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <sys/select.h>
#include <unistd.h>

#include "irkb101.h"
#include "ps2event.h"
#include "ps2key.h"
#include "tty.h"
#include "uinput.h"
#include "uskeys.h"

namespace {

// Leading decimal digits of s, as atoi would read them, but saturating at
// INT_MAX so that an absurdly long speed word cannot overflow.
int leading_number(const char *s)
{
    long long value = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        value = value * 10 + (*s - '0');
        if (value > INT_MAX)
            return INT_MAX;
    }
    return static_cast<int>(value);
}

} // namespace

int parse_options(int argc, const char *const argv[], options &opt)
{
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        // Only the character after the dash counts: -raw, -r and -rx agree.
        const char *word = argv[i];
        switch (word[1]) {
        case 'r':
            opt.mode = 'r';
            break;
        case 'i':
            opt.mode = 'i';
            break;
        case 'I':
            opt.mode = 'i';
            opt.init101 = 0;
            break;
        case 'c':
            opt.mode = 'h';
            opt.speed = 4800;
            break;
        case '0':
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7':
        case '8':
        case '9':
            opt.speed = leading_number(word + 1);
            break;
        case 'd':
            if (i + 1 >= argc)
                return -1;
            // Names the device of whichever way the relay types.
            opt.namkbdsim = opt.namuinput = argv[++i];
            break;
        case 'u':
            opt.uinput = 1;
            break;
        case 'v':
            opt.verbose = !opt.verbose;
            break;
        default:
            return -1;
        }
    }
    // The first plain word names the port; anything after it is ignored.
    if (i < argc)
        opt.namextkey = argv[i];
    return 0;
}

void usage()
{
    std::fprintf(stderr, "Usage: %s [option]... [device]\n", prog);
    std::fprintf(stderr, "    options:\n");
    std::fprintf(stderr, "\t-raw: RAW keyboard (no conversion) mode\n");
    std::fprintf(stderr, "\t-irkb101: IrKB101+PS/2 mode\n");
    std::fprintf(stderr, "\t-IrKB101: IrKB101+PS/2 mode without initialize\n");
    std::fprintf(stderr, "\t-cradle: Happy Hacking Cradle+PS/2 mode\n");
    std::fprintf(stderr, "\t-#: set serial speed [bps]\n");
    std::fprintf(stderr, "    default:\n");
    std::fprintf(stderr, "\t%s -%d -raw %s\n", prog, 9600, "/dev/ttyS1");
}

void dumpbuf(int n, const unsigned char *buf)
{
    // Formats in pieces on the stack so that a long chunk costs a few writes
    // to the unbuffered error stream rather than one per byte.
    static constexpr char hex[] = "0123456789abcdef";
    char line[3 * 256 + 1];
    int used = 0;
    std::fprintf(stderr, "%s: DUMP", prog);
    for (int i = 0; i < n; ++i) {
        line[used++] = ' ';
        line[used++] = hex[buf[i] >> 4];
        line[used++] = hex[buf[i] & 0x0f];
        if (used == 3 * 256) {
            std::fwrite(line, 1, static_cast<size_t>(used), stderr);
            used = 0;
        }
    }
    line[used++] = '\n';
    std::fwrite(line, 1, static_cast<size_t>(used), stderr);
}

namespace {

// How many bytes the next read may take: no more than the decoders of the
// mode can append without dropping any. In IrKB101 mode the frame decoder's
// output (at most half its buffer) always fits the PS/2 decoder behind it.
int read_room(int mode)
{
    static_assert(carry_buffer::bufsize <= chunk_size, "a read of a whole room fits the chunk");
    static_assert(irkb101_decoder::max_output <= chunk_size, "the payload is put out in the chunk");
    static_assert(irkb101_decoder::max_output + 2 <= ps2_decoder::bufsize, "it fits behind a carried prefix");
    switch (mode) {
    case 'i':
        return irkb101room();
    case 'h':
        return ps2room();
    default:
        return chunk_size;
    }
}

// The payload of an IrKB101 chunk, in place, dumped as it is decoded.
int unwrap_irkb101(int n, unsigned char *buf)
{
    n = irkb101conv(n, buf);
    dumpbuf(n, buf);
    return n;
}

// The chunk through the decoders of the input mode, in place.
int decode_chunk(int mode, int n, unsigned char *buf)
{
    switch (mode) {
    case 'i':
        return ps2conv(unwrap_irkb101(n, buf), buf);
    case 'h':
        return ps2conv(n, buf);
    default:
        return n;
    }
}

// A read that ends the relay: end of file, or an error that will not go
// away by waiting (a closed pseudo-terminal, an unplugged adapter).
bool port_hung_up(ssize_t got)
{
    return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

} // namespace

void sendkey(int fd, const unsigned char *s, int verbose)
{
    if (verbose)
        std::fprintf(stderr, "%s: code=%d(%x), %s", prog, s[0], s[0], s[1] ? "PRESS\n" : "RELEASE\n");
    // A lost event is not reported: the device gives no useful answer.
    ssize_t written = write(fd, s, 2);
    (void)written;
}

void pseudo_input(int fd, int ch, int verbose)
{
    unsigned char keybuf[event_buffer_size];
    int n = char2key(ch, keybuf);
    for (int i = 0; i < n; ++i)
        sendkey(fd, keybuf + 2 * i, verbose);
}

void ascii_write(int kbdsim, const unsigned char *buf, int n, int verbose)
{
    for (int i = 0; i < n; ++i)
        pseudo_input(kbdsim, buf[i], verbose);
}

namespace {

// The relay loop, whichever way the keys are typed. room() says how many
// bytes the next read may take; inject(n, buf) decodes and types a chunk.
template <class Room, class Inject>
void relay(int extkey, Room room, Inject inject)
{
    // Whatever the keyboard sent before the relay was ready is stale.
    while (ttygetc(extkey) != -1) {
    }

    unsigned char buf[chunk_size];
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(extkey, &readable);
        timeval timeout{0, 500000};
        int nfds = select(extkey + 1, &readable, nullptr, nullptr, &timeout);
        if (nfds < 0 && errno != EINTR) {
            std::fprintf(stderr, ">>>if ((nfds < 0) && (errno != EINTR)) {\n");
            return;
        }
        if (nfds <= 0 || !FD_ISSET(extkey, &readable))
            continue;
        // What does not fit the decoders stays queued on the port for the
        // next pass, so a burst that outruns the relay loses nothing.
        ssize_t got = read(extkey, buf, static_cast<size_t>(room()));
        if (port_hung_up(got)) {
            std::fprintf(stderr, "%s: keyboard port hung up\n", prog);
            return;
        }
        if (got < 0)
            continue;
        inject(static_cast<int>(got), buf);
    }
}

// Types decoded key events on the virtual keyboard.
class uinput_typist final : public key_sink {
public:
    uinput_typist(int fd, int verbose) : fd_(fd), verbose_(verbose) {}
    void key(int code, int value) override { uinput_key(fd_, code, value, verbose_); }

private:
    int fd_;
    int verbose_;
};

// Raw mode on the virtual keyboard: each byte as a US keyboard types it.
void type_characters(int fd, const unsigned char *buf, int n, int verbose)
{
    unsigned char events[2 * max_events_per_char];
    for (int i = 0; i < n; ++i) {
        const int count = char2uskey(buf[i], events);
        for (int e = 0; e < count; ++e)
            uinput_key(fd, events[2 * e], events[2 * e + 1], verbose);
    }
}

} // namespace

void keyboard(int extkey, int kbdsim, int mode, int verbose)
{
    relay(
        extkey, [mode] { return read_room(mode); },
        [&](int n, unsigned char *buf) { ascii_write(kbdsim, buf, decode_chunk(mode, n, buf), verbose); });
}

void keyboard_uinput(int extkey, int uinput, int mode, int verbose)
{
    // The key decoder keeps its state between reads and never drops a byte,
    // so only the IrKB101 frame decoder limits a read.
    uinput_typist typist(uinput, verbose);
    relay(
        extkey, [mode] { return mode == 'i' ? irkb101room() : chunk_size; },
        [&](int n, unsigned char *buf) {
            switch (mode) {
            case 'i':
                n = unwrap_irkb101(n, buf);
                ps2eventconv(n, buf, typist);
                break;
            case 'h':
                ps2eventconv(n, buf, typist);
                break;
            default:
                type_characters(uinput, buf, n, verbose);
            }
        });
}

void uinput_keys_of_mode(int mode, unsigned char *declared)
{
    if (mode != 'r') {
        ps2event_declare(declared);
        return;
    }
    unsigned char events[2 * max_events_per_char];
    for (int ch = 0; ch < 256; ++ch) {
        const int count = char2uskey(ch, events);
        for (int e = 0; e < count; ++e)
            declared[events[2 * e]] = 1;
    }
}
