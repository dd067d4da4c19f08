// ponctl COMMAND [ARGS]: sends one management command to the daemon through
// ponkernel's control socket ($ZANDREL_ROOT/tmp/ponkernel.ctl, or -s PATH)
// and prints the answer decoded. The exit statuses: commands.h.
#include "platform/sandbox.h"
#include "ponctl/commands.h"

int main(int argc, char **argv)
{
    ponctl_socket = sandbox_path("/tmp/ponkernel.ctl");
    return ponctl_main(std::vector<std::string>(argv + 1, argv + argc));
}
