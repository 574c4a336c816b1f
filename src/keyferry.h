// Relay core: the command line, the relay loop that reads the external
// keyboard port and runs each chunk through the decoders of the input mode,
// and the injection of characters as key events on the keyboard simulator
// device or, on a Linux host, a uinput virtual keyboard. The core keeps no
// state of its own between characters.
#pragma once

#include "decoder.h"
#include "keytrans.h"

// Run configuration, filled from the command line.
struct options {
    int mode = 'r';                        // 'r' raw, 'i' IrKB101, 'h' cradle
    int speed = 9600;                      // port speed in bits per second
    const char *namkbdsim = "/dev/kbdsim"; // keyboard simulator device
    const char *namextkey = "/dev/ttyS1";  // external keyboard port
    int init101 = 1;                       // run the IrKB101 handshake in mode 'i'
    int verbose = 0;                       // trace every key event
    int uinput = 0;                        // type through a uinput virtual keyboard
    const char *namuinput = "/dev/uinput"; // the uinput device
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

// The relay loop of a Linux host: as keyboard, but types through the uinput
// virtual keyboard on fd uinput, key for key in cradle and IrKB101 modes and
// as a US keyboard types each character in raw mode.
void keyboard_uinput(int extkey, int uinput, int mode, int verbose);

// Marks in declared (one entry per Linux key code, 0 to KEY_MAX) the keys
// the virtual keyboard sends in mode.
void uinput_keys_of_mode(int mode, unsigned char *declared);

// Prints "<prog>: DUMP" and the n bytes of buf in hexadecimal on one line.
void dumpbuf(int n, const unsigned char *buf);

// Injects n characters from buf, in order.
void ascii_write(int kbdsim, const unsigned char *buf, int n, int verbose);

// Injects one character (0 to 255) as its key events.
void pseudo_input(int fd, int ch, int verbose);

// Writes one event (the two bytes at s) to fd in a single write, traced first
// when verbose is set. The write's result is not examined.
void sendkey(int fd, const unsigned char *s, int verbose);

// Size of the chunk buffer the relay loop reads the port into.
constexpr int chunk_size = 8192;
