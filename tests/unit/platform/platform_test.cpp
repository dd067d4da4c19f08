// The platform layer: sandbox overrides, a missing board, the clock and the
// address texts.
#include "platform/board.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/sandbox.h"
#include "platform/textconv.h"

#include "common/fake_time.h"
#include "common/wait.h"

#include <arpa/inet.h>
#include <poll.h>
#include <semaphore.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

std::string text_of(in_addr addr)
{
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &addr, text, sizeof text);
    return text;
}

class Environment : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (const char *name : {"ZANDREL_ROOT", "ZANDREL_CHIP_NET", "ZANDREL_CHIP_BIND", "ZANDREL_CHIP_PORT",
                                 "ZANDREL_KERNEL_PORT", "ZANDREL_IFACE", "ZANDREL_LOG_STDERR"})
            unsetenv(name);
    }
};

TEST_F(Environment, EveryVariableOverridesItsBoardDefaultAndAMalformedValueFallsBackToIt)
{
    const struct {
        const char *variable, *value;
        std::string (*read)();
        const char *board, *overridden, *malformed;
    } cases[] = {
        {"ZANDREL_ROOT", "/var/run/box/", [] { return sandbox_path("/etc/config/ontautoupdate"); },
         "/etc/config/ontautoupdate", "/var/run/box/etc/config/ontautoupdate", nullptr},
        {"ZANDREL_CHIP_NET", "127.0.255", [] { return text_of(sandbox_chip_addr(3)); }, "192.168.255.4", "127.0.255.4",
         "not.a.net"},
        {"ZANDREL_CHIP_BIND", "127.0.255.100", [] { return text_of(sandbox_chip_bind()); }, "0.0.0.0", "127.0.255.100",
         nullptr},
        {"ZANDREL_CHIP_PORT", "24113", [] { return std::to_string(sandbox_chip_port()); }, "14113", "24113", "70000"},
        {"ZANDREL_KERNEL_PORT", "17001", [] { return std::to_string(sandbox_kernel_port()); }, "7001", "17001", "12x"},
        {"ZANDREL_IFACE", "lo", [] { return std::string(sandbox_iface()); }, "eth0", "lo", nullptr},
        {"ZANDREL_LOG_STDERR", "1", [] { return std::to_string(sandbox_log_stderr()); }, "0", "1", "yes"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.variable);
        if (c.malformed) {
            setenv(c.variable, c.malformed, 1);
            EXPECT_EQ(c.read(), c.board);
        }
        unsetenv(c.variable);
        EXPECT_EQ(c.read(), c.board);
        setenv(c.variable, c.value, 1);
        EXPECT_EQ(c.read(), c.overridden);
    }
    char small[16], big[64];
    EXPECT_EQ(sandbox_path(small, sizeof small, "/tmp/chip.sock"), -1);
    EXPECT_EQ(sandbox_path(big, sizeof big, "/dev/board"), 0);
    EXPECT_STREQ(big, "/var/run/box/dev/board");
}

// The datagram reset is what every board start-up sends.
TEST_F(Environment, AMissingBoardIsLoggedOnceAndResetsNothing)
{
    fs::path root = fs::temp_directory_path() / ("zandrel-board-" + std::to_string(getpid()));
    fs::create_directories(root / "dev");
    setenv("ZANDREL_ROOT", root.c_str(), 1);
    board_device none;
    // Neither device nor socket: logged once, however often it is tried.
    setenv("ZANDREL_LOG_STDERR", "1", 1);
    log_open();
    testing::internal::CaptureStderr();
    EXPECT_EQ(board_open(&none), -1);
    EXPECT_EQ(board_open(&none), -1);
    std::string logged = testing::internal::GetCapturedStderr();
    log_close();
    EXPECT_EQ(count_of(logged, "board: cannot open " + (root / "dev/board").string() + " (No such file"), 1) << logged;
    EXPECT_EQ(board_reset(&none, 1), -1);
    fs::remove_all(root);
}

// A wait on the fake clock that notes the fake time at which it ended.
struct timed_wait {
    std::atomic<uint64_t> ended_at{0};
    bool result = false;
    std::thread thread;

    template <typename Wait>
    explicit timed_wait(Wait wait)
        : thread([this, wait] {
              result = wait();
              ended_at = clock_now_ms();
          })
    {
    }
    bool finish()
    {
        thread.join();
        return result;
    }
};

TEST(Clock, TimeOutsAndDelaysEndExactlyWhenTheFakeClockPassesTheirDeadline)
{
    sem_t sem;
    sem_init(&sem, 0, 0);
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_mutex_lock(&mutex);   // held throughout: the lock wait can only time out
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    pollfd readable{fds[0], POLLIN, 0};

    struct {
        const char *what;
        uint32_t ms;
        std::function<bool()> wait;
    } cases[] = {
        {"semaphore", 2000, [&] { return clock_sem_wait(&sem, 2000); }},
        {"mutex", 5000, [&] { return clock_mutex_lock(&mutex, 5000); }},
        {"poll", 5000, [&] { return clock_poll(&readable, 1, 5000) != 0; }},
        {"delay", 4000, [] { return !clock_delay(4000); }},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        clock_fake_set(100);
        timed_wait waiter(c.wait);
        ASSERT_TRUE(advance_when_waiting(c.ms - 1));
        ASSERT_TRUE(advance_when_waiting(1)) << "still waiting one millisecond before its deadline";
        EXPECT_FALSE(waiter.finish()) << "a time-out, not the event";
        EXPECT_EQ(waiter.ended_at.load(), 100000u + c.ms);
        clock_fake_release();
    }
    pthread_mutex_unlock(&mutex);
    close(fds[0]);
    close(fds[1]);
    sem_destroy(&sem);
}

TEST(Clock, TimeScaleIsADivisorFromOneToAThousand)
{
    const struct {
        const char *value;
        unsigned scale;
    } cases[] = {{nullptr, 1}, {"", 1}, {"20", 20}, {"1000", 1000}, {"1001", 1}, {"0", 1}, {"8x", 1}};
    for (const auto &c : cases) {
        if (c.value)
            setenv("ZANDREL_TIME_SCALE", c.value, 1);
        else
            unsetenv("ZANDREL_TIME_SCALE");
        EXPECT_EQ(sandbox_time_scale(), c.scale) << (c.value ? c.value : "(unset)");
    }
    unsetenv("ZANDREL_TIME_SCALE");
}

TEST(TextConversions, AddressesRoundTripThroughText)
{
    uint8_t mac[6];
    convert_mac(mac, "00:0d:B6:ff:10:02");
    EXPECT_EQ(memcmp(mac, "\x00\x0D\xB6\xFF\x10\x02", 6), 0);
    convert_mac(mac, "01-02-03-04-05-06");
    EXPECT_EQ(memcmp(mac, "\x01\x02\x03\x04\x05\x06", 6), 0);
    convert_mac(mac, "0A:0B");   // short text: missing numbers are zero, nothing read past its end
    EXPECT_EQ(memcmp(mac, "\x0A\x0B\0\0\0\0", 6), 0);
    char text[18];
    convert_to_mac(text, reinterpret_cast<const uint8_t *>("\x00\x0D\xB6\xAB\xCD\xEF"));
    EXPECT_STREQ(text, "00:0D:B6:AB:CD:EF");

    uint8_t ip[4];
    convert_ip(ip, "192.168.255.1");
    EXPECT_EQ(memcmp(ip, "\xC0\xA8\xFF\x01", 4), 0);
    convert_ip(ip, "");
    EXPECT_EQ(memcmp(ip, "\xFF\xFF\xFF\xFF", 4), 0);
    char ip_text[16];
    convert_to_ip(ip_text, reinterpret_cast<const uint8_t *>("\x0A\x00\xFF\x07"));
    EXPECT_STREQ(ip_text, "10.0.255.7");

    char word[] = "onu-3a:ff";
    convert_to_upper(word);
    EXPECT_STREQ(word, "ONU-3A:FF");
}

} // namespace
