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

// Takes an advisory exclusive lock on the port, as serial terminal programs
// do, so that two relays never split one keyboard's keys between them. The
// lock goes with the process. Returns -1 when another process holds it.
int ttylock(int fd);

// Saves the port's settings, then applies raw 8-bit mode at sp bps. Returns
// -1, having changed nothing, when fd is not a terminal (its settings cannot
// be read or applied); 0 otherwise.
int ttyinit(int fd, int sp);

// From now until closetty, SIGINT, SIGTERM, SIGHUP and SIGQUIT put the
// settings ttyinit saved back on fd and then end the process by the same
// signal, so that the next program finds the port as it was and whoever
// started the relay sees why it ended. A signal that was ignored when the
// relay started (SIGHUP under nohup) stays ignored.
// first, when given, runs before the port is restored: it must be
// async-signal-safe too (the virtual keyboard's release of held keys).
void ttyrestore_on_signals(int fd, void (*first)() = nullptr);

// Applies the settings saved by ttyinit again, at once.
void ttyrestore(int fd);

// Restores the saved settings, then closes fd; returns close's result.
// Signals no longer restore anything after it.
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
