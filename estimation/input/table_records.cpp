#include "estimation/input/table_records.hpp"

#include <functional>

namespace morvex {

std::string_view record_reader::quoted_field(int record_line, std::size_t field) {
    const int opened = line_;
    const std::size_t start = pos_;
    std::size_t copied_from = std::string_view::npos; // where undoubling began, if it did
    while (true) {
        if (pos_ >= text_.size()) {
            throw table_error(opened, "a quoted field that starts here never ends; "
                                      "close it with '\"' (write \"\" for a quote "
                                      "inside it)");
        }
        const char c = text_[pos_++];
        if (c == '"') {
            if (pos_ < text_.size() && text_[pos_] == '"') {
                if (copied_from == std::string_view::npos) {
                    copied_from = copies_.size();
                    copies_.append(text_.substr(start, pos_ - start)); // up to the first quote
                } else {
                    copies_ += '"';
                }
                ++pos_;
                continue;
            }
            break;
        }
        if (c == '\n' || (c == '\r' && (pos_ >= text_.size() || text_[pos_] != '\n'))) {
            ++line_;
        }
        if (copied_from != std::string_view::npos) {
            copies_ += c;
        }
    }
    if (pos_ < text_.size() && text_[pos_] != sep_ && text_[pos_] != '\n' && text_[pos_] != '\r') {
        throw table_error(line_, "text follows a closing quote in record of line " +
                                     std::to_string(record_line) +
                                     "; quote the whole field, with \"\" for a "
                                     "quote inside it");
    }
    if (copied_from != std::string_view::npos) {
        // Its view is made at the end of the record: copies_ may still grow.
        copied_.push_back({field, copied_from, copies_.size() - copied_from});
        return {};
    }
    return text_.substr(start, pos_ - 1 - start);
}

void record_reader::next(std::vector<std::string_view>& fields) {
    fields.clear();
    copies_.clear();
    copied_.clear();
    const int record_line = line_;
    while (true) {
        if (pos_ < text_.size() && text_[pos_] == '"') {
            ++pos_;
            fields.push_back(quoted_field(record_line, fields.size()));
        } else {
            std::size_t stop = pos_;
            while (stop < text_.size() && text_[stop] != sep_ && text_[stop] != '\n' &&
                   text_[stop] != '\r') {
                ++stop;
            }
            fields.push_back(text_.substr(pos_, stop - pos_));
            pos_ = stop;
        }
        if (pos_ < text_.size() && text_[pos_] == sep_) {
            ++pos_;
            continue;
        }
        // A line end or the end of the text closes the record.
        if (pos_ < text_.size()) {
            pos_ +=
                text_[pos_] == '\r' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '\n' ? 2 : 1;
            ++line_;
        }
        for (const copy& c : copied_) {
            fields[c.field] = std::string_view(copies_).substr(c.at, c.size);
        }
        return;
    }
}

bool record_reader::is_copy(std::string_view field) const {
    const std::less<const char*> before;
    return !copies_.empty() && !before(field.data(), copies_.data()) &&
           before(field.data(), copies_.data() + copies_.size());
}

} // namespace morvex
