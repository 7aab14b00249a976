// Every option of the command line, once. getopt_long's table and the examples
// in its messages are made from this list, the page builds its controls from it
// and the R package its arguments; tests hold it against --help, the man page
// and the guide, so that an option cannot be added to one of them alone.
#ifndef MORVEX_ESTIMATION_OPTION_LIST_HPP
#define MORVEX_ESTIMATION_OPTION_LIST_HPP

#include <string>
#include <string_view>
#include <vector>

namespace morvex {

// What getopt_long gives for each long option (past every character, which
// short options use).
enum option_code : int {
    format_option = 256,
    version_option,
    pool_option,
    plot_option,
    increment_option,
    covariance_option,
    missing_counts_option,
    open_width_option,
    trend_option,
    knots_option,
    one_stage_option,
    at_option,
    reference_dose_option,
    knapp_hartung_option,
    leave_one_out_option,
    egger_option,
    by_option,
    summary_option,
    paragraph_option,
    funnel_option,
    model_option,
    title_option,
    unit_option,
    threads_option,
    highest_vs_lowest_option,
    moderator_option,
    bubble_option,
    goodness_of_fit_option,
    residuals_option,
    trim_and_fill_option,
    rank_test_option,
    measure_option,
    help_option = 'h',
};

// Where a front end shows an option.
enum class option_use {
    analysis, // what is estimated, pooled and analysed
    output,   // what is written or drawn, and how it is labelled
    program,  // how the program runs or what it says of itself (--format, --threads, --help)
};

struct option_entry {
    const char* name;    // the long name, without "--"
    option_code code;    // what getopt_long returns for it
    const char* value;   // its value as --help writes it ("FILE.svg", "text|csv|json");
                         // empty for an option without a value; in brackets
                         // ("[=L0|R0]") when the value may be left out
    option_use use;      //
    const char* example; // a whole example, e.g. "--plot=forest.svg"
    const char* summary; // one line: what it does
};

// Every option, in the order of --help's synopsis.
const std::vector<option_entry>& option_list();

// The entry of `name` (without "--"); nullptr for no option.
const option_entry* find_option(std::string_view name);

// An option's choices when its value is one of a few words ("text|csv|json");
// empty for a free value.
std::vector<std::string> option_choices(const option_entry& entry);

// The list as a JSON array of objects (name, value, choices, use, example,
// summary), for the page and the R package.
std::string option_list_json();

} // namespace morvex

#endif
