// Threads that share out the chunks of a sum over a model's units. Each chunk's
// terms go to a place of their own and are added in chunk order afterwards, so
// that the sum has the same bits on any number of threads.
#ifndef MORVEX_ESTIMATION_POOLING_UNIT_THREADS_HPP
#define MORVEX_ESTIMATION_POOLING_UNIT_THREADS_HPP

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace morvex {

class unit_threads {
public:
    // `threads` in all, the caller's included; 1 starts none.
    explicit unit_threads(unsigned threads);
    ~unit_threads();
    unit_threads(const unit_threads&) = delete;
    unit_threads& operator=(const unit_threads&) = delete;

    unsigned count() const { return static_cast<unsigned>(workers_.size()) + 1; }

    // job(c) for every chunk c in [0, chunks), on the caller's thread and the others;
    // returns when all are done.
    void run(std::size_t chunks, const std::function<void(std::size_t)>& job);

private:
    void work();
    // Takes chunks until none are left; the lock is held on entry and exit.
    void take_chunks(std::unique_lock<std::mutex>& lock);

    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable start_;
    std::condition_variable done_;
    const std::function<void(std::size_t)>* job_ = nullptr;
    std::size_t chunks_ = 0;
    std::size_t next_ = 0;
    std::size_t finished_ = 0;
    unsigned long round_ = 0;
    bool stop_ = false;
};

} // namespace morvex

#endif
