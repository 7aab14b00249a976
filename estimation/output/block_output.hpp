// Standard output gathered in large blocks: a run of many studies writes its
// reports piece by piece, and a stream would hand each piece of a kilobyte or
// more to the system on its own.
#ifndef MORVEX_ESTIMATION_BLOCK_OUTPUT_HPP
#define MORVEX_ESTIMATION_BLOCK_OUTPUT_HPP

#include <ostream>
#include <streambuf>
#include <vector>

namespace morvex {

// Holds what is written until a block is full or the stream is flushed, then
// passes the block to `target` at once. A flush passes the block on and
// flushes `target`, so a message on another stream still follows what was
// written before it.
class block_buffer : public std::streambuf {
public:
    explicit block_buffer(std::streambuf* target, std::size_t size = std::size_t{1} << 16);

protected:
    int_type overflow(int_type c) override;
    int sync() override;

private:
    bool pass_on();

    std::streambuf* target_;
    std::vector<char> block_;
};

// A stream that writes to `out` through a block_buffer, formatted as `out`.
// Destroying it passes the rest on and marks `out` bad when any of its
// output could not be written, so that the caller's check of `out` sees it.
class block_output {
public:
    explicit block_output(std::ostream& out);
    ~block_output();
    block_output(const block_output&) = delete;
    block_output& operator=(const block_output&) = delete;

    std::ostream& stream() { return stream_; }

private:
    std::ostream& out_;
    block_buffer buffer_;
    std::ostream stream_;
};

} // namespace morvex

#endif
