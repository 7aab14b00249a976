#include "estimation/input/row_index.hpp"

#include <functional>

namespace morvex {

// The slot of `id`: the study that has it, or the empty slot where it goes.
// At most half the slots are taken, so a probe always ends.
std::uint32_t& row_index::slot(std::string_view id) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t place = std::hash<std::string_view>()(id) & mask;
    while (slots_[place] != none && ids_[slots_[place]] != id) {
        place = (place + 1) & mask;
    }
    return slots_[place];
}

void row_index::grow() {
    slots_.assign(slots_.empty() ? 64 : slots_.size() * 2, none);
    for (std::size_t k = 0; k < ids_.size(); ++k) {
        slot(ids_[k]) = static_cast<std::uint32_t>(k);
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
    std::uint32_t& study = slot(id);
    if (study == none) {
        study = static_cast<std::uint32_t>(ids_.size());
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
    std::vector<std::uint32_t>().swap(slots_);
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
