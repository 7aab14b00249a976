// The page's way into the program: a run on files already written to the
// module's in-memory file system, with the arguments of the command line and
// standard output and error kept for the page to read.
#include "estimation/app/run.hpp"

#include <emscripten/emscripten.h>
#include <sys/stat.h>

#include <cstddef>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string standard_output;
std::string standard_error;

} // namespace

extern "C" {

// Runs the program on `size` bytes of arguments, each ended by a NUL byte, and
// returns its exit status; the output stays until the next run.
EMSCRIPTEN_KEEPALIVE int morvex_run(const char* words, std::size_t size) {
    // Emscripten starts with a umask of 0777, which would leave a picture
    // unreadable; a shell's usual 022 gives it the mode it has on a computer.
    ::umask(022);
    std::vector<std::string> args;
    for (std::size_t start = 0; start < size;) {
        std::string word(words + start);
        start += word.size() + 1;
        args.push_back(std::move(word));
    }
    std::ostringstream out;
    std::ostringstream err;
    const int status = morvex::run(args, out, err);
    standard_output = out.str();
    standard_error = err.str();
    return status;
}

EMSCRIPTEN_KEEPALIVE const char* morvex_output() {
    return standard_output.data();
}
EMSCRIPTEN_KEEPALIVE std::size_t morvex_output_size() {
    return standard_output.size();
}
EMSCRIPTEN_KEEPALIVE const char* morvex_error() {
    return standard_error.data();
}
EMSCRIPTEN_KEEPALIVE std::size_t morvex_error_size() {
    return standard_error.size();
}
}
