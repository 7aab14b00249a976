#include "estimation/input/row_index.hpp"

#include <functional>

namespace morvex {

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

void row_index::add(std::string_view id, bool copy, std::size_t offset, int line) {
    const auto here = static_cast<std::uint32_t>(rows_.size());
    // Most tables give a study's rows one after another: no lookup for those.
    if (!ids_.empty() && ids_[latest_] == id) {
        rows_[last_[latest_]].next = here;
        last_[latest_] = here;
        rows_.push_back(
            {static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(line), none});
        return;
    }
    if (2 * (ids_.size() + 1) > slots_.size()) {
        grow();
    }
    const auto hash = static_cast<std::uint32_t>(std::hash<std::string_view>()(id));
    slot_entry& entry = slot(id, hash);
    std::uint32_t& study = entry.study;
    if (study == none) {
        study = static_cast<std::uint32_t>(ids_.size());
        entry.hash = hash;
        if (copy) {
            copies_.emplace_back(id);
            id = copies_.back();
        }
        ids_.push_back(id);
        first_.push_back(here);
        last_.push_back(here);
    } else {
        rows_[last_[study]].next = here;
        last_[study] = here;
    }
    latest_ = study;
    rows_.push_back({static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(line), none});
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

} // namespace morvex
