#include "estimation/input/table_records.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace morvex {
namespace {

constexpr std::uint64_t ones = 0x0101010101010101U;

// Every byte of eight equal to `c`.
constexpr std::uint64_t spread(char c) {
    return ones * static_cast<unsigned char>(c);
}

// Nonzero when one of the eight bytes of `word` is 0.
constexpr std::uint64_t has_zero(std::uint64_t word) {
    return (word - ones) & ~word & (ones << 7U);
}

// The eight bytes at `at`, in the machine's order.
std::uint64_t load(const char* at) {
    std::uint64_t word = 0;
    std::memcpy(&word, at, sizeof word);
    return word;
}

// The first of `text` from `from` on that is one of a, b and c, or its size.
// Sixteen bytes at a time where the processor compares them at once (every
// x86-64 does), else eight: fields and lines are mostly longer than a few bytes.
std::size_t find_any(std::string_view text, std::size_t from, char a, char b, char c) {
    std::size_t at = from;
#ifdef __SSE2__
    const __m128i va = _mm_set1_epi8(a);
    const __m128i vb = _mm_set1_epi8(b);
    const __m128i vc = _mm_set1_epi8(c);
    while (at + 16 <= text.size()) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + at));
        const __m128i hits =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, va), _mm_cmpeq_epi8(block, vb)),
                         _mm_cmpeq_epi8(block, vc));
        const auto mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
        if (mask != 0) {
            return at + static_cast<std::size_t>(__builtin_ctz(mask));
        }
        at += 16;
    }
#endif
    const std::uint64_t pa = spread(a);
    const std::uint64_t pb = spread(b);
    const std::uint64_t pc = spread(c);
    while (at + 8 <= text.size()) {
        const std::uint64_t word = load(text.data() + at);
        const std::uint64_t hits = has_zero(word ^ pa) | has_zero(word ^ pb) | has_zero(word ^ pc);
        if (hits != 0) {
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
            // The lowest flag marks the first match exactly: a false one only
            // ever follows a true one.
            return at + static_cast<std::size_t>(__builtin_ctzll(hits)) / 8;
#else
            break;
#endif
        }
        at += 8;
    }
    while (at < text.size() && text[at] != a && text[at] != b && text[at] != c) {
        ++at;
    }
    return at;
}

} // namespace

std::size_t record_reader::field_end(std::size_t from) const {
    return find_any(text_, from, sep_, '\n', '\r');
}

std::size_t record_reader::plain_line_end() const {
    const std::size_t end = find_any(text_, pos_, '"', '\n', '\r');
    return end < text_.size() && text_[end] == '"' ? std::string_view::npos : end;
}

void record_reader::end_record(std::size_t end) {
    pos_ = end;
    if (pos_ < text_.size()) {
        pos_ += text_[pos_] == '\r' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '\n' ? 2 : 1;
        ++line_;
    }
}

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
            const std::size_t stop = field_end(pos_);
            fields.emplace_back(text_.data() + pos_, stop - pos_);
            pos_ = stop;
        }
        if (pos_ < text_.size() && text_[pos_] == sep_) {
            ++pos_;
            continue;
        }
        // A line end or the end of the text closes the record.
        end_record(pos_);
        for (const copy& c : copied_) {
            fields[c.field] = std::string_view(copies_).substr(c.at, c.size);
        }
        return;
    }
}

std::string_view record_reader::next_field(std::size_t index, bool& blank,
                                           std::vector<std::string_view>& fields) {
    const auto is_blank = [](std::string_view f) {
        return f.find_first_not_of(" \t") == std::string_view::npos;
    };
    const std::size_t end = plain_line_end();
    if (end == std::string_view::npos) {
        next(fields);
        blank = std::all_of(fields.begin(), fields.end(), is_blank);
        return index < fields.size() ? fields[index] : std::string_view();
    }
    const std::string_view record = text_.substr(pos_, end - pos_);
    end_record(end);
    std::size_t start = 0;
    for (std::size_t k = 0; k < index && start <= record.size(); ++k) {
        start = std::min(record.find(sep_, start), record.size()) + 1;
    }
    std::string_view field;
    if (start <= record.size()) {
        field = record.substr(start, std::min(record.find(sep_, start), record.size()) - start);
    }
    // Blank when it holds nothing but spaces, tabs and separators.
    blank = is_blank(field) &&
            record.find_first_not_of(std::string{' ', '\t', sep_}) == std::string_view::npos;
    copies_.clear();
    return field;
}

bool record_reader::is_copy(std::string_view field) const {
    const std::less<const char*> before;
    return !copies_.empty() && !before(field.data(), copies_.data()) &&
           before(field.data(), copies_.data() + copies_.size());
}

} // namespace morvex
