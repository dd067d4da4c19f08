#include "wire/personality.h"

#include "base/bytes.h"
#include "base/crc32.h"

uint32_t pers_crc(const uint8_t *image, size_t size)
{
    return size > PERS_CRC_FROM ? crc32_update(0, image + PERS_CRC_FROM, size - PERS_CRC_FROM) : 0;
}

bool onu_pers_accept(uint8_t *image, size_t total)
{
    if (total < PERS_CRC_FROM || total > ONU_PERS_SIZE)
        return false;
    if (pers_crc(image, total) != load_be32(image + PERS_CRC_AT))
        return false;
    if (total <= ONU_PERS_MARK_AT)
        image[ONU_PERS_MARK_AT] = ONU_PERS_SHORT_MARK;
    return true;
}

void onu_pers_prepare(uint8_t *image)
{
    // The chip vendor's settings for this board; only their values matter here.
    image[2369] = 8;
    image[1185] = 0;
    image[1186] = 0;
    image[1187] = 0;
    image[1188] = 1;
    image[128] = 1;
    image[135] = 1;
    size_t size = image[ONU_PERS_MARK_AT] == ONU_PERS_SHORT_MARK ? ONU_PERS_SHORT_SIZE : ONU_PERS_SIZE;
    store_be32(image + PERS_CRC_AT, pers_crc(image, size));
}

void olt_pers_accept(uint8_t *image, size_t total)
{
    if (total < OLT_PERS_BLOCK)
        image[OLT_PERS_MARK_AT] = OLT_PERS_SHORT_MARK;
}

void olt_pers_prepare(uint8_t *image)
{
    store_le16(image + 258, 1000);
    store_le16(image + 378, 1000);
    image[1085] = 0x5F;
    image[1086] = 0x5E;
    image[1092] = 0x5D;
    image[1093] = 0x5C;
    image[1172] = 16;
    image[1173] = 16;
    image[1232] = 16;
    image[1233] = 16;
    size_t size = image[OLT_PERS_MARK_AT] == OLT_PERS_SHORT_MARK ? OLT_PERS_SHORT_SIZE : OLT_PERS_SIZE;
    store_le32(image + PERS_CRC_AT, pers_crc(image, size));
}
