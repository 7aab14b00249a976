// The program's stages wired together: read, estimate, write; outcomes mapped
// to exit statuses.
#ifndef MORVEX_ESTIMATION_RUN_HPP
#define MORVEX_ESTIMATION_RUN_HPP

#include "estimation/app/session.hpp"

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace morvex {

// Runs the program on its arguments (without the program name).
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// A file's text given in place of the file, as the R package gives a data
// frame: an input of the command line named `name` is read from `text`.
struct input_text {
    std::string name; // as the arguments, the messages and the outputs name it
    std::string text;
    bool table = true; // a study table, whatever the name; else a setting file
};

// The same run, with the inputs named in `texts` read from them rather than
// from files; the others are read as usual.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        std::vector<input_text> texts);

// Runs every stage after the command line on the content of one setting file
// with the classic report; `name` is the file's name as the user gave it.
int run_setting_text(const std::string& name, std::string_view content, std::ostream& out,
                     std::ostream& err);

} // namespace morvex

#endif
