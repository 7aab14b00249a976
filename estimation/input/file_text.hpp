// Reading a file whole: as a string, or, for a large table, straight into
// storage of its own on several threads at once.
#ifndef MORVEX_ESTIMATION_FILE_TEXT_HPP
#define MORVEX_ESTIMATION_FILE_TEXT_HPP

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace morvex {

// A file that cannot be opened or read; the message gives the system's reason.
class file_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The whole content of a file. Throws file_error.
std::string read_file(const std::string& path);

// A text held whole, in a string or in bytes of its own, so that a large
// file's text need be neither copied nor first filled with zeros.
class file_text {
public:
    file_text() = default;
    explicit file_text(std::string text) : text_(std::move(text)) {}
    file_text(std::unique_ptr<char[]> bytes, std::size_t size)
        : bytes_(std::move(bytes)), size_(size) {}

    std::string_view view() const {
        return bytes_ ? std::string_view(bytes_.get(), size_) : std::string_view(text_);
    }

private:
    std::string text_;
    std::unique_ptr<char[]> bytes_;
    std::size_t size_ = 0;
};

// A regular file read in parts of at least this many bytes.
constexpr std::size_t file_part_bytes = std::size_t{8} << 20;

// The whole content of a file, as read_file gives it. A regular file of a
// part or more is read straight into storage of its own; of two parts or
// more, on up to `threads` threads, a part each, so that the copying of the
// text and the mapping of its pages share the processors. A file that
// changes size as it is read is read again as read_file does. Throws
// file_error.
file_text read_file_text(const std::string& path, unsigned threads,
                         std::size_t part_bytes = file_part_bytes);

} // namespace morvex

#endif
