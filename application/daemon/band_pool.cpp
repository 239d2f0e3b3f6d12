#include "band_pool.h"

#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "state.h"

// What the caller and the workers of one pool share. One mutex with two
// condition variables is the whole hand-over: the caller publishes a frame's
// jobs and wakes the workers, each worker runs its share and counts itself
// done. The workers hold the state through their own references, so it
// outlives the pool object however late they wake.
struct band_team {
    std::mutex lock;
    std::condition_variable start;
    std::condition_variable done;
    uint64_t generation = 0;  // one more for every frame handed out
    jpegenc_param_t *jobs = nullptr;
    int count = 0;
    int threads = 1;
    int pending = 0;  // workers that have not finished this generation
    bool stop = false;
};

namespace {

band_pool pools[MAX_DEVICES];

struct worker_start {
    std::shared_ptr<band_team> team;
    int index;      // 1 .. BAND_POOL_THREADS - 1; the caller is thread 0
    uint64_t seen;  // the generation before the worker's first frame
};

void *band_worker(void *param) {
    const std::unique_ptr<worker_start> me(static_cast<worker_start *>(param));
    band_team &team = *me->team;
    uint64_t seen = me->seen;
    std::unique_lock<std::mutex> hold(team.lock);
    for (;;) {
        team.start.wait(hold, [&] { return team.stop || team.generation != seen; });
        if (team.stop) return nullptr;
        seen = team.generation;
        jpegenc_param_t *const jobs = team.jobs;
        const int count = team.count;
        const int threads = team.threads;
        hold.unlock();
        for (int i = me->index; i < count && me->index < threads; i += threads)
            encode_band(&jobs[i]);
        hold.lock();
        if (--team.pending == 0) team.done.notify_one();
    }
}

}  // namespace

band_pool::band_pool() : team_(std::make_shared<band_team>()) {}

band_pool::~band_pool() {
    {
        std::lock_guard<std::mutex> hold(team_->lock);
        team_->stop = true;
    }
    team_->start.notify_all();
}

bool band_pool::run(jpegenc_param_t *jobs, int count, int threads) {
    threads = std::clamp(threads, 1, BAND_POOL_THREADS);
    std::lock_guard<std::mutex> one_frame(caller_);
    if (threads == 1) {
        for (int i = 0; i < count; ++i) encode_band(&jobs[i]);
        return true;
    }
    // Only the caller changes the generation, so it reads it unlocked.
    while (started_ < threads - 1) {
        auto start =
            std::make_unique<worker_start>(worker_start{team_, started_ + 1, team_->generation});
        pthread_t tid;
        const int rc = pthread_create(&tid, nullptr, band_worker, start.get());
        if (rc != 0) {
            std::printf("Create jpeg encoder A thread failed, error: %s\n", std::strerror(rc));
            return false;
        }
        start.release();  // the worker owns it now
        pthread_detach(tid);
        ++started_;
    }
    {
        std::lock_guard<std::mutex> hold(team_->lock);
        team_->jobs = jobs;
        team_->count = count;
        team_->threads = threads;
        team_->pending = started_;
        ++team_->generation;
    }
    team_->start.notify_all();
    for (int i = 0; i < count; i += threads) encode_band(&jobs[i]);
    std::unique_lock<std::mutex> hold(team_->lock);
    team_->done.wait(hold, [&] { return team_->pending == 0; });
    return true;
}

band_pool &device_band_pool(int slot) {
    return pools[std::clamp(slot, 0, MAX_DEVICES - 1)];
}
