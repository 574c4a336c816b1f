#include "irkb101.h"

#include <cstdio>
#include <ctime>
#include <poll.h>

#include "tty.h"

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
    const int m = append(buf, n, "irkb101conv");

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

    carry(i, m);
    return r;
}

int irkb101conv(int n, unsigned char *buf) { return relay_decoder.convert(n, buf); }

int irkb101room() { return relay_decoder.room(); }

namespace {

// The keyboard's init strings and the answer it gives to each, ended by -1
// so that 0x00 can occur inside.
constexpr int init0[] = {0xFF, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xAA, 0x3F, 0x03, 0x20, 0x5A,
                         0x01, 0xA2, 0x00, 0x16, 0x3E, 0x16, 0x14, 0x16, 0x00, 0xC2, 0x06, 0x1D, -1};
constexpr int init1[] = {0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0,
                         0xAA, 0x03, 0xF0, 0x02, 0xF1, 0x5A, -1};
constexpr int init2[] = {0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xAA, 0x22, 0x00, 0x22, -1};
constexpr int resp0[] = {0xFF, 0x55, 0x08, 0x3F, 0x37, -1};
constexpr int resp1[] = {0xFF, 0x55, 0x08, 0x03, 0x0B, -1};
constexpr int resp2[] = {0xFF, 0x55, 0x08, 0x22, 0x2A, -1};

constexpr const int *init[] = {init0, init1, init2};
constexpr const int *resp[] = {resp0, resp1, resp2};
constexpr int init_count = sizeof init / sizeof init[0];

static_assert(sizeof init0 / sizeof init0[0] == 26 + 1 && init0[25] == 0x1D && init0[26] == -1);
static_assert(sizeof init1 / sizeof init1[0] == 14 + 1 && init1[13] == 0x5A && init1[14] == -1);
static_assert(sizeof init2 / sizeof init2[0] == 12 + 1 && init2[11] == 0x22 && init2[12] == -1);
static_assert(sizeof resp0 / sizeof resp0[0] == 6 && resp0[3] == 0x3F && resp0[5] == -1);
static_assert(sizeof resp1 / sizeof resp1[0] == 6 && resp1[3] == 0x03 && resp1[5] == -1);
static_assert(sizeof resp2 / sizeof resp2[0] == 6 && resp2[3] == 0x22 && resp2[5] == -1);
static_assert(init_count == 3 && sizeof resp / sizeof resp[0] == init_count);

// Give up when the count of whole seconds has advanced by more than this
// before a sending, or since a response wait began.
constexpr time_t overall_limit = 5;
constexpr time_t response_limit = 2;

// Sleeps until a byte may be waiting on fd or the current second of time()
// is over, whichever comes first. A port that polls ready without a byte to
// read (hung up, in error) would wake the wait at once for ever; after such
// a false alarm the rest of the second is slept out instead.
struct response_waiter {
    bool woke_for_input = false;

    void wait(int fd)
    {
        const int ms = ms_until_next_second(time(nullptr));
        if (woke_for_input) {
            woke_for_input = false;
            poll(nullptr, 0, ms);
            return;
        }
        pollfd pfd{fd, POLLIN, 0};
        woke_for_input = poll(&pfd, 1, ms) > 0;
    }

    void got_byte() { woke_for_input = false; }
};

} // namespace

int init_irkb101(int fd)
{
    while (ttygetc(fd) != -1) {
    }
    const time_t t1 = time(nullptr);

    int i = 0;
    while (i < init_count) {
        time_t t2 = time(nullptr);
        if (t2 - t1 > overall_limit)
            return -2;
        std::fprintf(stderr, "sending init string #%d\n", i);
        // A byte the port would not take within ttyputc's limit means the
        // line is stopped or broken: no answer can come, so give up now
        // rather than after every remaining byte has timed out too.
        for (const int *s = init[i]; *s >= 0; ++s)
            if (ttyputc(fd, *s) < 0)
                return -2;

        int j = 0;
        t2 = time(nullptr);
        response_waiter waiter;
        for (;;) {
            // A response completed just as its wait runs out still counts.
            if (resp[i][j] < 0) {
                ++i;
                break;
            }
            if (time(nullptr) - t2 > response_limit)
                break;
            const int ch = ttygetc(fd);
            if (ch == -1) {
                waiter.wait(fd);
                continue;
            }
            waiter.got_byte();
            if (ch == resp[i][j]) {
                ++j;
            } else if (ch == resp[i][0]) {
                j = 1;
            } else {
                std::fprintf(stderr, "response %02x should be %02x\n", ch, resp[i][j]);
                j = 0;
            }
        }
    }
    return 0;
}
