// Output text built by copying its pieces straight into a string's room: a
// study's report or entry is made of many short pieces, and each append to a
// std::string is a call, where this is a comparison and a copy.
#ifndef MORVEX_ESTIMATION_TEXT_BUILDER_HPP
#define MORVEX_ESTIMATION_TEXT_BUILDER_HPP

#include <algorithm>
#include <charconv>
#include <cstring>
#include <ostream>
#include <string>
#include <string_view>
#include <type_traits>

namespace morvex {

// Builds text in `room`, a string used only as storage: it keeps its full
// size from one use to the next, so that its characters are not cleared
// again for each study, and only text() is what was built.
class text_builder {
public:
    explicit text_builder(std::string& room) : room_(room) {
        if (room_.size() < initial_room) {
            room_.resize(initial_room);
        }
        at_ = room_.data();
        end_ = at_ + room_.size();
    }
    text_builder(const text_builder&) = delete;
    text_builder& operator=(const text_builder&) = delete;
    ~text_builder() = default;

    text_builder& operator<<(std::string_view piece) {
        write(piece.data(), piece.size());
        return *this;
    }
    text_builder& operator<<(const char* piece) { return *this << std::string_view(piece); }
    text_builder& operator<<(char c) {
        put(c);
        return *this;
    }
    // A bool would be taken for a character; write "true" or "false" instead.
    text_builder& operator<<(bool) = delete;
    template <class Integer, class = std::enable_if_t<std::is_integral_v<Integer> &&
                                                      !std::is_same_v<Integer, bool> &&
                                                      !std::is_same_v<Integer, char>>>
    text_builder& operator<<(Integer value) {
        char* const first = room(24);
        at_ = std::to_chars(first, end_, value).ptr;
        return *this;
    }
    void put(char c) {
        *room(1) = c;
        ++at_;
    }
    void write(const char* piece, std::size_t size) {
        std::memcpy(room(size), piece, size);
        at_ += size;
    }
    // `count` spaces.
    void spaces(std::size_t count) {
        std::memset(room(count), ' ', count);
        at_ += count;
    }
    // The text right-aligned in `width` characters, as printf's "%*s".
    void right(std::string_view piece, int width) {
        if (width > 0 && piece.size() < static_cast<std::size_t>(width)) {
            spaces(static_cast<std::size_t>(width) - piece.size());
        }
        write(piece.data(), piece.size());
    }
    // Room for `size` more characters, where the next are to be written.
    char* room(std::size_t size) {
        if (static_cast<std::size_t>(end_ - at_) < size) {
            grow(size);
        }
        return at_;
    }
    // Marks `size` characters written at room()'s pointer as appended.
    void used(std::size_t size) { at_ += size; }
    // What was built.
    std::string_view text() const {
        return {room_.data(), static_cast<std::size_t>(at_ - room_.data())};
    }
    // Writes what was built to `out` and starts again.
    void pass_on(std::ostream& out) {
        out.write(room_.data(), at_ - room_.data());
        at_ = room_.data();
    }

private:
    static constexpr std::size_t initial_room = 4096;

    void grow(std::size_t size) {
        const auto filled = static_cast<std::size_t>(at_ - room_.data());
        room_.resize(std::max(2 * room_.size(), filled + size));
        at_ = room_.data() + filled;
        end_ = room_.data() + room_.size();
    }

    std::string& room_;
    char* at_ = nullptr;
    char* end_ = nullptr;
};

} // namespace morvex

#endif
