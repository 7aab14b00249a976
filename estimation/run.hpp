// The program's stages wired together, with failures mapped to exit statuses.
#ifndef MORVEX_ESTIMATION_RUN_HPP
#define MORVEX_ESTIMATION_RUN_HPP

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace morvex {

enum exit_status : int {
    exit_complete = 0, // the whole report was printed
    exit_refused = 1,  // bad command line, unreadable, short or refused setting file
    exit_stopped = 3,  // the estimation stopped part way; the report so far stands
};

// Runs the program on its arguments (without the program name).
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// Runs every stage after the command line on the content of a setting file;
// `name` is the file's name as the user gave it.
int run_setting_text(const std::string& name, std::string_view content, std::ostream& out,
                     std::ostream& err);

} // namespace morvex

#endif
