// Any datagram as the answer to an Access-Request: the check of the answer,
// then the attribute walk into a configuration record, the EAP buffer and
// the State, whatever the check said (the walk must hold on its own).
#include "auth/radius.h"
#include "store/datastruct.h"

#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const char SECRET[] = "fuzz-secret";
    uint8_t answer[RADIUS_BUFFER_SIZE] = {};
    size_t received = size < sizeof answer ? size : sizeof answer;
    memcpy(answer, data, received);
    uint8_t request[RADIUS_BUFFER_SIZE] = {};
    request[0] = RADIUS_ACCESS_REQUEST;
    request[1] = received > 1 ? answer[1] : 0;   // so that the authenticator check is reached

    int rc = radius_verify_response(answer, received, request, SECRET, strlen(SECRET));
    if (rc < RADIUS_ERR_MALFORMED || rc > 255 || rc == 0 || rc == RADIUS_ERR_SOCKET || rc == RADIUS_ERR_BIND)
        abort();

    auto config = std::make_unique<onu_record>();
    onu_config_defaults(config.get());
    uint8_t eap[RADIUS_EAP_SIZE];
    uint8_t state[RADIUS_STATE_SIZE];
    int parsed = radius_parse_attributes(answer, received, config.get(), eap, state);
    if (parsed != 0 && parsed != -1 && parsed != RADIUS_ERR_MALFORMED)
        abort();
    return 0;
}
