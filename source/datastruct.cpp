#include "datastruct.h"

#include <pthread.h>

namespace {
pthread_mutex_t state_lock = PTHREAD_MUTEX_INITIALIZER;
uint32_t olt_states[OLT_COUNT] = {ONU_STATE_RESETINPROGRESS, ONU_STATE_RESETINPROGRESS, ONU_STATE_RESETINPROGRESS,
                                  ONU_STATE_RESETINPROGRESS};
} // namespace

uint32_t olt_get_state(int olt)
{
    if (olt < 0 || olt >= OLT_COUNT)
        return ONU_STATE_UNKNOWN;
    pthread_mutex_lock(&state_lock);
    uint32_t state = olt_states[olt];
    pthread_mutex_unlock(&state_lock);
    return state;
}

void olt_set_state(int olt, uint32_t state)
{
    if (olt < 0 || olt >= OLT_COUNT)
        return;
    pthread_mutex_lock(&state_lock);
    olt_states[olt] = state;
    pthread_mutex_unlock(&state_lock);
}
