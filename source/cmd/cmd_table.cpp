#include "cmd/cmd_olt.h"
#include "cmd/cmd_onu.h"
#include "cmd/cmd_onu_actions.h"
#include "cmd/cmd_schedule.h"
#include "cmd/cmd_stats.h"
#include "events/work_counters.h"

#include <iterator>

namespace {

// The resource report also leaves the pacing counters in their own file,
// written first so that they are there when the report's answer arrives.
uint8_t *resource_report(uint8_t *request)
{
    work_counters_write();
    return kernhandlers_resource_report(request);
}

// Registration order fixes the table's slots; the ONU commands join in
// their places as they are built.
const kernhandlers_command commands[] = {
    {0x0001, cmd_olt_start},
    {0x0002, cmd_olt_stop},
    {0x1002, cmd_stats_read},
    {0x1006, cmd_stats_clear},
    {0x2003, cmd_onu_list},
    {0x2004, cmd_onu_list_olt},
    {0x2026, cmd_onu_list_full},
    {0x2027, cmd_onu_list_full_olt},
    {0x2005, cmd_onu_record},
    {0x200F, cmd_onu_description},
    {0x1005, cmd_olt_record},
    {0x1003, handler_olt_reconfig},
    {0x2002, cmd_onu_reconfigure},
    {0x200E, cmd_onu_queues_reset},
    {CMDPING, kernhandlers_ping},
    {0x100F, cmd_port_learned_macs},
    {0x1010, cmd_port_address_entries},
    {0x1011, cmd_onu_learned_macs},
    {0x1013, handler_onu_get_igmp_groups},
    {0x1014, cmd_olt_boot_upgrade},
    {0x1015, handler_all_olt_boot_upgrade},
    {0x100C, cmd_olt_app_upgrade},
    {0x100D, cmd_olt_pers_read},
    {0x100E, cmd_olt_pers_write},
    {0x2012, cmd_onu_fw_upgrade},
    {0x1012, handler_all_olt_fw_upgrade},
    {0x2013, cmd_onu_pers_read},
    {0x2014, cmd_onu_pers_write},
    {0x2050, handler_onu_shutdown_laser},
    {0x6003, cmd_onu_sched_list},
    {0x6001, handler_onu_sched_add},
    {0x6005, handler_onu_sched_add_all},
    {0x6006, cmd_onu_sched_add_type},
    {0x6002, handler_onu_sched_del},
    {0x6004, handler_onu_sched_clear},
    {0x2015, cmd_onu_find_mac},
    {CMDPSSMACDUPLICATE, handler_onu_mac_duplicate},
    {0x5041, cmd_uplink_param},
    {0x0013, cmd_chip_passthrough},
    {0x0011, cmd_console_switch},
    {0x0012, cmd_console_command},
    {0x0018, cmd_onu_change_counter},
    {0x0019, cmd_config_setting},
    {0x2021, handler_onu_get_triplexer_a2h},
    {0x1016, cmd_base_llid},
    {CMDRESOURCEREPORT, resource_report},
    {0x2031, cmd_accounting_start},
    {0x2032, cmd_accounting_stop},
};

} // namespace

const kernhandlers_table cmd_command_table = {commands, std::size(commands)};
