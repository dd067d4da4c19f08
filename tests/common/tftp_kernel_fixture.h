// For the tests of image transfers and the jobs that run them: the chips'
// TFTP side on the in-process simulator and ponkernel behind the management
// link, which receives the reports. The retry pause is recorded in `pauses`
// instead of slept, and the answer time-outs are a second each.
#pragma once

#include "chip/tektftp.h"
#include "chip/tftpxfer.h"
#include "oltsim/tftpserver.h"
#include "common/link_fixture.h"

template <class Base> class WithTftpAndKernel : public Base {
protected:
    void BeforeStart() override
    {
        pauses.clear();
        tftp_pause = [](unsigned seconds) { pauses.push_back(seconds); };
        tftp_timeout = {1, 1, 1};
        tftp_ = std::make_unique<oltsim::tftp_server>(*this->sim_);
        kernel_link_up(kernel_, kernel_options(this->root_.string()));
    }
    void TearDown() override
    {
        kernlink_close();
        kernel_.stop();
        Base::TearDown();
        tftp_pause = saved_pause_;
        tftp_timeout = saved_timeouts_;
    }
    // The notifications the management process got, as "code n1 n2 text",
    // once `expected` have come.
    std::vector<std::string> reports(size_t expected)
    {
        kernel_.wait_notifications(expected, 10);
        std::vector<std::string> out;
        for (const kernmsg_notification &n : kernel_.notifications())
            out.push_back(std::to_string(n.code) + " " + std::to_string(n.num[0]) + " " + std::to_string(n.num[1]) +
                          " " + n.text);
        return out;
    }

    static inline std::vector<unsigned> pauses;
    void (*saved_pause_)(unsigned) = tftp_pause;
    tftp_timeouts saved_timeouts_ = tftp_timeout;
    std::unique_ptr<oltsim::tftp_server> tftp_;
    ponkernel_server kernel_;
};
