// The relay core on its own: key translation, event writes and their trace,
// the hexadecimal dump, the help text and the command line.
#include <gtest/gtest.h>

#include <climits>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "golden.h"
#include "keychars.h"
#include "keyferry.h"

namespace {

// Every character 0 to 255 (and nothing outside) types exactly the events
// tests/golden/typing.txt gives it, written once from the typing table.
TEST(KeyTranslation, EveryCharacterTypesAsTheGoldenTableSays)
{
    for (int ch = 0; ch < 256; ++ch) {
        unsigned char buf[event_buffer_size];
        const int n = char2key(ch, buf);
        golden::events got;
        for (int i = 0; i < n; ++i)
            got.push_back({buf[2 * i], buf[2 * i + 1]});
        EXPECT_EQ(golden::first_difference(got, golden::typing()[static_cast<size_t>(ch)]), "none")
            << "character " << ch;
    }
    unsigned char untouched[2 * max_events_per_char] = {0xAA};
    for (int ch : {-1, 256, 1000}) {
        EXPECT_EQ(char2key(ch, untouched), 0) << ch;
        EXPECT_EQ(untouched[0], 0xAA) << ch;
    }
}

// Captures the records written to a socket that keeps each write apart.
class event_socket {
public:
    event_socket() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds_), 0); }
    ~event_socket()
    {
        close(fds_[0]);
        close(fds_[1]);
    }
    event_socket(const event_socket &) = delete;
    event_socket &operator=(const event_socket &) = delete;
    int writer() const { return fds_[0]; }
    // Each write as it arrived; stops when none is pending.
    std::vector<std::vector<unsigned char>> writes()
    {
        std::vector<std::vector<unsigned char>> all;
        unsigned char buf[64];
        ssize_t got;
        while ((got = recv(fds_[1], buf, sizeof buf, MSG_DONTWAIT)) >= 0)
            all.emplace_back(buf, buf + got);
        return all;
    }

private:
    int fds_[2] = {-1, -1};
};

TEST(Injection, EachEventIsOneTwoByteWriteInCharacterOrder)
{
    event_socket device;
    const unsigned char chunk[] = {'a', 30, 'B', 200};
    ascii_write(device.writer(), chunk, 4, 0);
    std::vector<std::vector<unsigned char>> expected = {
        {KEY_A, 1}, {KEY_A, 0}, {KEY_SHIFT, 1}, {KEY_B, 1}, {KEY_B, 0}, {KEY_SHIFT, 0},
    };
    EXPECT_EQ(device.writes(), expected);

    ascii_write(device.writer(), chunk, 0, 0);
    ascii_write(device.writer(), chunk, -5, 0);
    EXPECT_TRUE(device.writes().empty());
}

TEST(Injection, TraceLinePrecedesEveryEventWrittenOrNot)
{
    event_socket device;
    testing::internal::CaptureStderr();
    pseudo_input(device.writer(), 'A', 1);
    pseudo_input(device.writer(), 29, 1); // types nothing, traces nothing
    pseudo_input(device.writer(), 'z', 0);
    pseudo_input(-1, '~', 1); // every write fails: all events still traced
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "keyferry: code=27(1b), PRESS\n"
              "keyferry: code=1(1), PRESS\n"
              "keyferry: code=1(1), RELEASE\n"
              "keyferry: code=27(1b), RELEASE\n"
              "keyferry: code=27(1b), PRESS\nkeyferry: code=50(32), PRESS\n"
              "keyferry: code=50(32), RELEASE\nkeyferry: code=27(1b), RELEASE\n");
    EXPECT_EQ(device.writes().size(), 6u);
}

// The relay loop in this process, on a pipe standing in for the port: a pipe
// hands a read all it holds, so a read can be made to fill the decoders'
// room while they carry an unfinished sequence. Types `carried` (whose end
// the decoders must keep), then `burst` in one write, then closes the pipe;
// returns the events written after the probes that found the loop running.
golden::events relay_on_a_pipe(int mode, const std::vector<unsigned char> &probe,
                               const std::vector<unsigned char> &carried,
                               const std::vector<unsigned char> &burst)
{
    int port[2];
    EXPECT_EQ(pipe(port), 0);
    fcntl(port[0], F_SETFL, O_NONBLOCK);
    char device_path[] = "/tmp/keyferry-loop.XXXXXX";
    const int device = mkstemp(device_path);
    testing::internal::CaptureStderr(); // the keyboard's DUMP lines and the hang-up
    std::thread relay([&] { keyboard(port[0], device, mode, 0); });
    auto read_by_relay = [&] {
        for (int pending = 1; ioctl(port[0], FIONREAD, &pending) == 0 && pending > 0;)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    // Bytes sent before the loop runs are discarded: probe until one types.
    while (lseek(device, 0, SEEK_END) == 0) {
        EXPECT_EQ(write(port[1], probe.data(), probe.size()), static_cast<ssize_t>(probe.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    read_by_relay();
    EXPECT_EQ(write(port[1], carried.data(), carried.size()), static_cast<ssize_t>(carried.size()));
    read_by_relay();
    EXPECT_EQ(write(port[1], burst.data(), burst.size()), static_cast<ssize_t>(burst.size()));
    close(port[1]);
    relay.join();
    EXPECT_EQ(testing::internal::GetCapturedStderr().find("overflow"), std::string::npos);
    unsigned char bytes[2];
    golden::events events;
    for (off_t at = 0; pread(device, bytes, 2, at) == 2; at += 2)
        if (bytes[0] != KEY_HOME)
            events.push_back({bytes[0], bytes[1]});
    close(port[0]);
    close(device);
    unlink(device_path);
    return events;
}

TEST(RelayLoop, AReadThatFillsTheRoomLeftBehindACarriedSequenceLosesNothing)
{
    // Cradle: 'a' and the F0 of its release, then the release's key byte and
    // "b" typed over and over, three bytes each, more than a buffer's worth
    // at once.
    const int cradle_bs = carry_buffer::bufsize / 3 + 1;
    std::vector<unsigned char> cradle = {0x1C};
    for (int k = 0; k < cradle_bs; ++k)
        cradle.insert(cradle.end(), {0x32, 0xF0, 0x32});
    ASSERT_GT(cradle.size(), static_cast<size_t>(carry_buffer::bufsize));
    EXPECT_EQ(golden::first_difference(relay_on_a_pipe('h', {0xE0, 0x6C}, {0x1C, 0xF0}, cradle),
                                       golden::typing("a" + std::string(cradle_bs, 'b'))),
              "none");

    // IrKB101: the pairs of 'a' and a lone byte held back as an unfinished
    // run, then its partner and pairs for "b" over and over, six bytes each.
    const int framed_bs = carry_buffer::bufsize / 6 + 1;
    std::vector<unsigned char> framed = {0xE4, 0xFF};
    for (int k = 0; k < framed_bs; ++k)
        framed.insert(framed.end(), {0x32, 0xCD, 0xF0, 0x0F, 0x32, 0xCD});
    ASSERT_GT(framed.size(), static_cast<size_t>(carry_buffer::bufsize));
    EXPECT_EQ(golden::first_difference(
                  relay_on_a_pipe('i', {0xFF, 0xE0, 0x1F, 0x6C, 0x93}, {0x1C, 0xE3, 0x1B}, framed),
                  golden::typing("as" + std::string(framed_bs, 'b'))),
              "none");
}

TEST(Dump, PrintsEveryByteInLowerCaseHex)
{
    std::vector<unsigned char> many(600);
    for (size_t i = 0; i < many.size(); ++i)
        many[i] = static_cast<unsigned char>(i * 7);
    std::string expected_many = "keyferry: DUMP";
    char cell[4];
    for (unsigned char b : many) {
        std::snprintf(cell, sizeof cell, " %02x", b);
        expected_many += cell;
    }
    expected_many += "\n";

    testing::internal::CaptureStderr();
    const unsigned char some[] = {0x00, 0xff, 0x1c, 0xe3};
    dumpbuf(4, some);
    dumpbuf(0, some);
    dumpbuf(static_cast<int>(many.size()), many.data());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "keyferry: DUMP 00 ff 1c e3\nkeyferry: DUMP\n" + expected_many);
}

TEST(Usage, HelpTextIsExact)
{
    testing::internal::CaptureStderr();
    usage();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Usage: keyferry [option]... [device]\n"
              "    options:\n"
              "\t-raw: RAW keyboard (no conversion) mode\n"
              "\t-irkb101: IrKB101+PS/2 mode\n"
              "\t-IrKB101: IrKB101+PS/2 mode without initialize\n"
              "\t-cradle: Happy Hacking Cradle+PS/2 mode\n"
              "\t-#: set serial speed [bps]\n"
              "    default:\n"
              "\tkeyferry -9600 -raw /dev/ttyS1\n");
}

struct parse_case {
    std::vector<const char *> words; // after the program name
    int result;
    int mode = 'r';
    int speed = 9600;
    std::string kbdsim = "/dev/kbdsim";
    std::string port = "/dev/ttyS1";
    int init101 = 1;
    int verbose = 0;
    int uinput = 0;
    std::string uinput_device = "/dev/uinput";
};

TEST(CommandLine, OptionsActInOrder)
{
    const parse_case cases[] = {
        {{}, 0},
        {{"-raw"}, 0},
        {{"-rx", "/dev/ttyUSB0"}, 0, 'r', 9600, "/dev/kbdsim", "/dev/ttyUSB0"},
        {{"-irkb101"}, 0, 'i'},
        {{"-IrKB101"}, 0, 'i', 9600, "/dev/kbdsim", "/dev/ttyS1", 0},
        {{"-IrKB101", "-irkb101"}, 0, 'i', 9600, "/dev/kbdsim", "/dev/ttyS1", 0},
        {{"-cradle"}, 0, 'h', 4800},
        {{"-cradle", "-9600"}, 0, 'h', 9600},
        {{"-9600", "-cradle"}, 0, 'h', 4800},
        {{"-19200"}, 0, 'r', 19200},
        {{"-96x"}, 0, 'r', 96},
        {{"-0"}, 0, 'r', 0},
        {{"-99999999999"}, 0, 'r', INT_MAX},
        {{"-d", "/tmp/dev"}, 0, 'r', 9600, "/tmp/dev"},
        {{"-d", "-raw", "/dev/ttyS0"}, 0, 'r', 9600, "-raw", "/dev/ttyS0"},
        {{"-v"}, 0, 'r', 9600, "/dev/kbdsim", "/dev/ttyS1", 1, 1},
        {{"-v", "-verbose"}, 0},
        {{"-v", "-v", "-v"}, 0, 'r', 9600, "/dev/kbdsim", "/dev/ttyS1", 1, 1},
        {{"/dev/ttyS0", "-cradle", "-x"}, 0, 'r', 9600, "/dev/kbdsim", "/dev/ttyS0"},
        {{"-cradle", "port", "extra"}, 0, 'h', 4800, "/dev/kbdsim", "port"},
        {{"-d"}, -1},
        {{"-raw", "-d"}, -1},
        {{"-"}, -1},
        {{"-x"}, -1},
        {{"-R"}, -1},
        {{"-cradle", "-help"}, -1},
        // -d names the device of whichever way the relay types, before or after -u.
        {.words = {"-u"}, .result = 0, .uinput = 1},
        {.words = {"-uinput", "-cradle", "/dev/ttyUSB0"},
         .result = 0,
         .mode = 'h',
         .speed = 4800,
         .port = "/dev/ttyUSB0",
         .uinput = 1},
        {.words = {"-d", "/dev/input/uinput", "-u"},
         .result = 0,
         .kbdsim = "/dev/input/uinput",
         .uinput = 1,
         .uinput_device = "/dev/input/uinput"},
        {.words = {"-u", "-d", "/tmp/dev"},
         .result = 0,
         .kbdsim = "/tmp/dev",
         .uinput = 1,
         .uinput_device = "/tmp/dev"},
    };
    for (const parse_case &c : cases) {
        std::vector<const char *> argv{"keyferry"};
        argv.insert(argv.end(), c.words.begin(), c.words.end());
        std::string shown;
        for (const char *w : c.words)
            shown += std::string(" ") + w;
        options opt;
        ASSERT_EQ(parse_options(static_cast<int>(argv.size()), argv.data(), opt), c.result) << shown;
        if (c.result != 0)
            continue;
        EXPECT_EQ(opt.mode, c.mode) << shown;
        EXPECT_EQ(opt.speed, c.speed) << shown;
        EXPECT_EQ(opt.namkbdsim, c.kbdsim) << shown;
        EXPECT_EQ(opt.namextkey, c.port) << shown;
        EXPECT_EQ(opt.init101, c.init101) << shown;
        EXPECT_EQ(opt.verbose, c.verbose) << shown;
        EXPECT_EQ(opt.uinput, c.uinput) << shown;
        if (c.uinput) {
            EXPECT_EQ(opt.namuinput, c.uinput_device) << shown;
        }
    }
}

} // namespace
