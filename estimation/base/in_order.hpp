// Work cut into batches, done on several threads and taken up in order on the
// calling thread: whatever the taking-up writes comes out exactly as if the
// batches had been done one after another.
#ifndef MORVEX_ESTIMATION_IN_ORDER_HPP
#define MORVEX_ESTIMATION_IN_ORDER_HPP

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace morvex {

// Does batches 0, 1, ... until `cut(slot)` says there are no more (it
// returns false), calling `make(slot, worker)` for each on one of `workers`
// threads and `take(slot)` on the calling thread in the order of the batches.
// `slots` holds the batches made and not yet taken: at least one. `cut`
// runs one call at a time, in order, before the batch is made, and must not
// throw.
//
// Batch b goes into slot b % slots.size(), made by whichever worker is free
// first, so that a worker slowed down (by other work on its processor) holds
// up no other. A slot is thus made by different workers in turn: `make` must
// leave nothing that its worker keeps sharing unsynchronised state with the
// slot (copy-on-write matrices, whose use counts are not atomic).
//
// A batch that throws from `make` is still taken (the slot says how far it
// got), then its exception is thrown here, after every thread has stopped.
// With no worker, or when no thread can be started, the calling thread
// makes each batch itself.
template <class Slot, class Cut, class Make, class Take>
void in_order(std::vector<Slot>& slots, unsigned workers, Cut cut, Make make, Take take) {
    struct shared_state {
        std::mutex lock;
        std::condition_variable made;  // a batch is ready to take
        std::condition_variable freed; // a batch was cut or taken, or the run stops
        std::size_t cut = 0;           // batches cut so far
        bool last_cut = false;         // cut() said there are no more
        std::size_t taken = 0;         // batches taken so far
        bool stop = false;
        std::vector<std::size_t> ready;           // per slot: 1 + the batch made there, or 0
        std::vector<std::exception_ptr> failures; // per slot
    } state;
    const std::size_t room = slots.size();
    state.ready.assign(room, 0);
    state.failures.assign(room, nullptr);

    std::vector<std::thread> threads;
    const auto work = [&](unsigned worker) {
        std::unique_lock<std::mutex> hold(state.lock);
        while (true) {
            state.freed.wait(hold, [&] {
                return state.stop || state.last_cut || state.cut < state.taken + room;
            });
            if (state.stop || state.last_cut) {
                return;
            }
            const std::size_t b = state.cut;
            Slot& slot = slots[b % room];
            if (!cut(slot)) {
                state.last_cut = true;
                hold.unlock();
                state.made.notify_all();
                state.freed.notify_all();
                return;
            }
            ++state.cut;
            hold.unlock();
            std::exception_ptr failure;
            try {
                make(slot, worker);
            } catch (...) {
                failure = std::current_exception();
            }
            hold.lock();
            state.ready[b % room] = b + 1;
            state.failures[b % room] = failure;
            hold.unlock();
            state.made.notify_all();
            hold.lock();
        }
    };
    const auto stop_threads = [&] {
        {
            const std::lock_guard<std::mutex> hold(state.lock);
            state.stop = true;
        }
        state.freed.notify_all();
        for (std::thread& t : threads) {
            t.join();
        }
    };
    // No thread works before all have started, so that batches are dealt
    // among all of them or, when one cannot start, none.
    {
        const std::lock_guard<std::mutex> hold(state.lock);
        try {
            threads.reserve(workers);
            for (unsigned w = 0; w < workers; ++w) {
                threads.emplace_back(work, w);
            }
        } catch (const std::system_error&) {
            state.stop = true;
        }
    }
    if (state.stop) {
        state.freed.notify_all();
        for (std::thread& t : threads) {
            t.join();
        }
        threads.clear();
    }
    for (std::size_t b = 0;; ++b) {
        Slot& slot = slots[b % room];
        std::exception_ptr failure;
        if (threads.empty()) {
            if (!cut(slot)) {
                return;
            }
            try {
                make(slot, 0U);
            } catch (...) {
                failure = std::current_exception();
            }
        } else {
            std::unique_lock<std::mutex> hold(state.lock);
            state.made.wait(hold, [&] {
                return state.ready[b % room] == b + 1 || (state.last_cut && state.cut == b);
            });
            if (state.ready[b % room] != b + 1) {
                hold.unlock();
                stop_threads();
                return;
            }
            failure = state.failures[b % room];
        }
        try {
            take(slot);
        } catch (...) {
            if (!threads.empty()) {
                stop_threads();
            }
            throw;
        }
        if (failure) {
            if (!threads.empty()) {
                stop_threads();
            }
            std::rethrow_exception(failure);
        }
        if (!threads.empty()) {
            {
                const std::lock_guard<std::mutex> hold(state.lock);
                state.ready[b % room] = 0;
                state.failures[b % room] = nullptr;
                state.taken = b + 1;
            }
            state.freed.notify_all();
        }
    }
}

} // namespace morvex

#endif
