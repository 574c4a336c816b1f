#include "irkb101.h"

#include <cstdio>
#include <cstring>

#include "keyferry.h"

namespace {

constexpr unsigned char separator = 0xFF;

irkb101_decoder relay_decoder;

} // namespace

// A payload byte b travels as b and 0xFF - b; pairs that follow each other
// form a run, and 0xFF bytes where a run may start are gaps between runs.
// A run cut off by the end of the data after a lone byte is withdrawn and
// decoded again, whole, once the next chunk has arrived.
int irkb101_decoder::convert(int n, unsigned char *buf)
{
    int m = p;
    for (int k = 0; k < n && m < bufsize; ++k)
        keybuf[m++] = buf[k];
    if (m == bufsize)
        std::fprintf(stderr, "%s: irkb101conv: buffer overflow\n", prog);

    int r = 0;
    int i = 0;
    while (i < m) {
        while (i < m && keybuf[i] == separator)
            ++i;
        const int pos = i;
        const int nn = r;
        while (i + 1 < m && keybuf[i + 1] == separator - keybuf[i]) {
            buf[r++] = keybuf[i];
            i += 2;
        }
        if (i == m - 1) {
            r = nn;
            i = pos;
            break;
        }
        if (i == m)
            break;
        // keybuf[i] ends the run. A 0xFF there is a gap, skipped on the next
        // pass. Anything else lost its partner on the line: drop it alone so
        // the next byte can start a pair, and a lost byte costs at most one
        // payload byte.
        if (keybuf[i] != separator)
            ++i;
    }

    p = m - i;
    std::memmove(keybuf, keybuf + i, static_cast<std::size_t>(p));
    return r;
}

int irkb101conv(int n, unsigned char *buf) { return relay_decoder.convert(n, buf); }

// Placeholder until the handshake lands.
int init_irkb101(int) { return 0; }
