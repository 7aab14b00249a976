// The page's way into the program: a run on files already written to the
// module's in-memory file system, with the arguments of the command line and
// standard output and error kept for the page to read; and what the page asks
// the program before a run, so that it decides nothing itself: the list of
// options its controls are made from, whether a pasted text is a table, and
// whether a command line pools.
#include "estimation/app/option_list.hpp"
#include "estimation/app/options.hpp"
#include "estimation/app/run.hpp"
#include "estimation/input/table_header.hpp"

#include <emscripten/emscripten.h>
#include <sys/stat.h>

#include <cstddef>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::string standard_output;
std::string standard_error;

std::vector<std::string> words_of(const char* words, std::size_t size) {
    std::vector<std::string> args;
    for (std::size_t start = 0; start < size;) {
        std::string word(words + start);
        start += word.size() + 1;
        args.push_back(std::move(word));
    }
    return args;
}

} // namespace

extern "C" {

// Runs the program on `size` bytes of arguments, each ended by a NUL byte, and
// returns its exit status; the output stays until the next run.
EMSCRIPTEN_KEEPALIVE int morvex_run(const char* words, std::size_t size) {
    // Emscripten starts with a umask of 0777, which would leave a picture
    // unreadable; a shell's usual 022 gives it the mode it has on a computer.
    ::umask(022);
    const std::vector<std::string> args = words_of(words, size);
    std::ostringstream out;
    std::ostringstream err;
    const int status = morvex::run(args, out, err);
    standard_output = out.str();
    standard_error = err.str();
    return status;
}

// Every option of the command line, as the JSON array of option_list_json, in
// the output.
EMSCRIPTEN_KEEPALIVE int morvex_option_list() {
    standard_output = morvex::option_list_json();
    standard_error.clear();
    return 0;
}

// How the program reads `size` bytes given without a file name (as standard
// input): -1 a setting file, 0 a table whose fields commas or semicolons
// separate, 1 a table whose fields tabs separate.
EMSCRIPTEN_KEEPALIVE int morvex_input_kind(const char* bytes, std::size_t size) {
    const std::optional<bool> tab = morvex::table_header_line(std::string_view(bytes, size));
    return tab ? static_cast<int>(*tab) : -1;
}

// What a command line (as for morvex_run) asks for: 1 when it pools the slopes
// or a trend, 0 when not, -1 when it is refused or asks for no run (the
// message, if any, in the error).
EMSCRIPTEN_KEEPALIVE int morvex_pools(const char* words, std::size_t size) {
    const morvex::parsed_command_line parsed = morvex::parse_command_line(words_of(words, size));
    standard_output.clear();
    standard_error = parsed.message;
    if (parsed.what != morvex::command::run) {
        return -1;
    }
    return parsed.opts.pool || parsed.opts.curve ? 1 : 0;
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
