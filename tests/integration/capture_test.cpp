// The capture of both links on the simulated board: the lab ONUs' road,
// written to a small ring and read back with the pcapng reader.
//
// With ZANDREL_CAPTURE_SAMPLE naming a folder, the ring's files are also
// left there (the dissector's check decodes them).
#include "integration/onu_road_fixture.h"
#include "ponctl/decode.h"
#include "wire/pcapng.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>

namespace {

constexpr int RING_FILES = 3;
constexpr long RING_MIB = 1;
const char *const CAPTURE = "/tmp/links.pcapng";

class Capture : public Road {
protected:
    std::string kernel_board() const override { return read_file(LAB_BOARD); }
    std::string chip_onus() const override { return kernel_board(); }
    std::string ring(int i) const { return box_.path(CAPTURE) + (i ? "." + std::to_string(i) : ""); }
    static long size_of(const std::string &path)
    {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 ? long(st.st_size) : -1;
    }
};

TEST_F(Capture, BothLinksGoToABoundedRingWithoutSecrets)
{
    box_.environment["ZANDREL_CAPTURE"] = CAPTURE;
    box_.environment["ZANDREL_CAPTURE_FILES"] = std::to_string(RING_FILES);
    box_.environment["ZANDREL_CAPTURE_MIB"] = std::to_string(RING_MIB);
    start();
    for (int olt = 0; olt < 4; olt++)
        ASSERT_TRUE(says("OLT[" + std::to_string(olt) + "] in OK state", ROAD_SECONDS));
    population_->register_all();
    for (const auto &onu : onus_) {
        std::string text = ponctl_mac_text(onu.mac);
        ASSERT_TRUE(eventually([&] { return state(text) == "OK"; }, ROAD_SECONDS)) << text;
        // The ONU record goes out with its secret.
        EXPECT_EQ(board_.ponctl({"onu", "show", text}).status, 0);
    }

    // Off: the file stays as it is while both links go on.
    kill(daemon_.pid(), SIGUSR2);
    ASSERT_TRUE(says("capture: stopped (SIGUSR2)", 20));
    long stopped_at = size_of(ring(0));
    EXPECT_EQ(board_.ponctl({"report"}).status, 0);
    EXPECT_EQ(size_of(ring(0)), stopped_at);

    // The ring: files of at most RING_MIB MiB, the oldest dropped.
    int packets[PCAPNG_INTERFACES][4] = {};   // by interface and direction
    std::string all;
    const char *sample = getenv("ZANDREL_CAPTURE_SAMPLE");
    for (int i = RING_FILES - 1; i >= 0; i--) {
        std::string bytes = read_file(ring(i));
        ASSERT_FALSE(bytes.empty()) << ring(i);
        EXPECT_LE(long(bytes.size()), RING_MIB << 20) << ring(i);
        all += bytes;
        if (sample)
            write(std::string(sample) + "/links.pcapng." + std::to_string(i), bytes);
        // Every packet reads back; each direction of the management stream
        // runs on from 1 without a gap, so the stream reassembles.
        auto *data = reinterpret_cast<const uint8_t *>(bytes.data());
        pcapng_reader reader;
        ASSERT_EQ(pcapng_open(reader, data, bytes.size()), PCAPNG_OK) << ring(i);
        pcapng_record record;
        uint32_t next[4] = {0, 1, 1, 0};
        int result;
        while ((result = pcapng_next(reader, record)) == PCAPNG_OK) {
            const pcapng_packet &p = record.packet;
            packets[p.interface][p.direction]++;
            if (p.interface == PCAPNG_MGMT) {
                EXPECT_EQ(p.seq, next[p.direction]) << ring(i) << " at " << reader.offset;
                next[p.direction] = p.seq + uint32_t(record.length);
            }
        }
        EXPECT_EQ(result, PCAPNG_END) << pcapng_result_text(result) << " in " << ring(i);
    }
    EXPECT_EQ(size_of(ring(RING_FILES)), -1) << "the ring holds " << RING_FILES << " files";
    EXPECT_GT(packets[PCAPNG_CHIP][PCAPNG_OUT], 0);
    EXPECT_GT(packets[PCAPNG_CHIP][PCAPNG_IN], 0);
    EXPECT_GT(packets[PCAPNG_MGMT][PCAPNG_OUT], 0);
    EXPECT_GT(packets[PCAPNG_MGMT][PCAPNG_IN], 0);
    EXPECT_EQ(packets[PCAPNG_RADIUS][PCAPNG_OUT] + packets[PCAPNG_RADIUS][PCAPNG_IN], 0) << "RADIUS only when asked";

    // No secret in clear: the settings' answer is there (the host name
    // beside it), its shared secret is not; nor is any ONU's.
    EXPECT_NE(all.find("zandrel-lab"), std::string::npos);
    for (std::string secret : {"testing123", "5820", "secret-two", "lobby-3", "shop-4", "flat-5", "office-6",
                               "school-7", "depot-8"})
        EXPECT_EQ(all.find(secret + '\0'), std::string::npos) << secret;

    // On again: a new file, the last one moved up.
    kill(daemon_.pid(), SIGUSR2);
    ASSERT_TRUE(eventually([&] { return count_of(daemon_.err(), "capture: writing") == 2; }));
    EXPECT_EQ(size_of(ring(1)), stopped_at);
    EXPECT_TRUE(eventually([&] {
        board_.ponctl({"report"});
        return size_of(ring(0)) > long(PCAPNG_SECTION_SIZE);
    }));
}

} // namespace
