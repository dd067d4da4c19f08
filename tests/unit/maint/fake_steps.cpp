// The steps the sweeps and jobs take in the layers below, replaced at link
// time (tests/CMakeLists.txt wraps these symbols for unit_maint): each call
// is recorded in hook_calls and succeeds, unless the test put in a double.
// The configuration end marker is not replaced: it goes to the chips, where
// ChipSweeps reads it.
#include "maint_fixture.h"

extern "C" {

// profiler_onu_links_cleanup
int __wrap__Z26profiler_onu_links_cleanupP10onu_record(onu_record *onu)
{
    record_call("cleanup", onu);
    return links_cleanup_double ? links_cleanup_double(onu) : 0;
}

// profiler_onu_reconfiguration_init
void __wrap__Z33profiler_onu_reconfiguration_initP10onu_record(onu_record *onu) { record_call("rediscover", onu); }

// olt_port_drssi_enabled
bool __wrap__Z22olt_port_drssi_enabledii(int olt, int pon) { return drssi_double && drssi_double(olt, pon); }

// maint_onu_queues_clear, maint_onu_queues_write, maint_onu_reset
int __wrap__Z22maint_onu_queues_clearPK10onu_record(const onu_record *onu) { return record_call("queues_clear", onu); }
int __wrap__Z22maint_onu_queues_writePK10onu_record(const onu_record *onu) { return record_call("queues_write", onu); }
int __wrap__Z15maint_onu_resetPK10onu_record(const onu_record *onu) { return record_call("reset", onu); }

} // extern "C"
