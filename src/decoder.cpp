#include "decoder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

const char *prog = "keyferry";

int carry_buffer::append(const unsigned char *in, int n, const char *decoder)
{
    const int taken = std::clamp(n, 0, room());
    if (taken > 0)
        std::memcpy(keybuf + p, in, static_cast<size_t>(taken));
    if (taken < n)
        std::fprintf(stderr, "%s: %s: buffer overflow\n", prog, decoder);
    return p + taken;
}

void carry_buffer::carry(int from, int held)
{
    p = held - from;
    std::memmove(keybuf, keybuf + from, static_cast<size_t>(p));
}
