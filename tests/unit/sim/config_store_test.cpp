// ponkernel's configuration store on its own: board files and requests it
// refuses, its fault switches, and the control socket through which ponctl
// reaches it. The answers themselves are the board's to check (the daemon
// starts up from them).
#include "base/bytes.h"
#include "common/mgmt_conn.h"
#include "common/wait.h"
#include "ponctl/commands.h"
#include "ponkernel/config_store.h"
#include "ponkernel/ponkernel.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

using bytes = std::vector<uint8_t>;

// A store loaded with two ONUs, in a sandbox root for its flag files.
class ConfigStore : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("ZANDREL_ROOT", root_.c_str(), 1);
        std::string error, board = R"({"onus": [{"mac": "00:0D:B6:10:00:00"}, {"mac": "00:0D:B6:10:00:10"}]})";
        ASSERT_TRUE(store_.load_text(board, error)) << error;
    }
    void TearDown() override
    {
        unsetenv("ZANDREL_ROOT");
        std::filesystem::remove_all(root_);
    }
    // The store's answer to `cmd` with parameters `first`, then `size` more bytes.
    config_reply ask(uint16_t cmd, uint32_t first = 0, size_t size = CFG_PARAMS_SIZE)
    {
        bytes p(size);
        store_le32(p.data(), first);
        return store_.answer(cmd, p.data(), p.size());
    }
    std::string root_ = sandbox_root();
    config_store store_;
};

// A bad board file is refused whole, and what the store cannot serve it
// refuses; its fault switches refuse or drop what it could, and an edit
// flags the change until it is fetched.
TEST_F(ConfigStore, RefusalsAndFaultSwitches)
{
    std::ifstream table(std::string(ZANDREL_VECTORS_DIR) + "/sim/refused_boards.txt");
    int rows = 0;
    for (std::string line, error; std::getline(table, line);) {
        size_t arrow = line.find(" => ");
        if (arrow != std::string::npos && line[0] != '#' && ++rows) {
            EXPECT_FALSE(store_.load_text(line.substr(arrow + 4), error) || error.empty()) << line;
        }
    }
    EXPECT_EQ(rows, 10);
    EXPECT_EQ(ask(CFG_CMD_OLT_CONFIG, 4).rcode, CFG_RC_NOT_FOUND);
    EXPECT_EQ(ask(0x7777).rcode, CFG_RC_NOT_FOUND);
    EXPECT_EQ(ask(CFG_CMD_ONT_CREATE, 0, CFG_PARAMS_SIZE + ONT_CONFIG_SIZE - 1).rcode, CFG_RC_INCORRECT);
    bytes create(CFG_PARAMS_SIZE + ONT_CONFIG_SIZE);
    memcpy(&create[CFG_PARAMS_SIZE + ONT_CONFIG_MAC], "\x00\x0D\xB6\x10\x00\x00", 6);
    EXPECT_EQ(store_.answer(CFG_CMD_ONT_CREATE, create.data(), create.size()).rcode, CFG_RC_EXISTS);
    EXPECT_EQ(store_.onus(), 2u) << "a refused file or ONU leaves the store as it was";

    store_.refuse(CFG_CMD_SYSTEM, 4);
    EXPECT_EQ(ask(CFG_CMD_SYSTEM).rcode, 4);
    EXPECT_EQ(ask(CFG_CMD_SYSTEM).payload.size(), CFG_PARAMS_SIZE) << "the echo only";
    store_.refuse(CFG_CMD_SYSTEM, 0);
    std::string error;
    ASSERT_TRUE(store_.edit(R"({"system": {"hostname": "x"}})", error)) << error;
    EXPECT_TRUE(std::filesystem::exists(root_ + CONFIG_CHANGED_FLAG));
    EXPECT_EQ(ask(CFG_CMD_SYSTEM).payload.size(), CFG_PARAMS_SIZE + SYSTEM_SETTINGS_SIZE);
    EXPECT_FALSE(std::filesystem::exists(root_ + CONFIG_CHANGED_FLAG)) << "fetched: the flag goes";
    store_.silence(CFG_CMD_PING, true);
    EXPECT_TRUE(ask(CFG_CMD_PING).silent);
    EXPECT_EQ(store_.asked(CFG_CMD_PING), 1u);
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
    std::thread watch([&] { EXPECT_EQ(ponctl_watch_list(0x2003, bytes(CFG_PARAMS_SIZE, 0), 0.05, false, screen), 0); });
    const char *waiting = "waiting for the daemon (no answer from the daemon)";
    EXPECT_TRUE(eventually([&] { return count_of(read_file(path), waiting) > 0; }, 10));
    pthread_kill(watch.native_handle(), SIGINT);
    watch.join();
    fclose(screen);
    server.stop();   // returns with the silent client still connected
    close(silent);
}

} // namespace
