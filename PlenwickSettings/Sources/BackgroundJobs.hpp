#pragma once

#include <list>
#include <optional>
#include <stop_token>
#include <thread>
#include <utility>

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

namespace plenwick {

// Blocking work (the session bus, the network) kept off the GUI thread. Each job runs on a
// std::jthread of its own and hands its value back to its receiver on the GUI thread; a receiver
// that is gone by then gets nothing. The jobs belong to the receiver: when it goes, running jobs
// are asked to stop and joined.
class BackgroundJobs {
public:
    BackgroundJobs() = default;
    BackgroundJobs(const BackgroundJobs&) = delete;
    BackgroundJobs& operator=(const BackgroundJobs&) = delete;

    // `work(std::stop_token)` runs on the job's thread; `done(value)` on the GUI thread.
    template <typename Receiver, typename Work, typename Done>
    void start(Receiver* receiver, Work work, Done done) {
        auto slot = m_threads.emplace(m_threads.end());
        QPointer<Receiver> guard(receiver);
        *slot = std::jthread([this, guard, slot, work = std::move(work),
                              done = std::move(done)](std::stop_token stop) mutable {
            // A job that throws delivers nothing; its thread still ends and is joined.
            std::optional<decltype(work(stop))> value;
            try {
                value.emplace(work(stop));
            } catch (...) {
                value.reset();
            }
            // The application object outlives every receiver, so posting to it is safe even
            // while the receiver is being destroyed; the guard decides on the GUI thread.
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [this, guard = std::move(guard), slot, done = std::move(done),
                 value = std::move(value)]() mutable {
                    if (!guard)
                        return;
                    slot->join();
                    m_threads.erase(slot);
                    if (value)
                        done(std::move(*value));
                },
                Qt::QueuedConnection);
        });
    }

private:
    std::list<std::jthread> m_threads;
};

} // namespace plenwick
