#include "keyboards.h"

#include <algorithm>

#include "ps2_encoder.h"

namespace sim {

namespace {

// Scan codes for text, or false (nothing appended) if a character has no key.
bool scan_codes(std::string_view text, std::vector<uint8_t> &out)
{
    std::vector<unsigned char> codes;
    if (ps2_encode_text(text, codes) != text.size())
        return false;
    out.insert(out.end(), codes.begin(), codes.end());
    return true;
}

} // namespace

bool raw_keyboard::encode(std::string_view text, std::vector<uint8_t> &out)
{
    out.insert(out.end(), text.begin(), text.end());
    return true;
}

bool cradle_keyboard::encode(std::string_view text, std::vector<uint8_t> &out)
{
    return scan_codes(text, out);
}

irkb101_keyboard::irkb101_keyboard(bool handshake, irkb101_keyboard_behaviour behaviour,
                                   const std::string &name)
    : handshake_(handshake),
      answers_all_(std::all_of(behaviour.answers.begin(), behaviour.answers.end(), [](bool a) { return a; })),
      responder_(std::move(behaviour)),
      name_(name.empty() ? (handshake ? "irkb101" : "irkb101-noinit") : name)
{
}

std::vector<std::string> irkb101_keyboard::relay_options() const
{
    return {handshake_ ? "-irkb101" : "-IrKB101"};
}

bool irkb101_keyboard::encode(std::string_view text, std::vector<uint8_t> &out)
{
    std::vector<uint8_t> codes;
    if (!scan_codes(text, codes))
        return false;
    std::vector<unsigned char> framed;
    if (!irkb101_frame(codes, framed, framing))
        return false;
    out.insert(out.end(), framed.begin(), framed.end());
    return true;
}

void irkb101_keyboard::serve(const uint8_t *heard, size_t size, std::chrono::steady_clock::time_point now,
                             std::vector<uint8_t> &reply)
{
    if (!handshake_)
        return;
    responder_.receive(std::span<const unsigned char>(heard, size), now);
    std::vector<unsigned char> due;
    responder_.take_due(now, due);
    reply.insert(reply.end(), due.begin(), due.end());
}

bool irkb101_keyboard::initialising() const
{
    // Done once the last init string has been heard and its answer sent.
    const auto &heard = responder_.recognised();
    bool heard_last = std::find(heard.begin(), heard.end(), 2) != heard.end();
    return handshake_ && (!answers_all_ || !heard_last || responder_.next_due().has_value());
}

std::unique_ptr<virtual_keyboard> make_keyboard(std::string_view mode)
{
    using behaviour = irkb101_keyboard_behaviour;
    if (mode == "raw")
        return std::make_unique<raw_keyboard>();
    if (mode == "cradle")
        return std::make_unique<cradle_keyboard>();
    if (mode == "irkb101")
        return std::make_unique<irkb101_keyboard>(true);
    if (mode == "irkb101-noinit")
        return std::make_unique<irkb101_keyboard>(false);
    if (mode == "irkb101-silent")
        return std::make_unique<irkb101_keyboard>(true, behaviour::silent(), std::string(mode));
    if (mode == "irkb101-noisy")
        return std::make_unique<irkb101_keyboard>(true, behaviour::noisy({0x00, 0x13, 0xFF, 0x55}),
                                                  std::string(mode));
    if (mode == "irkb101-late") {
        // The first answer comes after the relay has given up waiting and
        // sent the string again; it is matched during the second wait.
        behaviour late;
        late.delay = {std::chrono::milliseconds(3200), {}, {}};
        return std::make_unique<irkb101_keyboard>(true, late, std::string(mode));
    }
    if (mode == "irkb101-two")
        return std::make_unique<irkb101_keyboard>(true, behaviour::silent_after_two(), std::string(mode));
    return nullptr;
}

std::vector<keyboard_mode> keyboard_modes()
{
    return {
        {"raw", "plain bytes at 9600 bps (relay -raw)"},
        {"cradle", "Happy Hacking Cradle, PS/2 set 2 at 4800 bps (-cradle)"},
        {"irkb101", "IrKB101 with the init handshake, 9600 bps (-irkb101)"},
        {"irkb101-noinit", "IrKB101 without the handshake (-IrKB101)"},
        {"irkb101-silent", "never answers the handshake: the relay's exit 1 is expected"},
        {"irkb101-noisy", "sends noise in front of its answers"},
        {"irkb101-late", "answers the first init string late"},
        {"irkb101-two", "answers two init strings only: the relay's exit 1 is expected"},
    };
}

} // namespace sim
