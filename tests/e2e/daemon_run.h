// torvel-displayd started under torvel-sim for one test and stopped at its
// end, whatever the test's outcome.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "sim.h"

namespace torvel_e2e {

// How often `what` stands in `text`.
inline size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class DaemonRun {
  public:
    // `stop_timeout`: how long the stop at the end waits for the daemon to
    // end after SIGINT before it is killed.
    explicit DaemonRun(const torvel::sim::Options &o,
                       std::chrono::milliseconds stop_timeout = std::chrono::seconds(10))
        : stop_timeout_(stop_timeout) {
        std::string error;
        sim_ = torvel::sim::Sim::create(o, &error);
        EXPECT_TRUE(sim_) << error;
        if (sim_) started_ = sim_->start(&error);
        EXPECT_TRUE(started_) << error;
    }
    ~DaemonRun() {
        if (sim_ && sim_->running()) sim_->stop(stop_timeout_);
    }
    DaemonRun(const DaemonRun &) = delete;
    DaemonRun &operator=(const DaemonRun &) = delete;

    bool ok() const { return started_; }
    torvel::sim::Sim &operator*() { return *sim_; }
    torvel::sim::Sim *operator->() { return sim_.get(); }

    // Waits until the daemon's output holds `text`.
    bool log_has(const std::string &text,
                 std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
        return sim_->wait_until([&] { return sim_->daemon_log().find(text) != std::string::npos; },
                                timeout);
    }

  protected:
    std::unique_ptr<torvel::sim::Sim> sim_;

  private:
    std::chrono::milliseconds stop_timeout_;
    bool started_ = false;
};

}  // namespace torvel_e2e
