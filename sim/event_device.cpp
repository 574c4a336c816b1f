#include "event_device.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "keychars.h"
#include "keytrans.h"

namespace sim {

namespace {

struct named_key {
    int code;
    const char *name;
};

// A table in rows of the key groups, laid out by hand.
// clang-format off
#define KEY(k) named_key{k, #k}
constexpr named_key named_keys[] = {
    KEY(KEY_A), KEY(KEY_B), KEY(KEY_C), KEY(KEY_D), KEY(KEY_E), KEY(KEY_F), KEY(KEY_G),
    KEY(KEY_H), KEY(KEY_I), KEY(KEY_J), KEY(KEY_K), KEY(KEY_L), KEY(KEY_M), KEY(KEY_N),
    KEY(KEY_O), KEY(KEY_P), KEY(KEY_Q), KEY(KEY_R), KEY(KEY_S), KEY(KEY_T), KEY(KEY_U),
    KEY(KEY_V), KEY(KEY_W), KEY(KEY_X), KEY(KEY_Y), KEY(KEY_Z),
    KEY(KEY_SHIFT), KEY(KEY_RET), KEY(KEY_MENU), KEY(KEY_ALT), KEY(KEY_BS), KEY(KEY_KIGOU),
    KEY(KEY_LCDOFF), KEY(KEY_CANCEL), KEY(KEY_LEFT), KEY(KEY_UP), KEY(KEY_DOWN),
    KEY(KEY_RIGHT), KEY(KEY_OK), KEY(KEY_HOME),
    KEY(KEY_ONE), KEY(KEY_TWO), KEY(KEY_THREE), KEY(KEY_FOUR), KEY(KEY_FIVE), KEY(KEY_SIX),
    KEY(KEY_SEVEN), KEY(KEY_EIGHT), KEY(KEY_NINE), KEY(KEY_ZERO),
    KEY(KEY_USCORE), KEY(KEY_DOT), KEY(KEY_EQUAL), KEY(KEY_YEN), KEY(KEY_SEMI),
    KEY(KEY_COLON), KEY(KEY_FN_I),
    KEY(KEY_MINUS), KEY(KEY_ASTER), KEY(KEY_LOCK), KEY(KEY_UNDEF), KEY(KEY_BAR),
    KEY(KEY_COMMA), KEY(KEY_PERIOD), KEY(KEY_TAB), KEY(KEY_X_2), KEY(KEY_C_2),
    KEY(KEY_V_2), KEY(KEY_PLUS), KEY(KEY_LBRACKET), KEY(KEY_LARGE), KEY(KEY_CIRCUM),
    KEY(KEY_RBRACKET), KEY(KEY_SMALL), KEY(KEY_FN_U), KEY(KEY_DARK), KEY(KEY_BRITE),
    KEY(KEY_UNDEF6), KEY(KEY_UNDEF7), KEY(KEY_UNDEF8), KEY(KEY_UNDEF9), KEY(KEY_Z_2),
    KEY(KEY_UNDEFA), KEY(KEY_UNDEFB), KEY(KEY_AT), KEY(KEY_LESS), KEY(KEY_GRATER),
    KEY(KEY_F9), KEY(KEY_SLASH), KEY(KEY_MAIL), KEY(KEY_SPACE), KEY(KEY_SPACE_2),
    KEY(KEY_UNDEFC), KEY(KEY_UNDEFD), KEY(KEY_KANJI),
    KEY(KEY_MUSIC), KEY(KEY_MUSIC2), KEY(KEY_MUSIC3), KEY(KEY_MUSIC4), KEY(KEY_MUSIC5),
    KEY(KEY_MUSIC6), KEY(KEY_UNDEFE),
    KEY(KEY_SHIFT_2), KEY(KEY_CTRL), KEY(KEY_CTRL_HAT), KEY(KEY_MENUX), KEY(KEY_CTRL_YEN),
    KEY(KEY_LBRACE), KEY(KEY_OFF), KEY(KEY_MAIL2), KEY(KEY_RBRACE), KEY(KEY_KIGOU2),
    KEY(KEY_KRIGHT), KEY(KEY_KLEFT), KEY(KEY_PRTSC), KEY(KEY_CTRL_US), KEY(KEY_SYNC),
    KEY(KEY_YEN2), KEY(KEY_UNDEFI), KEY(KEY_LARGE2), KEY(KEY_KANAHIRA), KEY(KEY_KANJI2),
    KEY(KEY_OK2), KEY(KEY_CANCEL2), KEY(KEY_KUP), KEY(KEY_KDOWN), KEY(KEY_UNDEFK),
};
#undef KEY
// clang-format on

constexpr bool names_in_code_order()
{
    int expected = 1;
    for (const named_key &k : named_keys)
        if (k.code != expected++)
            return false;
    return true;
}
static_assert(std::size(named_keys) == 127 && names_in_code_order());

constexpr const char *extended_names[] = {"<Left>", "<Right>", "<Up>",    "<Down>",
                                          "<Home>", "<Kanji>", "<PrtSc>", "<End>"};
static_assert(std::size(extended_names) == EXT_END - EXT_LEFT + 1);

// "KEY_SHIFT" for 27; "KEY_?(200)" for codes the device does not know.
std::string key_name(int code)
{
    if (code >= 1 && code <= 127)
        return named_keys[code - 1].name;
    return "KEY_?(" + std::to_string(code) + ")";
}

} // namespace

std::string describe(const key_event &event)
{
    const char *state = event.state == 1 ? " press" : event.state == 0 ? " release" : " state?";
    return key_name(event.code) + state;
}

event_device::event_device(std::string path) : path_(std::move(path))
{
    if (mkfifo(path_.c_str(), 0600) != 0 && errno != EEXIST)
        throw std::runtime_error("event device: mkfifo " + path_ + ": " + std::strerror(errno));
    fd_ = open(path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0)
        throw std::runtime_error("event device: open " + path_ + ": " + std::strerror(errno));
}

event_device::~event_device()
{
    close_reader();
    unlink(path_.c_str());
}

size_t event_device::read_events(std::vector<key_event> &out)
{
    size_t before = out.size();
    uint8_t buf[4096];
    for (;;) {
        if (fd_ < 0)
            break;
        ssize_t got = read(fd_, buf, sizeof buf);
        if (got <= 0)
            break;
        for (ssize_t i = 0; i < got; ++i) {
            if (half_ < 0) {
                half_ = buf[i];
            } else {
                out.push_back({static_cast<uint8_t>(half_), buf[i]});
                half_ = -1;
            }
        }
    }
    return out.size() - before;
}

void event_device::close_reader()
{
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

event_decoder::event_decoder()
{
    // The inverse of the relay's own translation, so that the handheld side
    // of every test agrees with what the relay means to type.
    for (int ch = 0; ch < 256; ++ch) {
        unsigned char events[2 * max_events_per_char];
        int n = char2key(ch, events);
        if (n == 0)
            continue;
        std::string seq(reinterpret_cast<const char *>(events), static_cast<size_t>(2 * n));
        sequences_[seq] = ch;
        for (size_t len = 2; len < seq.size(); len += 2)
            prefixes_[seq.substr(0, len)] = true;
    }
}

void event_decoder::feed(const key_event &event)
{
    pending_.push_back(static_cast<char>(event.code));
    pending_.push_back(static_cast<char>(event.state));
    auto whole = sequences_.find(pending_);
    if (whole != sequences_.end()) {
        text_.push_back(static_cast<char>(whole->second));
        completions_.push_back(static_cast<int>(text_.size()) - 1);
        pending_.clear();
        return;
    }
    completions_.push_back(-1);
    if (!prefixes_.contains(pending_)) {
        faults_.push_back("no character types as:" + describe_pending());
        pending_.clear();
    }
}

void event_decoder::feed(const std::vector<key_event> &events)
{
    for (const key_event &e : events)
        feed(e);
}

std::string event_decoder::describe_pending() const
{
    std::string events;
    for (size_t i = 0; i + 1 < pending_.size(); i += 2) {
        events.append(" ");
        events.append(describe({static_cast<uint8_t>(pending_[i]), static_cast<uint8_t>(pending_[i + 1])}));
    }
    return events;
}

std::vector<std::string> event_decoder::faults() const
{
    std::vector<std::string> all = faults_;
    if (!pending_.empty())
        all.push_back("unfinished character:" + describe_pending());
    return all;
}

std::string printable(std::string_view text)
{
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    for (char c : text) {
        auto ch = static_cast<unsigned char>(c);
        if (ch >= 0x20 && ch < 0x7f && ch != '\\') {
            out += c;
        } else if (ch == '\\') {
            out += "\\\\";
        } else if (ch == '\r') {
            out += "\\r";
        } else if (ch == '\n') {
            out += "\\n";
        } else if (ch == '\t') {
            out += "\\t";
        } else if (ch >= EXT_LEFT && ch <= EXT_END) {
            out += extended_names[ch - EXT_LEFT];
        } else {
            out += "\\x";
            out += hex[ch >> 4];
            out += hex[ch & 15];
        }
    }
    return out;
}

} // namespace sim
