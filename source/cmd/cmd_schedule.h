// The update schedule's commands: add one ONU, delete one, list, clear, and
// add many at once from the configuration module's ONU list (those
// connected of the updatable types, or all configured of one type).
//
// Threads: the handler threads of the management link, several at once and
// beside the scheduler thread; the table itself is the scheduler's, behind
// its lock (maint/scheduler.h). The add-many commands hold the management
// link's send lock for their one request to the configuration module and
// take no other lock across it. Every handler returns its request, which
// the caller frees; the configuration module's answer is freed here.
#pragma once

#include "cmd/cmd_request.h"

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr uint16_t CMD_CFG_ONU_LIST = 0x200A;   // the configuration module's ONU list
constexpr int CMD_CFG_ONU_LIST_TIMEOUT = 3;
constexpr size_t SCHED_CFG_ENTRY_SIZE = 27;
constexpr size_t SCHED_CFG_ENTRY_TYPE = 4;
constexpr size_t SCHED_CFG_ENTRY_MAC = 5;
constexpr size_t SCHED_CFG_ENTRIES_MAX = 2000;
// One listed job: the MAC, the kind (u16) and the status (u32), the
// entry's bytes 1..12 as the table holds them.
constexpr size_t SCHED_LIST_ENTRY_SIZE = 12;

// One ONU of the configuration module's list.
struct sched_candidate {
    uint8_t type;
    uint8_t mac[6];
};

// The ONUs of the configuration module's answer `payload` (`size` bytes,
// the parameter block first): 27-byte entries from offset 32, up to the
// first whose MAC is all ones or all zeros, the 2000th, or the last whole
// entry the answer holds.
std::vector<sched_candidate> sched_config_list_decode(const uint8_t *payload, size_t size);

// The add-many result: 4 when the table filled, 9 when attempts were made
// and none added, 10 when only some were, else 0.
int sched_add_many_result(int attempts, int added, bool full);

// The list answer for `count` entries copied from the table: 32 zero bytes,
// the entries (12 bytes each), one zero entry that ends them.
size_t sched_list_answer_size(int count);

uint8_t *handler_onu_sched_add(uint8_t *request);       // 0x6001
uint8_t *handler_onu_sched_del(uint8_t *request);       // 0x6002
uint8_t *cmd_onu_sched_list(uint8_t *request);          // 0x6003
uint8_t *handler_onu_sched_clear(uint8_t *request);     // 0x6004
uint8_t *handler_onu_sched_add_all(uint8_t *request);   // 0x6005
uint8_t *cmd_onu_sched_add_type(uint8_t *request);      // 0x6006
