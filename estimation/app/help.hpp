// What the program says of itself: the classic usage line and the --help text.
#ifndef MORVEX_ESTIMATION_HELP_HPP
#define MORVEX_ESTIMATION_HELP_HPP

namespace morvex {

// The classic usage line, which scripts and the manual rely on; --help gives the rest.
extern const char* const usage_text;
// Every form of the command line, with every option.
extern const char* const synopsis_text;
// The rest of --help: what the program does, its inputs, options and exit statuses.
extern const char* const help_text;

} // namespace morvex

#endif
