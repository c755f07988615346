#include "ListenerRegistry.h"

#include "AssociationThreads.h"
#include "Dcmtk.h"
#include "Listener.h"

#include <map>
#include <mutex>

namespace dicom::detail {

namespace {

struct Registry
{
    std::mutex mutex;
    std::map<qint32, std::shared_ptr<Listener>> listeners;
};

Registry &registry()
{
    // Never destroyed: threads may still look at it while the program ends.
    static Registry *r = new Registry;
    return *r;
}

} // namespace

void startListener(qint32 port, std::shared_ptr<ImageSink> sink)
{
    initializeDcmtk();
    Registry &r = registry();
    const std::lock_guard lock(r.mutex);
    if (const auto it = r.listeners.find(port); it != r.listeners.end()) {
        it->second->setSink(std::move(sink));
        return;
    }
    auto listener = std::make_shared<Listener>(port, std::move(sink));
    listener->start();
    r.listeners.emplace(port, std::move(listener));
}

void stopListener(qint32 port)
{
    std::shared_ptr<Listener> listener;
    {
        Registry &r = registry();
        const std::lock_guard lock(r.mutex);
        const auto it = r.listeners.find(port);
        if (it == r.listeners.end())
            return;
        listener = std::move(it->second);
        r.listeners.erase(it);
    }
    listener->stop();
}

void shutdownAll()
{
    associationThreads::beginShutdown();
    std::map<qint32, std::shared_ptr<Listener>> listeners;
    {
        Registry &r = registry();
        const std::lock_guard lock(r.mutex);
        listeners.swap(r.listeners);
    }
    for (auto &[port, listener] : listeners)
        listener->stop();
    listeners.clear();
    associationThreads::abortAndJoinAll();
}

} // namespace dicom::detail
