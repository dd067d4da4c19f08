// Image and personality transfers through the chip link against oltsim's
// TFTP side: the packets each transfer sends, the bytes the simulated chips
// keep, the fault switches, and the reports that reach ponkernel.
#include "common/chip_fixture.h"
#include "common/hex.h"
#include "common/tftp_kernel_fixture.h"

#include "wire/personality.h"

namespace {

using bytes = std::vector<uint8_t>;
using packet = oltsim::tftp_server::packet_record;
using fault = oltsim::tftp_server::fault;

const oltsim::mac_address onu_mac = {0x00, 0x0D, 0xB6, 0x55, 0x66, 0x77};

class Transfers : public WithTftpAndKernel<ChipLinkFixture> {
protected:
    // The packets as "WRQ app", "DATA 1 512", "ACK 4" ...
    std::vector<std::string> sequence()
    {
        std::vector<std::string> out;
        for (const packet &p : tftp_->packets()) {
            switch (p.opcode) {
            case TFTP_RRQ: out.push_back("RRQ " + p.file); break;
            case TFTP_WRQ: out.push_back("WRQ " + p.file); break;
            case TFTP_DATA: out.push_back("DATA " + std::to_string(p.block) + " " + std::to_string(p.size)); break;
            case TFTP_ACK: out.push_back("ACK " + std::to_string(p.block)); break;
            default: out.push_back("? " + std::to_string(p.opcode));
            }
        }
        return out;
    }

    // The `size` bytes of a pool block that a read handed back, or none.
    static bytes taken(uint8_t *block, size_t size)
    {
        bytes out = block ? bytes(block, block + size) : bytes();
        BFREE_SAFE(block);
        return out;
    }
};

using seq = std::vector<std::string>;

// ---- whole images -----------------------------------------------------------

TEST_F(Transfers, WholeImagesEndWithAShortOrEmptyBlockAndAreReported)
{
    bytes app = byte_pattern(1024, 1), boot = byte_pattern(1000, 2);
    EXPECT_EQ(tftp_olt_app_upgrade(1, app.data(), app.size()), 0);
    EXPECT_EQ(tftp_olt_boot_upgrade(1, boot.data(), boot.size()), 0);
    EXPECT_EQ(sequence(), (seq{"WRQ app", "DATA 1 512", "DATA 2 512", "DATA 3 0", "WRQ boot", "DATA 1 512", "DATA 2 488"}));
    EXPECT_EQ(tftp_->olt_file(1, "app"), app);
    EXPECT_EQ(tftp_->olt_file(1, "boot"), boot);
    EXPECT_EQ(reports(2), (seq{"133 2 1 OLT[1] firmware updated", "133 2 1 OLT[1] bootloader updated"}));
    EXPECT_TRUE(pauses.empty());
}

// ---- personalities ------------------------------------------------------------

// The personality checks themselves are the wire layer's; here, that the
// reads take them and stop at their area.
TEST_F(Transfers, PersonalityReadsAreCheckedMarkedAndBounded)
{
    tftp_->set_onu_personality(onu_mac, oltsim::tftp_server::make_onu_personality(ONU_PERS_SHORT_SIZE, 9));
    EXPECT_EQ(taken(tftp_onu_pers_read_on(onu_mac.data(), 1), ONU_PERS_SIZE).at(2412), 'M');
    bytes bad = oltsim::tftp_server::make_onu_personality(ONU_PERS_SIZE, 3);
    bad[100] ^= 0x80;
    tftp_->set_onu_personality(onu_mac, bad);
    EXPECT_EQ(tftp_onu_pers_read_on(onu_mac.data(), 0), nullptr);

    // 2414 bytes: the fifth block brings 512 where only 365 fit.
    tftp_->set_onu_personality(onu_mac, oltsim::tftp_server::make_onu_personality(2414, 3));
    tftp_->clear_packets();
    EXPECT_EQ(tftp_onu_pers_read_on(onu_mac.data(), 0), nullptr);
    EXPECT_EQ(sequence(), (seq{"RRQ personality", "ACK 1", "ACK 2", "ACK 3", "ACK 4", "ACK 4", "ACK 4", "ACK 4"}));
    EXPECT_EQ(pauses.size(), 4u);

    tftp_->set_olt_personality(0, oltsim::tftp_server::make_olt_personality(OLT_PERS_SHORT_SIZE, 4));
    EXPECT_EQ(taken(tftp_olt_pers_read(0), OLT_PERS_BLOCK).at(1287), 'N');
    tftp_->set_olt_personality(0, oltsim::tftp_server::make_olt_personality(OLT_PERS_BLOCK + 1, 4));
    EXPECT_EQ(tftp_olt_pers_read(0), nullptr);
}

// ---- faults -------------------------------------------------------------------

TEST_F(Transfers, ABlockFailingFourTimesEndsTheUpgradeWithItsReport)
{
    bytes image = byte_pattern(2000, 8);
    tftp_->fault_block(fault::rcode, 2, 4);
    EXPECT_EQ(tftp_olt_app_upgrade(0, image.data(), image.size()), TFTP_IMAGE_FAILED);
    EXPECT_EQ(sequence(), (seq{"WRQ app", "DATA 1 512", "DATA 2 512", "DATA 2 512", "DATA 2 512", "DATA 2 512"}));
    EXPECT_EQ(pauses, (std::vector<unsigned>{1, 1, 1, 1}));
    EXPECT_TRUE(tftp_->olt_file(0, "app").empty());
    EXPECT_EQ(reports(1), (seq{"139 2 0 OLT[0] application update failed"}));

    tftp_->fault_block(fault::rcode, 0, 4);   // the WRQ never gets through
    EXPECT_EQ(tftp_olt_boot_upgrade(3, image.data(), image.size()), TFTP_IMAGE_FAILED);
    EXPECT_EQ(reports(2).back(), "139 2 3 OLT[3] bootloader update failed");
}

// A chip that missed our ACK sends the block before again: it is
// acknowledged once more, at once, and kept only once.
TEST_F(Transfers, ARepeatedDataBlockIsAcknowledgedAgainAndKeptOnce)
{
    bytes image = oltsim::tftp_server::make_onu_personality(ONU_PERS_SIZE, 5);
    tftp_->set_onu_personality(onu_mac, image);
    tftp_->fault_block(fault::repeat, 2);
    EXPECT_EQ(taken(tftp_onu_pers_read_on(onu_mac.data(), 0), ONU_PERS_SIZE), image);
    EXPECT_EQ(sequence(), (seq{"RRQ personality", "ACK 1", "ACK 2", "ACK 2", "ACK 3", "ACK 4", "ACK 5"}));
    EXPECT_TRUE(pauses.empty());
    for (const packet &p : tftp_->packets())
        EXPECT_TRUE(p.onu);
}

TEST_F(Transfers, WritesOfNamesTheChipDoesNotKnowFail)
{
    uint8_t data[10] = {};
    EXPECT_EQ(tftp_onu_write_block(0, onu_mac.data(), TFTP_FILE_BOOT, 0, nullptr, 0), TFTP_BLOCK_BAD);
    EXPECT_EQ(tftp_olt_write_block(0, "kernel", 0, nullptr, 0), TFTP_BLOCK_BAD);
    EXPECT_EQ(tftp_olt_write_block(0, TFTP_FILE_APP, 0, nullptr, 0), TFTP_BLOCK_MORE);
    EXPECT_EQ(tftp_olt_write_block(0, TFTP_FILE_APP, 1, data, sizeof data), TFTP_BLOCK_LAST);
    EXPECT_EQ(tftp_->olt_file(0, "app"), bytes(10));
}

// ---- ONUs found by MAC ----------------------------------------------------

// Wrong answers are tried again, four times in all, then the upgrade fails.
// An ONU that is not connected is not addressed.
TEST_F(Transfers, OnuApplicationUpgradeGoesToTheOnusOlt)
{
    const uint8_t stranger[6] = {0x00, 0x0D, 0xB6, 0x99, 0x99, 0x99};
    EXPECT_EQ(tftp_onu_app_upgrade(stranger, nullptr, 0), TFTP_ONU_NOT_FOUND);
    EXPECT_NE(trace().find("tftp_onu_app_upgrade: 00:0D:B6:99:99:99 not connected\n"), std::string::npos);
    EXPECT_EQ(tftp_onu_pers_read(stranger), nullptr);
    bytes pers = oltsim::tftp_server::make_onu_personality(ONU_PERS_SIZE);
    EXPECT_EQ(tftp_onu_pers_write(stranger, pers.data()), TFTP_ONU_NOT_FOUND);
    EXPECT_TRUE(tftp_->packets().empty());
    EXPECT_TRUE(kernel_.notifications().empty());
    pauses.clear();   // the personality write pauses before it looks for its ONU
    make_onu(0, onu_mac.data(), ONU_STATE_OK, 2);
    bytes image = byte_pattern(3000, 0x44);
    tftp_->fault_block(fault::wrong_opcode, 6, 3);
    EXPECT_EQ(tftp_onu_app_upgrade(onu_mac.data(), image.data(), image.size()), 0);
    EXPECT_EQ(tftp_->onu_file(onu_mac, "app"), image);
    EXPECT_EQ(pauses.size(), 3u);
    for (const packet &p : tftp_->packets())
        EXPECT_TRUE(p.olt == 2 && p.onu);
    tftp_->fault_block(fault::wrong_opcode, 6, 4);
    EXPECT_EQ(tftp_onu_app_upgrade(onu_mac.data(), image.data(), image.size()), TFTP_IMAGE_FAILED);
    EXPECT_EQ(reports(2), (seq{"133 1 0 ONU 00:0D:B6:55:66:77 firmware updated",
                               "139 1 0 ONU 00:0D:B6:55:66:77 firmware update failed"}));
}

} // namespace
