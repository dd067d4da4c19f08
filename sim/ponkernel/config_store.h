// ponkernel's configuration store: the configuration module's data, loaded
// from a readable board file (JSON, docs/board-file.md), and its answers to
// the daemon's configuration requests, byte for byte as the daemon reads
// them. Run-time edits (ponctl) mark what changed, raise the flag files
// under $ZANDREL_ROOT/tmp and are served through the change summary and the
// profile updates; the flag files go away once everything was fetched.
//
// Threads: ponkernel's daemon thread asks for answers, its control thread
// (or a test) edits; one mutex guards everything, a leaf lock.
#pragma once

#include "wire/cfgmsg.h"
// The OLT configuration's layout (constants only; nothing to link).
#include "wire/olt_config.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

constexpr size_t OLT_CONFIG_SIZE = OLT_CONFIG_DATA_SIZE;   // answer data of 0x1004
constexpr size_t ONT_LIST_ENTRY = 27;       // entries of 0x200A
constexpr size_t ONT_DESCRIPTION_SIZE = 256;
constexpr unsigned CONFIG_STORE_MAX_ONUS = 2000;

// Commands the store serves besides the daemon's requests: ponctl's edits
// reach ponkernel with destination "config module" and one of these.
enum : uint16_t {
    CONFIG_EDIT = 0xC001,      // payload: a JSON edit (below); rcode 0, or 10 with the error text
    CONFIG_REFUSE = 0xC002,    // payload: u16 LE command, u8 result code (0: answer normally again)
    CONFIG_SILENCE = 0xC003,   // payload: u16 LE command, u8 on/off
};

struct config_reply {
    bool silent = false;         // no answer at all
    uint8_t rcode = 0;
    std::vector<uint8_t> payload;
};

class config_store {
public:
    config_store();
    ~config_store();
    config_store(const config_store &) = delete;
    config_store &operator=(const config_store &) = delete;

    // Replaces everything with the board file's content. false (and the
    // store unchanged) on a parse or range error, explained in `error`.
    bool load_file(const std::string &path, std::string &error);
    bool load_text(const std::string &text, std::string &error);

    // The answer to one request of the daemon (payload as received).
    config_reply answer(uint16_t cmd, const uint8_t *payload, size_t len);

    // A run-time edit: an object with any of "system", "radius", "profiles"
    // (as in the board file; only the entries given change, each entry whole)
    // and "reload_all": true. Marks the changes and raises the flag files.
    bool edit(const std::string &text, std::string &error);
    // Fault knobs: answer `cmd` with `rcode` (0: normally again); never
    // answer `cmd`.
    void refuse(uint16_t cmd, uint8_t rcode);
    void silence(uint16_t cmd, bool on);

    // What the store was asked, per command, and the ONUs created (0x2009).
    unsigned asked(uint16_t cmd);
    unsigned onus();

private:
    struct onu_entry {
        std::vector<uint8_t> record;   // ONT_CONFIG_SIZE bytes
    };

    bool parse(const std::string &text, bool whole, std::string &error);
    onu_entry *find_onu(const uint8_t *mac);
    void mark_changed(unsigned type, unsigned index);
    void flags_update();
    config_reply profiles_update(unsigned type, const std::vector<uint8_t> &params);

    std::mutex lock_;
    std::unique_ptr<cfg_cache, void (*)(void *)> tables_;
    std::vector<uint8_t> olt_config_[4];
    std::vector<onu_entry> onus_;
    uint32_t next_ont_id_ = 1;

    // Pending changes: per profile type a 128-bit set of entries.
    uint64_t changed_[6][2] = {};
    bool system_changed_ = false;
    bool reload_all_ = false;
    bool radius_changed_ = false;
    bool config_flag_ = false;   // the flag files as this store left them
    bool radius_flag_ = false;

    std::map<uint16_t, uint8_t> refusals_;
    std::set<uint16_t> silent_;
    std::map<uint16_t, unsigned> asked_;
};
