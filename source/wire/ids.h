// The numbers both links share with their peers: chip request and event
// IDs, the notification codes sent to the management process, and the
// result codes of the chip requests. Every module takes them from here, and
// so do the simulators, so a number is written once.
#pragma once

#include <cstdint>

// ---- chip requests ----------------------------------------------------------
enum : uint16_t {
    TEK_REQ_TFTP_OLT = 0x000B,             // TFTP to the OLT chip itself
    TEK_REQ_TFTP_ONU = 0x0014,             // TFTP relayed to an ONU
    TEK_REQ_PORT_STATE = 0x0015,
    TEK_REQ_EAP_FRAME = 0x001B,
    TEK_REQ_REGISTRATION_ACCEPT = 0x0127,
    TEK_REQ_DISCOVERY_ACK = 0x0128,
    TEK_REQ_OPT82 = 0x01F7,
    TEK_REQ_PPPOE_TAG = 0x0203,
    // OLT configuration
    TEK_REQ_OLT_START = 0x0008,
    TEK_REQ_OLT_STOP = 0x0009,
    TEK_REQ_PON_PORT_PARAMS = 0x0016,
    TEK_REQ_PORT_DISABLE = 0x0017,
    TEK_REQ_PORT_ENABLE = 0x0018,
    TEK_REQ_DOMAIN_PARAMS = 0x003D,
    TEK_REQ_NNI_PORT_PARAMS = 0x004C,
    TEK_REQ_GLOBAL_PARAMS = 0x0050,
    TEK_REQ_GLOBAL_SHAPING = 0x005A,
    TEK_REQ_OLT_PARAMS = 0x0083,
    TEK_REQ_ONU_INDICATOR = 0x0121,
    TEK_REQ_DOMAIN_SETUP = 0x014F,
    TEK_REQ_DOMAIN_ADDRESS = 0x0151,
    TEK_REQ_DOMAIN_ADDRESS_REMOVE = 0x0152,
    TEK_REQ_PON_PORT_VALUES = 0x0161,
    TEK_REQ_PON_PORT_LEVELS = 0x0163,
    TEK_REQ_DOMAIN_QUEUE = 0x0178,
    TEK_REQ_DOMAIN_REMOVE = 0x017E,
    TEK_REQ_PON_PORT_SWITCH = 0x0189,
    TEK_REQ_PORT_SETTINGS_READ = 0x018F,
    TEK_REQ_PORT_RULES = 0x0190,
    TEK_REQ_PORT_SETTINGS_WRITE = 0x0191,
    TEK_REQ_DOMAIN_RULES = 0x0193,
    TEK_REQ_PON_PORT_TABLE = 0x019C,
    TEK_REQ_DRSSI = 0x01C4,
    TEK_REQ_PROTOCOL_FILTER_READ = 0x01CB,
    TEK_REQ_PROTOCOL_FILTER_WRITE = 0x01CC,
    TEK_REQ_DOMAIN_VLAN = 0x01F2,
    TEK_REQ_OPTION82_PARAMS = 0x01F5,
    TEK_REQ_IDENTIFIER_PARAMS = 0x01FF,
    TEK_REQ_SFP_INFO = 0x0210,
    TEK_REQ_DOMAIN_CREATE = 0x0225,
    TEK_REQ_GLOBAL_SWITCH = 0x023C,
    TEK_REQ_PON_PORT_CLEAR = 0x0246,
    TEK_REQ_PON_PORT_TIMING = 0x0275,
    TEK_REQ_BASE_LLID_READ = 0x028B,
    TEK_REQ_BASE_LLID_WRITE = 0x028C,
    TEK_REQ_GLOBAL_WORD = 0x02EE,
    // reaching into an ONU: ports, optics, PHYs, rules, multicast
    TEK_REQ_ONU_PORT_MODE = 0x0016,          // the port parameters request, on an ONU port
    // 0x0017/0x0018 disable and enable ONU ports as they do OLT ports
    TEK_REQ_ONU_PORT_SETTINGS = 0x0031,
    TEK_REQ_ONU_IPMC_GROUP_6838 = 0x004A,
    TEK_REQ_ONU_GPIO = 0x005E,
    TEK_REQ_ONU_PHY_READ = 0x0062,
    TEK_REQ_ONU_I2C_READ = 0x0066,
    TEK_REQ_ONU_RF_OUTPUT = 0x0067,
    TEK_REQ_ONU_MDIO_READ = 0x008F,
    TEK_REQ_ONU_MDIO_WRITE = 0x0090,
    TEK_REQ_ONU_PON_PARAMS = 0x0098,
    TEK_REQ_ONU_PORT_CONFIG_READ = 0x009B,
    TEK_REQ_ONU_PORT_CONFIG_WRITE = 0x009C,
    TEK_REQ_ONU_NETWORK = 0x00A4,
    TEK_REQ_ONU_RULES = 0x00B7,
    TEK_REQ_STATISTICS = 0x0138,            // also the DRSSI reading of an ONU
    TEK_REQ_ONU_IPMC_DOMAIN_COUNT = 0x01AD,
    TEK_REQ_ONU_IPMC_DOMAIN_ADD = 0x01AE,
    TEK_REQ_ONU_IPMC_DOMAIN_DELETE = 0x01AF,
    TEK_REQ_ONU_IGMP_SNOOPING = 0x01B1,
    TEK_REQ_IGMP_GROUPS = 0x01EE,           // the groups joined behind an ONU
    // links and their SLAs
    TEK_REQ_LINK_OAM_RATE = 0x009A,
    TEK_REQ_PATH_CREATE = TEK_REQ_DOMAIN_QUEUE,   // one request: a path with its two queues
    TEK_REQ_PATH_QUERY = 0x0177,
    TEK_REQ_QUEUE_SLA = 0x0180,
    TEK_REQ_LINK_SLA = 0x018D,
    TEK_REQ_QUEUE_SLA_DELETE = 0x0183,
    TEK_REQ_PATH_DELETE = 0x017A,
    TEK_REQ_LINK_RELEASE = 0x0182,
    TEK_REQ_LINK_CLEAR = 0x0077,
    // destinations
    TEK_REQ_DEST_CREATE = 0x0196,
    TEK_REQ_DEST_QUERY = 0x0195,
    TEK_REQ_DEST_DELETE = 0x0198,
    TEK_REQ_DEST_LEARNING = 0x019A,
    TEK_REQ_DEST_LEARNING_DELETE = 0x01ED,
    TEK_REQ_DEST_STATIC_CLIENTS = 0x01FD,
    TEK_REQ_DEST_LEARNED_MACS = 0x01D6,
    TEK_REQ_DEST_ADDRESS_ENTRIES = 0x0200,
    // ONU configuration
    TEK_REQ_ONU_CONFIG_START = 0x0093,
    TEK_REQ_ONU_CONFIG_END = 0x0092,
    TEK_REQ_ONU_RESET = 0x0053,
    TEK_REQ_BLOCKED_LINKS = 0x0045,
    TEK_REQ_LINK_UNBLOCK = 0x0011,
    TEK_REQ_QUEUES_READ = 0x0057,
    TEK_REQ_QUEUES_WRITE = 0x0058,
    TEK_REQ_QUEUES_CLEAR = 0x0088,
    // management commands: statistics, chip console, uplink ports
    TEK_REQ_STATISTICS_CLEAR_OLT = 0x0086,
    TEK_REQ_STATISTICS_CLEAR_ONU = 0x0087,
    TEK_REQ_UPLINK_PARAM = 0x0173,
    TEK_REQ_CONSOLE_SWITCH = 0x0283,
    TEK_REQ_CONSOLE_COMMAND = 0x0284,
    TEK_REQ_LASER_SHUTDOWN = 0x022E,        // an ONU's laser off for a time
};

// ---- chip events ------------------------------------------------------------
enum : uint16_t {
    TEK_EVENT_OLT_READY = 0x8000,
    TEK_EVENT_EAP_FRAME = 0x8003,
    TEK_EVENT_REGISTRATION = 0x8014,
    TEK_EVENT_LINK_DISCOVERY = 0x8019,
    TEK_EVENT_ALARM = 0x801A,
    TEK_EVENT_CONSOLE = 0x8029,
    TEK_EVENT_DUPLICATE_LINK = 0x802B,
    TEK_EVENT_LAST = 0x802B,
};

// ---- notification codes (the event byte of a notification) -----------------
enum : uint8_t {
    EVENT_CONFIG_PROBLEM = 2,
    EVENT_PON_PORT_EMPTY = 4,
    EVENT_ONU_AUTH_OK = 128,
    EVENT_ONU_CONFIGURE_OK = 129,
    EVENT_PON_PORT_ONU_COUNT = 131,
    EVENT_FIRMWARE_UPDATED = 133,
    EVENT_FIRMWARE_UPDATE_FAILED = 139,
    EVENT_UNI_UNBLOCKED = 152,
    EVENT_ONU_STATE = 155,
    EVENT_UNI_BLOCKED = 13,
};

// ---- results of the chip requests --------------------------------------------
// A request returns 0, one of these, or the transport's negative result.
enum : int {
    TEK_RC_REFUSED = 3,     // the chip answered with a non-zero RCODE (or too short)
    TEK_RC_NO_MEMORY = 4,   // no pool block for the request
};

// ---- files ------------------------------------------------------------------
// The counters file every resource report writes (events/work_counters), which
// ponctl reads: a board path, under ZANDREL_ROOT on the simulated board.
constexpr const char *WORK_COUNTERS_FILE = "/tmp/zandrel_counters";
