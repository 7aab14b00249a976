#include "estimation/output/block_output.hpp"

namespace morvex {

block_buffer::block_buffer(std::streambuf* target, std::size_t size)
    : target_(target), block_(size) {
    setp(block_.data(), block_.data() + block_.size());
}

bool block_buffer::pass_on() {
    const std::streamsize size = pptr() - pbase();
    setp(block_.data(), block_.data() + block_.size());
    return size == 0 || (target_ != nullptr && target_->sputn(block_.data(), size) == size);
}

block_buffer::int_type block_buffer::overflow(int_type c) {
    if (!pass_on()) {
        return traits_type::eof();
    }
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

int block_buffer::sync() {
    return pass_on() && target_ != nullptr && target_->pubsync() != -1 ? 0 : -1;
}

block_output::block_output(std::ostream& out) : out_(out), buffer_(out.rdbuf()), stream_(&buffer_) {
    stream_.copyfmt(out);
    stream_.clear(out.rdstate());
}

block_output::~block_output() {
    stream_.flush();
    if (!stream_) {
        out_.setstate(std::ios::badbit);
    }
}

} // namespace morvex
