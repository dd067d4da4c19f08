// ponkernel's configuration store on its own: board files and requests it
// refuses, its fault switches, and the control socket through which ponctl
// reaches it.
#include "base/bytes.h"
#include "common/mgmt_conn.h"
#include "common/wait.h"
#include "ponctl/commands.h"
#include "ponkernel/config_store.h"
#include "ponkernel/ponkernel.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// The store raises and removes its flag files under the sandbox root.
class ConfigStore : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/zandrel-store-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        std::filesystem::create_directories(root_ + "/tmp");
        setenv("ZANDREL_ROOT", root_.c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("ZANDREL_ROOT");
        std::filesystem::remove_all(root_);
    }
    std::string root_;
};

using bytes = std::vector<uint8_t>;

const char *BOARD = R"({
  "olts": [ { "index": 1, "params": [4, 258], "pon_enable": [1, 0], "patch": { "31939": "AA BB" } } ],
  "onus": [
    { "mac": "00:0D:B6:10:00:00", "type": 7, "ont_id": 5, "description": "first" },
    { "mac": "00:0D:B6:10:00:10", "type": 40, "ont_id": 9, "description": "second", "links": 2,
      "config_bytes": "01 02 03 04", "patch": { "0": "7E" } }
  ]
})";

bytes params(uint32_t first)
{
    bytes p(CFG_PARAMS_SIZE);
    store_le32(p.data(), first);
    return p;
}

config_reply ask(config_store &store, uint16_t cmd, const bytes &payload)
{
    return store.answer(cmd, payload.data(), payload.size());
}

TEST_F(ConfigStore, RefusesBadBoardFilesWhole)
{
    config_store store;
    std::string error;
    ASSERT_TRUE(store.load_text(BOARD, error)) << error;
    struct Case {
        const char *name;
        const char *text;
    } cases[] = {
        {"not JSON", "{"},
        {"not an object", "[1, 2]"},
        {"profile index beyond the table", R"({"profiles": {"link": [{"index": 64}]}})"},
        {"rules index beyond the table", R"({"profiles": {"rules": [{"index": 128}]}})"},
        {"unknown profile type", R"({"profiles": {"vlan": [{"index": 0}]}})"},
        {"patch beyond the record", R"({"profiles": {"link": [{"index": 0, "patch": {"28": "01 02"}}]}})"},
        {"OLT index", R"({"olts": [{"index": 4}]})"},
        {"bad MAC", R"({"onus": [{"mac": "00:0D:B6:10"}]})"},
        {"MAC twice", R"({"onus": [{"mac": "00:0D:B6:00:00:01"}, {"mac": "00:0D:B6:00:00:01"}]})"},
        {"secret too long", R"({"onus": [{"mac": "00:0D:B6:00:00:01", "secret": "0123456789012345678901234567890123456789012345678"}]})"},
        {"bad address", R"({"system": {"address": "10.0.0"}})"},
    };
    for (const Case &c : cases) {
        EXPECT_FALSE(store.load_text(c.text, error)) << c.name;
        EXPECT_FALSE(error.empty()) << c.name;
    }
    EXPECT_EQ(store.onus(), 2u) << "a refused file leaves the store as it was";
}

// The answers themselves are the board's to check (the daemon starts up
// from them); here, the requests a store refuses by their size or index.
TEST_F(ConfigStore, RequestsOutsideTheStoreAreRefused)
{
    config_store store;
    std::string error;
    ASSERT_TRUE(store.load_text(BOARD, error)) << error;
    EXPECT_EQ(ask(store, CFG_CMD_OLT_CONFIG, params(4)).rcode, CFG_RC_NOT_FOUND);
    EXPECT_EQ(ask(store, 0x7777, params(0)).rcode, CFG_RC_NOT_FOUND);
    bytes create(CFG_PARAMS_SIZE + ONT_CONFIG_SIZE - 1);
    EXPECT_EQ(ask(store, CFG_CMD_ONT_CREATE, create).rcode, CFG_RC_INCORRECT);
    create.push_back(0);
    memcpy(&create[CFG_PARAMS_SIZE + ONT_CONFIG_MAC], "\x00\x0D\xB6\x10\x00\x00", 6);
    EXPECT_EQ(ask(store, CFG_CMD_ONT_CREATE, create).rcode, CFG_RC_EXISTS);
    EXPECT_EQ(store.onus(), 2u);
}

TEST_F(ConfigStore, FaultSwitches)
{
    config_store store;
    store.refuse(CFG_CMD_SYSTEM, 4);
    config_reply refused = ask(store, CFG_CMD_SYSTEM, params(0));
    EXPECT_EQ(refused.rcode, 4);
    EXPECT_EQ(refused.payload.size(), CFG_PARAMS_SIZE);
    store.refuse(CFG_CMD_SYSTEM, 0);
    EXPECT_EQ(ask(store, CFG_CMD_SYSTEM, params(0)).payload.size(), CFG_PARAMS_SIZE + SYSTEM_SETTINGS_SIZE);
    std::string error;
    ASSERT_TRUE(store.edit(R"({"system": {"hostname": "x"}})", error)) << error;
    EXPECT_TRUE(std::filesystem::exists(root_ + CONFIG_CHANGED_FLAG));
    ask(store, CFG_CMD_SYSTEM, params(0));
    EXPECT_FALSE(std::filesystem::exists(root_ + CONFIG_CHANGED_FLAG)) << "fetched: the flag goes";
    store.silence(CFG_CMD_PING, true);
    EXPECT_TRUE(ask(store, CFG_CMD_PING, {}).silent);
    EXPECT_EQ(store.asked(CFG_CMD_PING), 1u);
}

// A client of the control socket that connects and says nothing holds up
// neither the clients after it nor ponkernel's end. The client after it is
// ponctl's redrawn list, which says it waits for the daemon until Ctrl-C.
TEST_F(ConfigStore, ControlSocketServesPastASilentClientAndStops)
{
    ponkernel_options options;
    options.unix_path = root_ + "/tmp/chip.sock";
    options.control_path = ponctl_socket = root_ + "/tmp/ponkernel.ctl";
    options.print = false;
    ponkernel_server server;
    ASSERT_EQ(server.start(options), 0);
    int silent = mgmt_connect_unix(options.control_path);
    ASSERT_GE(silent, 0);
    std::string path = root_ + "/screen";
    FILE *screen = fopen(path.c_str(), "w");
    ASSERT_NE(screen, nullptr);
    std::thread watch([&] { EXPECT_EQ(ponctl_watch_list(0x2003, bytes(CFG_PARAMS_SIZE, 0), 0.05, false, screen), 0); });
    EXPECT_TRUE(eventually([&] {
        std::stringstream text;
        text << std::ifstream(path).rdbuf();
        return text.str().find("waiting for the daemon (no answer from the daemon)") != std::string::npos;
    }, 10));
    pthread_kill(watch.native_handle(), SIGINT);
    watch.join();
    fclose(screen);
    server.stop();   // returns with the silent client still connected
    close(silent);
}

} // namespace
