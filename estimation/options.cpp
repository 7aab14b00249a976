#include "estimation/options.hpp"

#include <getopt.h>

#include <algorithm>
#include <cstring>

namespace morvex {
namespace {

// The first value of the enumeration that getopt_long reports for long-only options.
enum : int { format_option = 256, version_option };

const option long_options[] = {{"format", required_argument, nullptr, format_option},
                               {"help", no_argument, nullptr, 'h'},
                               {"version", no_argument, nullptr, version_option},
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
        case ':':
            return refuse("option '" + std::string(argv[optind - 1]) +
                          "' needs a value, e.g. --format=csv; see 'Morvex --help'");
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
    }
    return result;
}

} // namespace morvex
