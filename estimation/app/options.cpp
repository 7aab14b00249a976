#include "estimation/app/options.hpp"

#include "estimation/input/number.hpp"

#include <getopt.h>

#include <algorithm>
#include <cstring>

namespace morvex {
namespace {

// The first value of the enumeration that getopt_long reports for long-only options.
enum : int { format_option = 256, version_option, pool_option, plot_option, increment_option };

const option long_options[] = {{"format", required_argument, nullptr, format_option},
                               {"help", no_argument, nullptr, 'h'},
                               {"version", no_argument, nullptr, version_option},
                               {"pool", no_argument, nullptr, pool_option},
                               {"plot", required_argument, nullptr, plot_option},
                               {"increment", required_argument, nullptr, increment_option},
                               {nullptr, 0, nullptr, 0}};

parsed_command_line refuse(std::string message) {
    parsed_command_line result;
    result.what = command::refuse;
    result.message = "Morvex: " + std::move(message);
    return result;
}

} // namespace

parsed_command_line parse_command_line(const std::vector<std::string>& args) {
    // getopt_long permutes its argv, so it gets copies; argv[0] names the program.
    std::vector<std::string> words;
    words.reserve(args.size() + 1);
    words.emplace_back("Morvex");
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv(words.size() + 1, nullptr);
    std::transform(words.begin(), words.end(), argv.begin(),
                   [](std::string& word) { return word.data(); });
    const int argc = static_cast<int>(words.size());

    parsed_command_line result;
    result.what = command::run;
    opterr = 0; // the messages are ours
    optind = 0; // a full restart, also of GNU's state for clustered short options
    int c = 0;
    // The leading ':' tells a missing value from an unknown option.
    while ((c = getopt_long(argc, argv.data(), ":h", long_options, nullptr)) != -1) {
        switch (c) {
        case 'h':
            result.what = command::help;
            return result;
        case version_option:
            result.what = command::version;
            return result;
        case format_option:
            if (std::strcmp(optarg, "text") == 0) {
                result.opts.format = output_format::text;
            } else if (std::strcmp(optarg, "csv") == 0) {
                result.opts.format = output_format::csv;
            } else if (std::strcmp(optarg, "json") == 0) {
                result.opts.format = output_format::json;
            } else {
                return refuse("unknown format '" + std::string(optarg) +
                              "'; use --format=text, --format=csv or --format=json");
            }
            break;
        case pool_option:
            result.opts.pool = true;
            break;
        case plot_option:
            if (*optarg == '\0') {
                return refuse("option '--plot' needs a file name, e.g. --plot=forest.svg");
            }
            result.opts.plot = optarg;
            break;
        case increment_option: {
            const parsed<double> d = parse_number(optarg);
            if (d.status != number_status::ok || d.value == 0.0) {
                return refuse("option '--increment' needs a finite number other than 0, e.g. "
                              "--increment=10 for the RR per 10 units of dose; got '" +
                              std::string(optarg) + "'");
            }
            result.opts.increment = d.value;
            break;
        }
        case ':': {
            const std::string word = argv[optind - 1];
            const char* example = word == "--plot"        ? "--plot=forest.svg"
                                  : word == "--increment" ? "--increment=10"
                                                          : "--format=csv";
            return refuse("option '" + word + "' needs a value, e.g. " + example +
                          "; see 'Morvex --help'");
        }
        default: {
            // A long option was met whole (optind has passed it); a short one
            // may sit in a cluster, so it is named by its letter.
            const std::string word = argv[optind - 1];
            if (optopt == 'h' || optopt > 255) {
                return refuse("option '" + word.substr(0, word.find('=')) +
                              "' takes no value; see 'Morvex --help'");
            }
            const std::string name = optopt != 0 ? std::string("-") + static_cast<char>(optopt)
                                                 : word.substr(0, word.find('='));
            std::string message = "unknown option '" + name;
            message += "'; see 'Morvex --help' (use '--' before a file name that starts with "
                       "'-', or write ./";
            message += name;
            message += ')';
            return refuse(std::move(message));
        }
        }
    }
    for (int k = optind; k < argc; ++k) {
        result.opts.inputs.emplace_back(argv[k]);
    }
    if (result.opts.inputs.empty()) {
        result.what = command::usage;
    } else if (result.opts.increment && !result.opts.pool && result.opts.plot.empty()) {
        return refuse("option '--increment' applies to the pooled slopes: add --pool or "
                      "--plot=FILE.svg");
    }
    return result;
}

} // namespace morvex
