// Serial line: opens the external keyboard port, puts it into raw 8-bit mode
// at the chosen speed and restores the settings it found when the relay ends.
// It owns the saved and the applied terminal settings of the one port a
// process serves, and offers single-byte reads and writes for the handshake.
#pragma once
#include <ctime>
#include <termios.h>

// Opens name read-write and non-blocking; prints "can't open <name>" and ends
// the process with status 1 when that fails.
int opentty(const char *name);

// Maps bits per second to a speed constant; any unsupported value prints a
// message and yields 9600 bps.
speed_t speed(int sp);

// Saves the port's settings, then applies raw 8-bit mode at sp bps.
void ttyinit(int fd, int sp);

// Applies the settings saved by ttyinit again, at once.
void ttyrestore(int fd);

// Restores the saved settings, then closes fd; returns close's result.
int closetty(int fd);

// Writes one byte, waiting for the port to take it for up to 16 seconds.
// Returns the byte (0 to 255), or -1 after the time limit.
int ttyputc(int fd, int ch);

// Milliseconds until time() will have moved past now, 1 to 1000. Waits on
// the port are cut at that moment so that whole-second limits are tested as
// soon as they can have been reached, and never a second late.
int ms_until_next_second(time_t now);

// Reads one byte without waiting: the byte (0 to 255), or -1 when none was
// read for any reason (nothing pending, end of file, error).
int ttygetc(int fd);
