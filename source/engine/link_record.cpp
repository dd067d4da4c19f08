// The check of the ONU information a link discovery carries.
#include "engine/link_record.h"

#include "base/bytes.h"
#include "platform/log.h"
#include "platform/textconv.h"

#include <cstring>

namespace {

constexpr uint8_t VENDOR_OUI[3] = {0x00, 0x0D, 0xB6};

} // namespace

uint32_t check_TkOnuInfoTlv(const uint8_t *tlv, const char *link)
{
    static const uint8_t zero_mac[6] = {};
    uint16_t chip = load_be16(tlv + ONU_INFO_CHIP_ID);
    const uint8_t *base = tlv + ONU_INFO_BASE_MAC;
    bool valid = memcmp(tlv + ONU_INFO_OUI, VENDOR_OUI, 3) == 0 &&
                 (chip == ONU_CHIP_3714 || chip == ONU_CHIP_8600 || chip == ONU_CHIP_6838) &&
                 memcmp(base, zero_mac, 6) != 0;
    if (valid)
        return 0;
    char mac[18];
    convert_to_mac(mac, base);
    trace("%s: LINK %s returns invalid ONT info (%02x%02x%02x %04x %s). Skiping...\n", __func__, link, tlv[0],
          tlv[1], tlv[2], unsigned(chip), mac);
    return 3;
}
