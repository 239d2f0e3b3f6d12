// The band workers of a device: the render thread and up to three threads
// that stay for the life of the process, so a frame costs two thread
// wake-ups per band instead of a thread start and a join.
#pragma once

#include <memory>
#include <mutex>

#include "encoder_worker.h"

inline constexpr int BAND_POOL_THREADS = 4;  // the render thread and three workers

struct band_team;

// One per device slot, run by the device's render thread (or a tool or test
// with a context of its own). A second caller waits for the first one's
// frame to finish.
class band_pool {
  public:
    band_pool();
    // Lets the workers end; they hold the shared state until they have.
    ~band_pool();
    band_pool(const band_pool &) = delete;
    band_pool &operator=(const band_pool &) = delete;

    // Runs encode_band on jobs[0 .. count) with `threads` threads in all,
    // the calling thread one of them: job i runs on thread i % threads, so
    // with one thread the jobs run one after another on the caller. Returns
    // when every job has finished. Workers are started when first needed;
    // when one cannot be started, prints "Create jpeg encoder A thread
    // failed, error: ..." and returns false with no job run.
    bool run(jpegenc_param_t *jobs, int count, int threads);

  private:
    std::mutex caller_;  // one frame at a time; guards started_
    std::shared_ptr<band_team> team_;
    int started_ = 0;
};

// The pool of device slot `slot` (0 .. MAX_DEVICES - 1).
band_pool &device_band_pool(int slot);
