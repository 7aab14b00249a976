#include "estimation/pooling/unit_threads.hpp"

namespace morvex {

unit_threads::unit_threads(unsigned threads) {
    for (unsigned t = 1; t < threads; ++t) {
        workers_.emplace_back([this] { work(); });
    }
}

unit_threads::~unit_threads() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    start_.notify_all();
    for (std::thread& t : workers_) {
        t.join();
    }
}

void unit_threads::take_chunks(std::unique_lock<std::mutex>& lock) {
    while (next_ < chunks_) {
        const std::size_t c = next_++;
        const std::function<void(std::size_t)>& job = *job_;
        lock.unlock();
        job(c);
        lock.lock();
        if (++finished_ == chunks_) {
            done_.notify_all();
        }
    }
}

void unit_threads::work() {
    unsigned long seen = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        start_.wait(lock, [&] { return stop_ || round_ != seen; });
        if (stop_) {
            return;
        }
        seen = round_;
        take_chunks(lock);
    }
}

void unit_threads::run(std::size_t chunks, const std::function<void(std::size_t)>& job) {
    if (workers_.empty() || chunks < 2) {
        for (std::size_t c = 0; c < chunks; ++c) {
            job(c);
        }
        return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    job_ = &job;
    chunks_ = chunks;
    next_ = 0;
    finished_ = 0;
    ++round_;
    start_.notify_all();
    take_chunks(lock);
    done_.wait(lock, [&] { return finished_ == chunks_; });
    job_ = nullptr;
}

} // namespace morvex
