// The virtual keyboard the relay types through on a Linux host: created
// through the kernel's uinput module, it declares the keys it can send and
// takes one key event at a time, each with its synchronisation report. It
// owns the record of which keys it holds pressed, so that none stays down on
// the host when the relay ends, whether it returns, exits or is signalled.
#pragma once

// Name, bus and key range of the virtual keyboard.
constexpr const char uinput_keyboard_name[] = "keyferry serial keyboard";
constexpr int uinput_max_key = 0x2ff; // KEY_MAX of the Linux input layer

// Opens the uinput device for writing; -1 (errno set) when it cannot.
int uinput_open(const char *path);

// Creates the keyboard on fd with the keys whose entries in declared
// (uinput_max_key + 1 of them) are non-zero. Returns 0, or -1 with errno
// telling why the kernel refused. Only one keyboard per process: the release
// of held keys at exit and on signals serves this one.
int uinput_create(int fd, const unsigned char *declared);

// Sends one key event (value 1 press, 0 release, 2 repeat) and its
// SYN_REPORT in a single write, traced first when verbose is set. The write's
// result is not examined: the input layer has no useful answer.
void uinput_key(int fd, int code, int value, int verbose);

// Releases every key the keyboard holds pressed, each with its report.
// Async-signal-safe (only write).
void uinput_release_all();

// Releases every held key, then removes the keyboard from the host.
// Async-signal-safe (only write and ioctl); does nothing once done.
void uinput_destroy();
