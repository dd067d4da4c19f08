// A chip address flooding the daemon with fragments that never complete:
// the chip receive path stops at its share of the pool, so the management
// link still gets the blocks it needs, during the flood and after it.
#include "integration/harness.h"
#include "base/bytes.h"
#include "common/wait.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr int START_SECONDS = 30;   // the daemon sleeps 4 seconds before it connects
constexpr size_t FRAGMENT_BYTES = 1400;
constexpr int BATCH = 50;
constexpr int MOST_FRAGMENTS = 8000;   // 11 MB: far beyond the 4 MiB pool
const char SHARE_LINE[] = "teklink: chip messages hold their share of the pool";

// A UDP socket bound to chip 0's address, sending to the daemon's chip socket.
class chip_sender {
public:
    explicit chip_sender(const std::string &net)
    {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in from{};
        from.sin_family = AF_INET;
        inet_pton(AF_INET, (net + ".1").c_str(), &from.sin_addr);
        bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&from), sizeof from) == 0;
        to_.sin_family = AF_INET;
        to_.sin_port = htons(14113);
        inet_pton(AF_INET, (net + ".100").c_str(), &to_.sin_addr);
    }
    ~chip_sender()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    bool ready() const { return bound_; }
    // A fragment "more to come" (RCODE 14) of a message that never ends.
    void fragment(uint16_t ctag)
    {
        std::vector<uint8_t> d(FRAGMENT_BYTES, 0x5A);
        store_be16(&d[0], 0x0042);                             // ID
        store_be16(&d[2], ctag);                               // CTAG
        store_be16(&d[4], uint16_t(FRAGMENT_BYTES - 6));       // LEN
        store_be16(&d[6], 14);                                 // RCODE: multi part, more to come
        store_be16(&d[8], 0);                                  // SEQN
        sendto(fd_, d.data(), d.size(), 0, reinterpret_cast<const sockaddr *>(&to_), sizeof to_);
    }

private:
    int fd_ = -1;
    bool bound_ = false;
    sockaddr_in to_{};
};

class ChipFlood : public ::testing::Test {
protected:
    void TearDown() override
    {
        daemon_.stop(15);
        kernel_.stop(10);
    }
    // A ping carrying 40000 bytes: its block (class 64 KiB) is not among
    // those seeded at start-up, so it must come from what the pool has left.
    bool large_ping_answered()
    {
        std::string hex;
        for (int i = 0; i < 40000; i++)
            hex += "A5";
        run_result r = run_program(box_, "ponctl", PONCTL_BIN, {"raw", "0x0009", hex});
        return r.status == 0 && r.out.find("cmd 0x0009") != std::string::npos &&
               r.out.find("rcode 0 len 0") != std::string::npos;
    }

    sandbox box_;
    process kernel_, daemon_;
};

TEST_F(ChipFlood, FragmentsFromAChipAddressNeverStarveTheManagementLink)
{
    ASSERT_TRUE(kernel_.start(box_, "ponkernel", PONKERNEL_BIN));
    ASSERT_TRUE(eventually([&] { return kernel_.out().find("listening") != std::string::npos; }, 10));
    ASSERT_TRUE(daemon_.start(box_, "zandrel", ZANDREL_BIN));
    ASSERT_TRUE(eventually([&] { return run_program(box_, "ponctl", PONCTL_BIN, {"ping"}).status == 0; },
                           START_SECONDS))
        << daemon_.err();
    chip_sender chip(box_.environment["ZANDREL_CHIP_NET"]);
    ASSERT_TRUE(chip.ready());

    // Flood until the daemon says the chip path holds its share; the large
    // command is answered now and then during it.
    // Each batch fits the socket's receive buffer; the next one leaves once
    // the daemon has dumped this one (its trace grows by about 4 KB per
    // fragment), so the flood is not lost in the kernel instead.
    int sent = 0;
    bool share_reached = false;
    auto shared = [&] { return count_in_file(daemon_.err_path(), SHARE_LINE) > 0; };
    while (!share_reached && sent < MOST_FRAGMENTS) {
        uintmax_t trace_before = std::filesystem::file_size(daemon_.out_path());
        for (int i = 0; i < BATCH; i++)
            chip.fragment(uint16_t(sent++));
        eventually([&] { return std::filesystem::file_size(daemon_.out_path()) >= trace_before + BATCH * 4000; },
                   10);
        if (sent % (10 * BATCH) == 0) {
            EXPECT_TRUE(large_ping_answered()) << "during the flood, after " << sent << " fragments";
        }
        share_reached = shared();
    }
    ASSERT_TRUE(share_reached) << sent << " fragments sent\n" << daemon_.err();

    // The share is held (the fragments age out only after a minute): more
    // fragments are dropped, and management commands are still answered.
    for (int i = 0; i < 4 * BATCH; i++)
        chip.fragment(uint16_t(sent++));
    for (int i = 0; i < 3; i++)
        EXPECT_TRUE(large_ping_answered()) << "after the flood, try " << i;
    EXPECT_TRUE(daemon_.running());
    EXPECT_EQ(count_in_file(daemon_.err_path(), SHARE_LINE), 1) << "one line for the whole burst";
    EXPECT_EQ(daemon_.stop(15), 0) << daemon_.err();
}

} // namespace
