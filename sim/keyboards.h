// Virtual keyboards: each speaks one of the protocols the relay reads, turning
// text into the bytes such a keyboard would put on the serial line, and
// answering whatever the relay says to the keyboard.
#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "irkb101_link.h"

namespace sim {

class virtual_keyboard {
public:
    virtual ~virtual_keyboard() = default;
    // The name used on the command line of keyferry-sim ("raw", "cradle", ...).
    virtual std::string_view mode() const = 0;
    // Relay options that select this keyboard's mode.
    virtual std::vector<std::string> relay_options() const = 0;
    // Bits per second on the line, for sending at the keyboard's own pace.
    virtual int line_rate() const = 0;
    // Appends the bytes that type text; returns false, appending nothing,
    // when some character has no key on this keyboard.
    virtual bool encode(std::string_view text, std::vector<uint8_t> &out) = 0;
    // Hears the bytes the relay sent to the keyboard (possibly none) at time
    // now and appends the keyboard's answer, if any is due, to reply.
    virtual void serve(const uint8_t *heard, size_t size, std::chrono::steady_clock::time_point now,
                       std::vector<uint8_t> &reply)
    {
        (void)heard, (void)size, (void)now, (void)reply;
    }
    // True while the keyboard waits for the relay to finish initialising it;
    // nothing may be typed until then.
    virtual bool initialising() const { return false; }
    // True for a keyboard that leaves init strings unanswered on purpose:
    // the relay must give up the handshake and exit 1.
    virtual bool fails_handshake() const { return false; }
};

// Sends every character as its own byte.
class raw_keyboard : public virtual_keyboard {
public:
    std::string_view mode() const override { return "raw"; }
    std::vector<std::string> relay_options() const override { return {"-raw"}; }
    int line_rate() const override { return 9600; }
    bool encode(std::string_view text, std::vector<uint8_t> &out) override;
};

// A Happy Hacking Cradle: PS/2 scan code set 2, with Shift and Ctrl pressed
// around each character as the key table needs, at 4800 bps.
class cradle_keyboard : public virtual_keyboard {
public:
    std::string_view mode() const override { return "cradle"; }
    std::vector<std::string> relay_options() const override { return {"-cradle"}; }
    int line_rate() const override { return 4800; }
    bool encode(std::string_view text, std::vector<uint8_t> &out) override;
};

// An IrKB101 infrared keyboard: the cradle's scan codes, each byte sent with
// its complement, in runs between 0xFF bytes. With the handshake it answers
// the relay's init strings as its behaviour says, and nothing can be typed
// until all three are answered.
class irkb101_keyboard : public virtual_keyboard {
public:
    explicit irkb101_keyboard(bool handshake = true,
                              irkb101_keyboard_behaviour behaviour = irkb101_keyboard_behaviour::proper(),
                              const std::string &name = "");
    std::string_view mode() const override { return name_; }
    std::vector<std::string> relay_options() const override;
    int line_rate() const override { return 9600; }
    bool encode(std::string_view text, std::vector<uint8_t> &out) override;
    void serve(const uint8_t *heard, size_t size, std::chrono::steady_clock::time_point now,
               std::vector<uint8_t> &reply) override;
    bool initialising() const override;
    bool fails_handshake() const override { return handshake_ && !answers_all_; }
    // Init strings recognised so far, in order.
    const std::vector<int> &heard_init_strings() const { return responder_.recognised(); }

    irkb101_framing framing; // how payload is cut into runs

private:
    bool handshake_;
    bool answers_all_;
    irkb101_responder responder_;
    std::string name_;
};

// The keyboard for a mode name, or null for an unknown name.
std::unique_ptr<virtual_keyboard> make_keyboard(std::string_view mode);
// The mode names make_keyboard knows, each with a line for help texts.
struct keyboard_mode {
    std::string name;
    std::string summary;
};
std::vector<keyboard_mode> keyboard_modes();

} // namespace sim
