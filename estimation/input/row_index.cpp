#include "estimation/input/row_index.hpp"

#include <algorithm>
#include <functional>
#include <iterator>

namespace morvex {

namespace {

std::uint32_t hash_of(std::string_view id) {
    return static_cast<std::uint32_t>(std::hash<std::string_view>()(id));
}

// Asks for the cache line at `at` ahead of its use, where the compiler can.
void prefetch(const void* at) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(at);
#else
    static_cast<void>(at);
#endif
}

} // namespace

// The slot of `id`: the study that has it, or the empty slot where it goes.
// At most half the slots are taken, so a probe always ends.
row_index::slot_entry& row_index::slot(std::string_view id, std::uint32_t hash) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t place = hash & mask;
    while (slots_[place].study != none &&
           (slots_[place].hash != hash || ids_[slots_[place].study] != id)) {
        place = (place + 1) & mask;
    }
    return slots_[place];
}

// Twice the slots; the ids, all different, go to the first free slot from
// their hash's place.
void row_index::grow() {
    std::vector<slot_entry> old(slots_.empty() ? 64 : slots_.size() * 2, slot_entry{none, 0});
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const slot_entry& e : old) {
        if (e.study == none) {
            continue;
        }
        std::size_t place = e.hash & mask;
        while (slots_[place].study != none) {
            place = (place + 1) & mask;
        }
        slots_[place] = e;
    }
}

std::uint32_t row_index::study_of(std::string_view id, std::uint32_t hash, bool copy,
                                  std::uint32_t first_row) {
    if (2 * (ids_.size() + 1) > slots_.size()) {
        grow();
    }
    slot_entry& entry = slot(id, hash);
    if (entry.study == none) {
        entry.study = static_cast<std::uint32_t>(ids_.size());
        entry.hash = hash;
        if (copy) {
            copies_.emplace_back(id);
            id = copies_.back();
        }
        ids_.push_back(id);
        first_.push_back(first_row);
        last_.push_back(none);
    }
    return entry.study;
}

void row_index::add(std::string_view id, bool copy, std::size_t offset, int line) {
    const auto here = static_cast<std::uint32_t>(rows_.size());
    // Most tables give a study's rows one after another: no lookup for those.
    if (ids_.empty() || ids_[latest_] != id) {
        latest_ = study_of(id, hash_of(id), copy, here);
    }
    if (last_[latest_] != none) {
        rows_[last_[latest_]].next = here;
    }
    last_[latest_] = here;
    rows_.push_back({static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(line), none});
}

void row_index::append(const row_runs& part, std::uint32_t line) {
    const auto base = static_cast<std::uint32_t>(rows_.size());
    std::transform(part.rows.begin(), part.rows.end(), std::back_inserter(rows_),
                   [base, line](const row& r) {
                       return row{r.offset, r.line + line, r.next == none ? none : r.next + base};
                   });
    // Each lookup is a miss in a table larger than the caches: the slots of
    // the runs a few places on are asked for ahead, so that the misses overlap.
    constexpr std::size_t ahead = 8;
    for (std::size_t k = 0; k < part.runs.size(); ++k) {
        if (k + ahead < part.runs.size() && !slots_.empty()) {
            prefetch(&slots_[part.runs[k + ahead].hash & (slots_.size() - 1)]);
        }
        const row_runs::run& r = part.runs[k];
        latest_ = study_of(r.id, r.hash, false, r.first + base);
        if (last_[latest_] != none) {
            rows_[last_[latest_]].next = r.first + base;
        }
        last_[latest_] = r.last + base;
    }
}

void row_index::reserve(std::size_t rows) {
    rows_.reserve(rows);
}

void row_index::done() {
    std::vector<slot_entry>().swap(slots_);
    std::vector<std::uint32_t>().swap(last_);
}

std::size_t row_index::row_count(std::size_t k) const {
    std::size_t count = 0;
    for (std::uint32_t r = first_[k]; r != none; r = rows_[r].next) {
        ++count;
    }
    return count;
}

void row_runs::add(std::string_view id, std::size_t offset, int line) {
    const auto here = static_cast<std::uint32_t>(rows.size());
    if (!runs.empty() && runs.back().id == id) {
        rows[runs.back().last].next = here;
        runs.back().last = here;
    } else {
        runs.push_back({id, hash_of(id), here, here});
    }
    rows.push_back(
        {static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(line), row_index::none});
}

} // namespace morvex
