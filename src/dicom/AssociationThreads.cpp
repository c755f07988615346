#include "AssociationThreads.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace dicom::detail::associationThreads {

namespace {

struct Running
{
    std::shared_ptr<AssociationSocket> socket;
    std::thread thread;
    std::atomic<bool> finished{false};
};

struct Registry
{
    std::mutex mutex;
    std::vector<std::shared_ptr<Running>> running;
    std::atomic<bool> shuttingDown{false};

    void reapFinished()  // with mutex held
    {
        std::erase_if(running, [](const std::shared_ptr<Running> &r) {
            if (!r->finished)
                return false;
            r->thread.join();
            return true;
        });
    }
};

Registry &registry()
{
    // Never destroyed: threads may still look at it while the program ends.
    static Registry *r = new Registry;
    return *r;
}

} // namespace

void start(std::shared_ptr<AssociationSocket> socket, std::function<void()> serve)
{
    auto running = std::make_shared<Running>();
    running->socket = std::move(socket);
    Registry &r = registry();
    const std::lock_guard lock(r.mutex);
    r.reapFinished();
    r.running.reserve(r.running.size() + 1);  // once the thread runs, nothing here may throw
    running->thread = std::thread([running, serve = std::move(serve)] {
        serve();
        running->finished = true;
    });
    r.running.push_back(std::move(running));
}

size_t running()
{
    Registry &r = registry();
    const std::lock_guard lock(r.mutex);
    return size_t(std::count_if(r.running.begin(), r.running.end(),
                                [](const std::shared_ptr<Running> &a) { return !a->finished; }));
}

void beginShutdown()
{
    registry().shuttingDown = true;
}

bool shuttingDown()
{
    return registry().shuttingDown;
}

void abortAndJoinAll()
{
    Registry &r = registry();
    std::vector<std::shared_ptr<Running>> running;
    {
        const std::lock_guard lock(r.mutex);
        running.swap(r.running);
    }
    for (auto &a : running)
        a->socket->abort();
    for (auto &a : running)
        a->thread.join();
    r.shuttingDown = false;
}

} // namespace dicom::detail::associationThreads
