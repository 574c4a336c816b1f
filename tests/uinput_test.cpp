// The relay loop of a Linux host, in this process: a pipe stands in for the
// port and a file for the uinput device (this machine has no uinput; the
// system tests type through a real one). What each key should do comes from
// the kernel's own set-2 key map (tests/golden/atkbd_set2.txt).
#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <linux/input.h>
#include <string>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include "golden.h"
#include "keyferry.h"
#include "ps2event.h"
#include "uinput.h"

namespace {

using bytes = std::vector<unsigned char>;
using event = std::pair<int, int>; // key code, value
using events = std::vector<event>;

using golden::kernel_key;

struct relayed {
    events keys;        // the key events, probes left out
    bool paired = true; // every write: one key event and its SYN_REPORT
    std::string messages;
};

// Runs keyboard_uinput on a pipe until the pipe closes: probes with the Home
// key until the loop types it, then sends stream in one write.
relayed relay_on_a_pipe(int mode, const bytes &probe, const bytes &stream, int verbose = 0)
{
    int port[2];
    EXPECT_EQ(pipe(port), 0);
    fcntl(port[0], F_SETFL, O_NONBLOCK);
    char device_path[] = "/tmp/keyferry-uinput.XXXXXX";
    const int device = mkstemp(device_path);
    testing::internal::CaptureStderr();
    std::thread relay([&] { keyboard_uinput(port[0], device, mode, verbose); });
    while (lseek(device, 0, SEEK_END) == 0) {
        EXPECT_EQ(write(port[1], probe.data(), probe.size()), static_cast<ssize_t>(probe.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    for (int pending = 1; ioctl(port[0], FIONREAD, &pending) == 0 && pending > 0;)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(write(port[1], stream.data(), stream.size()), static_cast<ssize_t>(stream.size()));
    close(port[1]);
    relay.join();

    relayed r;
    r.messages = testing::internal::GetCapturedStderr();
    input_event pair[2];
    for (off_t at = 0; pread(device, pair, sizeof pair, at) == static_cast<ssize_t>(sizeof pair);
         at += sizeof pair) {
        r.paired = r.paired && pair[0].type == EV_KEY && pair[1].type == EV_SYN && pair[1].code == SYN_REPORT;
        if (pair[0].code != KEY_HOME)
            r.keys.emplace_back(pair[0].code, pair[0].value);
    }
    close(port[0]);
    close(device);
    unlink(device_path);
    return r;
}

// A burst of make and break codes over the whole map, with the driver's
// events for it, key by key from the kernel's map.
std::pair<bytes, events> session(int keys)
{
    std::vector<int> indices;
    for (int index = 0; index < ps2event_indices; ++index)
        if (kernel_key(index) != 0 && kernel_key(index) != 255 && kernel_key(index) != KEY_HOME &&
            index != 0x171 && index != 0x172)
            indices.push_back(index);
    bytes stream;
    events expected;
    for (int k = 0; k < keys; ++k) {
        const int index = indices[static_cast<std::size_t>(k * 7919) % indices.size()];
        const auto b = static_cast<unsigned char>((index & 0x7f) | (index & 0x100) >> 1);
        const bytes make = (index & 0x80) ? bytes{0xE0, b} : bytes{b};
        bytes brk = make; // the make with F0 before its key byte
        brk.insert(brk.end() - 1, 0xF0);
        for (const bytes &part : {make, make, brk})
            stream.insert(stream.end(), part.begin(), part.end());
        const int code = kernel_key(index);
        expected.insert(expected.end(), {{code, 1}, {code, 2}, {code, 0}});
    }
    return {stream, expected};
}

TEST(UinputRelay, CradleKeysArriveAsTheKernelsKeyEvents)
{
    const auto [stream, expected] = session(3000);
    const relayed r = relay_on_a_pipe('h', {0xE0, 0x6C, 0xE0, 0xF0, 0x6C}, stream);
    EXPECT_TRUE(r.paired);
    EXPECT_EQ(r.keys, expected);
    EXPECT_EQ(r.messages, "keyferry: keyboard port hung up\n");
}

TEST(UinputRelay, IrKB101FramesAreUnwrappedDumpedAndDecoded)
{
    const auto [stream, expected] = session(500);
    bytes framed{0xFF};
    for (const unsigned char b : stream)
        framed.insert(framed.end(), {b, static_cast<unsigned char>(0xFF - b)});
    const relayed r =
        relay_on_a_pipe('i', {0xFF, 0xE0, 0x1F, 0x6C, 0x93, 0xE0, 0x1F, 0xF0, 0x0F, 0x6C, 0x93}, framed);
    EXPECT_TRUE(r.paired);
    EXPECT_EQ(r.keys, expected);
    EXPECT_NE(r.messages.find("keyferry: DUMP e0 6c"), std::string::npos);
}

TEST(UinputRelay, TracesEachEventWithTheLinuxKeyCode)
{
    // A (0x1C): press, repeat, release.
    const relayed r = relay_on_a_pipe('h', {0xE0, 0x6C, 0xE0, 0xF0, 0x6C}, {0x1C, 0x1C, 0xF0, 0x1C}, 1);
    EXPECT_NE(r.messages.find("keyferry: code=30(1e), PRESS\nkeyferry: code=30(1e), REPEAT\n"
                              "keyferry: code=30(1e), RELEASE\n"),
              std::string::npos)
        << r.messages;
}

TEST(UinputKeys, EachModeDeclaresTheKeysItSends)
{
    unsigned char cradle[uinput_max_key + 1] = {};
    uinput_keys_of_mode('h', cradle);
    for (int index = 0; index < ps2event_indices; ++index)
        if (kernel_key(index) != 0 && kernel_key(index) != 255) {
            EXPECT_TRUE(cradle[kernel_key(index)]) << index;
        }
    EXPECT_FALSE(cradle[255]);
    EXPECT_FALSE(cradle[0]);

    unsigned char raw[uinput_max_key + 1] = {};
    uinput_keys_of_mode('r', raw);
    for (int key :
         {KEY_A, KEY_LEFTSHIFT, KEY_LEFTCTRL, KEY_ENTER, KEY_BACKSPACE, KEY_LEFT, KEY_END, KEY_HENKAN})
        EXPECT_TRUE(raw[key]) << key;
    for (int key : {KEY_F1, KEY_RIGHTSHIFT, KEY_LEFTALT, KEY_CAPSLOCK})
        EXPECT_FALSE(raw[key]) << key;
}

} // namespace
