// Sequences of chip datagrams through the receive path: check, pool,
// classification, reassembly, ageing and dispatch. Nothing may crash, no
// chip holds more than its share of the pool, and once the queues and the
// pool are emptied every block is back.
//
// Input: records of [control][length u16 BE][length bytes]. Control bits
// 0..2: the sender's index (4..6 lie outside the chip range, 7 stands for an
// address ending in 0); bit 3: the clock moves 61 seconds first; bit 4: the
// last CTAG sent is set to this datagram's, so answers match.
#include "base/balloc.h"
#include "platform/clock.h"
#include "chip/teklink.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

int null_fd = -1, stdout_fd = -1;

bool set_up()
{
    null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    stdout_fd = dup(1);
    return null_fd >= 0 && stdout_fd >= 0 && bopen(nullptr, 0x400000, 0) == 0 && teklink_queues_init() == 0;
}

// The dumps of the receive path go to /dev/null while an input runs.
void quiet(bool on)
{
    fflush(stdout);
    dup2(on ? null_fd : stdout_fd, 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = set_up();
    if (!ready)
        abort();
    quiet(true);
    clock_fake_set(1000);
    teklink_alarm_count = 0;
    size_t at = 0;
    while (size - at >= 3) {
        uint8_t control = data[at];
        size_t length = std::min<size_t>(load_be16(data + at + 1), size - at - 3);
        const uint8_t *datagram = data + at + 3;
        at += 3 + length;
        uint16_t olt = (control & 7) == 7 ? 0xFFFF : control & 7;
        if (control & 8)
            clock_fake_advance(61);
        if ((control & 16) && length >= 4)
            teklink_ctag = load_be16(datagram + 2);
        teklink_rx_datagram(olt, datagram, length);
        // Whatever arrives, no chip holds more than its share.
        for (uint16_t chip = 0; chip < OLT_COUNT; chip++)
            if (baccount_bytes(teklink_rx_account(chip)) > bregion_size() / TEKLINK_RX_CHIP_SHARE)
                abort();
    }
    teklink_queues_drain();
    teklink_rxpool_clear();
    balloc_figures figures{};
    balloc_figures_get(&figures);
    if (figures.inuse_bytes != 0) {
        fprintf(stderr, "teklink_rx: %zu bytes of blocks not given back\n", figures.inuse_bytes);
        abort();
    }
    clock_fake_release();
    quiet(false);
    return 0;
}
