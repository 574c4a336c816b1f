// Relay core: the command line, the relay loop that reads the external
// keyboard port and runs each chunk through the decoders of the input mode,
// and the injection of characters as key events on the keyboard simulator
// device. The core keeps no state of its own between characters.
#pragma once

// Invocation name, the prefix of most messages. Set by main before anything
// else runs; tests and tools see a fixed name until then.
extern const char *prog;

// Run configuration, filled from the command line.
struct options {
    int mode = 'r';                        // 'r' raw, 'i' IrKB101, 'h' cradle
    int speed = 9600;                      // port speed in bits per second
    const char *namkbdsim = "/dev/kbdsim"; // keyboard simulator device
    const char *namextkey = "/dev/ttyS1";  // external keyboard port
    int init101 = 1;                       // run the IrKB101 handshake in mode 'i'
    int verbose = 0;                       // trace every key event
};

// Parses argv[1] onwards into opt (prog is argv[0] and is not touched here).
// Returns 0 when the relay may start, -1 when the caller must print the help
// text and exit with status 1. Never exits itself.
int parse_options(int argc, const char *const argv[], options &opt);

// Writes the help text to the standard error stream.
void usage();

// The relay loop: waits on extkey, decodes each chunk as mode demands and
// injects the characters into kbdsim. Returns only when the port can no
// longer be waited on or read (error or hang-up).
void keyboard(int extkey, int kbdsim, int mode, int verbose);

// Prints "<prog>: DUMP" and the n bytes of buf in hexadecimal on one line.
void dumpbuf(int n, const unsigned char *buf);

// Injects n characters from buf, in order.
void ascii_write(int kbdsim, const unsigned char *buf, int n, int verbose);

// Injects one character (0 to 255) as its key events.
void pseudo_input(int fd, int ch, int verbose);

// Key translation: writes the events that type ch (0 to 255) into keybuf,
// two bytes each (key code, then 1 press or 0 release), and returns how many
// events it wrote: 0, 2, 4 or 6. Every modifier pressed is released within
// the same character, in reverse order.
int char2key(int ch, unsigned char *keybuf);

// Writes one event (the two bytes at s) to fd in a single write, traced first
// when verbose is set. The write's result is not examined.
void sendkey(int fd, const unsigned char *s, int verbose);

// Largest number of events one character yields, and the event buffer size.
constexpr int max_events_per_char = 6;
constexpr int event_buffer_size = 8192;
// Size of the chunk buffer the relay loop reads the port into.
constexpr int chunk_size = 8192;

// The carry-over buffer of a decoder: the unfinished end of the stream kept
// from the last call, then the new input appended behind it. Both decoders
// work on it in three steps: append, decode, carry.
struct carry_buffer {
    static constexpr int bufsize = 8192;

    unsigned char keybuf[bufsize]; // carried bytes, then the new input
    int p = 0;                     // bytes carried over from the last call

    // New bytes the next call can take without dropping any. The relay loop
    // reads no more than this, so a burst waits on the port instead of
    // overflowing the buffer.
    int room() const { return bufsize - p; }

    // Appends up to n bytes of in behind the carried ones and returns how
    // many bytes the buffer now holds. Input beyond the room is dropped with
    // "<prog>: <decoder>: buffer overflow"; a call that fills the buffer
    // exactly drops nothing and says nothing.
    int append(const unsigned char *in, int n, const char *decoder);

    // Keeps keybuf[from] to keybuf[held - 1], an unfinished sequence, at the
    // front for the next call (nothing when from == held).
    void carry(int from, int held);
};
