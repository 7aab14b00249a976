#include "estimation/app/options.hpp"

#include "estimation/input/number.hpp"

#include <getopt.h>

#include <algorithm>
#include <cstring>

namespace morvex {
namespace {

// The first value of the enumeration that getopt_long reports for long-only options.
enum : int {
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
    reference_dose_option
};

const option long_options[] = {
    {"format", required_argument, nullptr, format_option},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, version_option},
    {"pool", no_argument, nullptr, pool_option},
    {"plot", required_argument, nullptr, plot_option},
    {"increment", required_argument, nullptr, increment_option},
    {"covariance", required_argument, nullptr, covariance_option},
    {"missing-counts", required_argument, nullptr, missing_counts_option},
    {"open-width", required_argument, nullptr, open_width_option},
    {"trend", required_argument, nullptr, trend_option},
    {"knots", required_argument, nullptr, knots_option},
    {"one-stage", no_argument, nullptr, one_stage_option},
    {"at", required_argument, nullptr, at_option},
    {"reference-dose", required_argument, nullptr, reference_dose_option},
    {nullptr, 0, nullptr, 0}};

parsed_command_line refuse(std::string message) {
    parsed_command_line result;
    result.what = command::refuse;
    result.message = "Morvex: " + std::move(message);
    return result;
}

// Comma-separated numbers in the setting file's grammar; empty when one is not.
std::optional<std::vector<double>> number_list(const std::string& text) {
    std::vector<double> values;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = text.find(',', start);
        const parsed<double> d = parse_number(text.substr(start, comma - start));
        if (d.status != number_status::ok) {
            return std::nullopt;
        }
        values.push_back(d.value);
        if (comma == std::string::npos) {
            return values;
        }
        start = comma + 1;
    }
}

// The options of the pooled trend; an empty message when the value is good.
std::string set_trend_option(int c, const std::string& value, options& opts) {
    curve_settings& t = opts.trend;
    opts.curve = opts.curve || c == trend_option || c == one_stage_option;
    if (c == trend_option) {
        if (value == "linear" || value == "quadratic" || value == "spline") {
            t.shape = value == "linear"      ? trend_shape::linear
                      : value == "quadratic" ? trend_shape::quadratic
                                             : trend_shape::spline;
            return {};
        }
        return "unknown trend '" + value +
               "'; use --trend=linear, --trend=quadratic or --trend=spline";
    }
    if (c == one_stage_option) {
        t.one_stage = true;
        return {};
    }
    const std::optional<std::vector<double>> list = number_list(value);
    if (c == knots_option) {
        if (list && list->size() == 1 && (*list)[0] >= min_knots && (*list)[0] <= max_knots &&
            (*list)[0] == static_cast<int>((*list)[0])) {
            t.knot_count = static_cast<int>((*list)[0]);
            t.knots.clear();
            return {};
        }
        const std::string problem = list ? knot_problem(*list) : "a knot is not a number";
        if (list && problem.empty()) {
            t.knots = *list;
            return {};
        }
        return "option '--knots' needs a number of knots from 3 to 7, or 3 to 7 increasing doses "
               "separated by commas (e.g. --knots=4 or --knots=0,15,50); got '" +
               value + "': " + problem;
    }
    if (c == at_option && list) {
        t.at = *list;
        return {};
    }
    if (c == reference_dose_option && list && list->size() == 1) {
        t.reference_dose = (*list)[0];
        return {};
    }
    return c == at_option
               ? "option '--at' needs doses separated by commas, e.g. --at=0,10,20; got '" + value +
                     "'"
               : "option '--reference-dose' needs one dose, e.g. --reference-dose=0; got '" +
                     value + "'";
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
        case covariance_option:
            if (std::strcmp(optarg, "gl") == 0) {
                result.opts.covariance = covariance_kind::gl;
            } else if (std::strcmp(optarg, "hamling") == 0) {
                result.opts.covariance = covariance_kind::hamling;
            } else if (std::strcmp(optarg, "indep") == 0) {
                result.opts.covariance = covariance_kind::indep;
            } else {
                return refuse("unknown covariance '" + std::string(optarg) +
                              "'; use --covariance=gl, --covariance=hamling or "
                              "--covariance=indep");
            }
            result.opts.method_named = true;
            break;
        case missing_counts_option:
            if (std::strcmp(optarg, "refuse") == 0 || std::strcmp(optarg, "indep") == 0) {
                result.opts.missing_counts_indep = std::strcmp(optarg, "indep") == 0;
            } else {
                return refuse("unknown choice '" + std::string(optarg) +
                              "' for studies without counts; use --missing-counts=refuse (the "
                              "default) or --missing-counts=indep");
            }
            result.opts.method_named = true;
            break;
        case open_width_option: {
            const parsed<double> f = parse_number(optarg);
            if (f.status != number_status::ok || !(f.value > 0.0)) {
                return refuse("option '--open-width' needs a number greater than 0 (the share of "
                              "a neighbour's width an open dose category adds), e.g. "
                              "--open-width=1; got '" +
                              std::string(optarg) + "'");
            }
            result.opts.open_width = f.value;
            break;
        }
        case trend_option:
        case knots_option:
        case one_stage_option:
        case at_option:
        case reference_dose_option: {
            const std::string problem = set_trend_option(c, optarg ? optarg : "", result.opts);
            if (!problem.empty()) {
                return refuse(problem);
            }
            break;
        }
        case ':': {
            const std::string word = argv[optind - 1];
            const char* example = word == "--plot"             ? "--plot=forest.svg"
                                  : word == "--increment"      ? "--increment=10"
                                  : word == "--covariance"     ? "--covariance=hamling"
                                  : word == "--missing-counts" ? "--missing-counts=indep"
                                  : word == "--open-width"     ? "--open-width=1"
                                  : word == "--trend"          ? "--trend=spline"
                                  : word == "--knots"          ? "--knots=4"
                                  : word == "--at"             ? "--at=0,10,20"
                                  : word == "--reference-dose" ? "--reference-dose=0"
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
    } else if (!result.opts.curve &&
               (!result.opts.trend.at.empty() || result.opts.trend.reference_dose ||
                result.opts.trend.knot_count != min_knots || !result.opts.trend.knots.empty())) {
        return refuse("options '--knots', '--at' and '--reference-dose' apply to the pooled "
                      "trend: add --trend=linear, --trend=quadratic or --trend=spline");
    } else if (result.opts.trend.shape != trend_shape::spline &&
               (result.opts.trend.knot_count != min_knots || !result.opts.trend.knots.empty())) {
        return refuse("option '--knots' applies to --trend=spline");
    }
    return result;
}

} // namespace morvex
