// The keyboard simulator device stand-in: a FIFO that the relay opens as its
// device and writes its two-byte key events to. It reads the events back,
// names the keys, and decodes them through the inverse of the relay's key
// translation into the characters the handheld would receive.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sim {

struct key_event {
    uint8_t code = 0;
    uint8_t state = 0; // 1 press, 0 release
    bool operator==(const key_event &) const = default;
};

// "KEY_SHIFT press", "KEY_A release".
std::string describe(const key_event &event);

class event_device {
public:
    // Makes the FIFO at path and opens it for reading (and, so that the
    // relay's open never blocks and reads never see end of file, writing).
    explicit event_device(std::string path);
    ~event_device();
    event_device(const event_device &) = delete;
    event_device &operator=(const event_device &) = delete;

    const std::string &path() const { return path_; }
    int fd() const { return fd_; }
    // Appends every whole event now pending to out; returns how many.
    size_t read_events(std::vector<key_event> &out);
    // Stops reading: the relay's writes then fail with a broken pipe.
    void close_reader();

private:
    std::string path_;
    int fd_ = -1;
    int half_ = -1; // first byte of an event whose second byte has not come
};

// Turns key events back into characters. Each character must arrive as the
// exact sequence the relay's translation gives it: a modifier left down, a
// stray release or an unknown sequence is recorded as a fault.
class event_decoder {
public:
    event_decoder();
    void feed(const key_event &event);
    void feed(const std::vector<key_event> &events);
    // Characters decoded so far, as bytes 0 to 255.
    const std::string &text() const { return text_; }
    // Human-readable descriptions of sequences that made no character,
    // including one still unfinished at the end.
    std::vector<std::string> faults() const;
    // Index in text() at which each fed event completed a character, or -1.
    const std::vector<int> &completions() const { return completions_; }

private:
    std::string describe_pending() const;
    // Event bytes of each character, and every proper prefix of them.
    std::map<std::string, int> sequences_;
    std::map<std::string, bool> prefixes_;
    std::string pending_;
    std::string text_;
    std::vector<std::string> faults_;
    std::vector<int> completions_;
};

// A character as text for people: printable ASCII as is, the rest escaped
// (\r, \x01, <Left>, ...).
std::string printable(std::string_view text);

} // namespace sim
