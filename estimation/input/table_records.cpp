#include "estimation/input/table_records.hpp"

namespace morvex {

void record_reader::next(std::vector<std::string>& fields) {
    std::size_t count = 0;
    const int record_line = line_;
    while (true) {
        if (count == fields.size()) {
            fields.emplace_back();
        }
        std::string& field = fields[count++];
        field.clear();
        if (pos_ < text_.size() && text_[pos_] == '"') {
            const int opened = line_;
            ++pos_;
            while (true) {
                if (pos_ >= text_.size()) {
                    throw table_error(opened, "a quoted field that starts here never ends; "
                                              "close it with '\"' (write \"\" for a quote "
                                              "inside it)");
                }
                const char c = text_[pos_++];
                if (c == '"') {
                    if (pos_ < text_.size() && text_[pos_] == '"') {
                        field += '"';
                        ++pos_;
                        continue;
                    }
                    break;
                }
                if (c == '\n' || (c == '\r' && (pos_ >= text_.size() || text_[pos_] != '\n'))) {
                    ++line_;
                }
                field += c;
            }
            if (pos_ < text_.size() && text_[pos_] != sep_ && text_[pos_] != '\n' &&
                text_[pos_] != '\r') {
                throw table_error(line_, "text follows a closing quote in record of line " +
                                             std::to_string(record_line) +
                                             "; quote the whole field, with \"\" for a "
                                             "quote inside it");
            }
        } else {
            std::size_t stop = pos_;
            while (stop < text_.size() && text_[stop] != sep_ && text_[stop] != '\n' &&
                   text_[stop] != '\r') {
                ++stop;
            }
            field.assign(text_.substr(pos_, stop - pos_));
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
        fields.resize(count);
        return;
    }
}

} // namespace morvex
