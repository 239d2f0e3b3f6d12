#include "desktop_repaint.h"

#include <condition_variable>
#include <mutex>
#include <thread>

#include "rotation.h"

namespace {

constexpr char REPAINT_COMMAND[] = "xrefresh";

// One worker for the whole daemon. Its state is never destroyed: the worker
// may still wait on it while the process runs its exit-time destructors.
struct repainter_t {
    std::mutex lock;  // the simplest exclusion for the one flag
    std::condition_variable wake;
    bool wanted = false;
};

repainter_t &repainter() {
    static repainter_t *r = [] {
        auto *made = new repainter_t;
        std::thread([made] {
            std::unique_lock<std::mutex> hold(made->lock);
            for (;;) {
                made->wake.wait(hold, [made] { return made->wanted; });
                made->wanted = false;
                hold.unlock();
                run_shell(REPAINT_COMMAND);
                hold.lock();
            }
        }).detach();
        return made;
    }();
    return *r;
}

}  // namespace

void ask_desktop_repaint() {
    repainter_t &r = repainter();
    {
        std::lock_guard<std::mutex> hold(r.lock);
        r.wanted = true;
    }
    r.wake.notify_one();
}
