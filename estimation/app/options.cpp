#include "estimation/app/options.hpp"

#include "estimation/app/option_list.hpp"

#include "estimation/base/format.hpp"
#include "estimation/input/number.hpp"

#include <getopt.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <tuple>

namespace morvex {
namespace {

// getopt_long's table, made once from the list of options.
const option* long_options() {
    static const std::vector<option> table = [] {
        std::vector<option> t;
        for (const option_entry& e : option_list()) {
            const int value = *e.value == '['    ? optional_argument
                              : *e.value != '\0' ? required_argument
                                                 : no_argument;
            t.push_back({e.name, value, nullptr, e.code});
        }
        t.push_back({nullptr, 0, nullptr, 0});
        return t;
    }();
    return table.data();
}

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
        // One number is a count of knots, and a wrong one is told as a count.
        const std::string problem = !list ? "a knot is not a number"
                                    : list->size() == 1
                                        ? "a count of knots is a whole number from 3 to 7"
                                        : knot_problem(*list);
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

const char* value_example(const std::string& word) {
    const option_entry* e = word.rfind("--", 0) == 0 ? find_option(word.substr(2)) : nullptr;
    return e != nullptr ? e->example : "--format=csv";
}

std::string lower_case(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return text;
}

bool ends_with(const std::string& name, const char* extension) {
    const std::size_t n = std::strlen(extension);
    return name.size() > n && lower_case(name.substr(name.size() - n)) == extension;
}

// A file option's value: refused when empty or when its name promises a format
// other than the one written.
std::string file_problem(const char* option, const std::string& name, const char* extension,
                         const char* example) {
    if (name.empty()) {
        return format("option '--%s' needs a file name, e.g. --%s=%s", option, option, example);
    }
    if (ends_with(name, extension)) {
        return {};
    }
    const bool svg = std::strcmp(extension, ".svg") == 0;
    const char* const kind = svg ? "SVG" : std::strcmp(extension, ".csv") == 0 ? "CSV" : "text";
    const std::size_t dot = name.rfind('.');
    const std::string stem =
        dot == std::string::npos || dot == 0 || name.find('/', dot) != std::string::npos
            ? name
            : name.substr(0, dot);
    std::string message = format("option '--%s' writes %s, so its file name must end in %s, "
                                 "e.g. --%s=%s%s",
                                 option, kind, extension, option, stem.c_str(), extension);
    if (svg) {
        message += "; for PNG or PDF convert that file afterwards, e.g. rsvg-convert -f png -o " +
                   stem + ".png " + stem + ".svg";
    }
    return message + " (got '" + name + "')";
}

bool parse_model(const char* text, plot_model& model) {
    const std::pair<const char*, plot_model> models[] = {{"fixed", plot_model::fixed},
                                                         {"dl", plot_model::dl},
                                                         {"reml", plot_model::reml},
                                                         {"all", plot_model::all}};
    for (const auto& [name, value] : models) {
        if (std::strcmp(text, name) == 0) {
            model = value;
            return true;
        }
    }
    return false;
}

// The options of the analyses, their table and the pictures: true when `c` is
// one of them, with `problem` set when its value is refused.
bool apply_analysis_option(int c, const char* value, options& o, bool& model_given,
                           std::string& problem) {
    switch (c) {
    case plot_option:
    case funnel_option:
    case summary_option:
    case paragraph_option:
    case bubble_option:
    case residuals_option: {
        // The extension and the example's name come from the option's own entry.
        const option_entry& entry =
            *std::find_if(option_list().begin(), option_list().end(),
                          [c](const option_entry& e) { return e.code == c; });
        const std::string example = entry.example;
        problem = file_problem(entry.name, value, std::strchr(entry.value, '.'),
                               example.substr(example.find('=') + 1).c_str());
        (c == plot_option        ? o.plot
         : c == funnel_option    ? o.funnel
         : c == summary_option   ? o.summary
         : c == paragraph_option ? o.paragraph
         : c == bubble_option    ? o.bubble
                                 : o.residuals) = value;
        return true;
    }
    case highest_vs_lowest_option:
        o.highest_vs_lowest = true;
        return true;
    case moderator_option:
        if (*value == '\0') {
            problem = "option '--moderator' needs a column name, e.g. --moderator=year";
        }
        o.moderators.emplace_back(value);
        return true;
    case goodness_of_fit_option:
        o.goodness_of_fit = true;
        return true;
    case trim_and_fill_option:
        if (std::strcmp(value, "L0") == 0 || std::strcmp(value, "R0") == 0) {
            o.trim_and_fill = value[0] == 'R' ? fill_estimator::r0 : fill_estimator::l0;
        } else {
            problem = "unknown estimator '" + std::string(value) +
                      "' for --trim-and-fill; use --trim-and-fill (L0, the default), "
                      "--trim-and-fill=L0 or --trim-and-fill=R0";
        }
        return true;
    case rank_test_option:
        o.rank_test = true;
        return true;
    case knapp_hartung_option:
        o.knapp_hartung = true;
        return true;
    case leave_one_out_option:
        o.leave_one_out = true;
        return true;
    case egger_option:
        o.egger = true;
        return true;
    case by_option:
        if (*value == '\0') {
            problem = "option '--by' needs a column name, e.g. --by=type";
        }
        o.by = value;
        return true;
    case model_option:
        model_given = true;
        if (!parse_model(value, o.model)) {
            problem = "unknown model '" + std::string(value) +
                      "'; use --model=fixed, --model=dl, --model=reml or --model=all";
        }
        return true;
    case title_option:
    case unit_option:
        (c == title_option ? o.title : o.unit) = value;
        return true;
    default:
        return false;
    }
}

} // namespace

std::vector<std::pair<const char*, std::string>> options::outputs() const {
    std::vector<std::pair<const char*, std::string>> files;
    for (const auto& [option, name] :
         {std::pair{"--plot", &plot}, std::pair{"--funnel", &funnel},
          std::pair{"--summary", &summary}, std::pair{"--paragraph", &paragraph},
          std::pair{"--bubble", &bubble}, std::pair{"--residuals", &residuals}}) {
        if (!name->empty()) {
            files.emplace_back(option, *name);
        }
    }
    return files;
}

parsed_command_line parse_command_line(const std::vector<std::string>& args) {
    // getopt_long permutes its argv, so it gets copies; argv[0] names the program.
    std::vector<std::string> arguments;
    arguments.reserve(args.size() + 1);
    arguments.emplace_back("Morvex");
    arguments.insert(arguments.end(), args.begin(), args.end());
    std::vector<char*> argv(arguments.size() + 1, nullptr);
    std::transform(arguments.begin(), arguments.end(), argv.begin(),
                   [](std::string& word) { return word.data(); });
    const int argc = static_cast<int>(arguments.size());

    parsed_command_line result;
    result.what = command::run;
    opterr = 0; // the messages are ours
    optind = 0; // a full restart, also of GNU's state for clustered short options
    int c = 0;
    bool model_given = false;
    // The leading ':' tells a missing value from an unknown option.
    while ((c = getopt_long(argc, argv.data(), ":h", long_options(), nullptr)) != -1) {
        std::string problem;
        // An option without a value has none; an empty one reads as a value refused.
        const bool valueless = optarg == nullptr;
        const char* const value = valueless ? "" : optarg;
        // --trim-and-fill's value is optional: without one, L0.
        if (c == trim_and_fill_option && valueless) {
            result.opts.trim_and_fill = fill_estimator::l0;
            continue;
        }
        if (apply_analysis_option(c, value, result.opts, model_given, problem)) {
            if (!problem.empty()) {
                return refuse(problem);
            }
            continue;
        }
        switch (c) {
        case 'h':
            result.what = command::help;
            return result;
        case version_option:
            result.what = command::version;
            return result;
        case format_option:
            if (std::strcmp(value, "text") == 0) {
                result.opts.format = output_format::text;
            } else if (std::strcmp(value, "csv") == 0) {
                result.opts.format = output_format::csv;
            } else if (std::strcmp(value, "json") == 0) {
                result.opts.format = output_format::json;
            } else {
                return refuse("unknown format '" + std::string(value) +
                              "'; use --format=text, --format=csv or --format=json");
            }
            break;
        case pool_option:
            result.opts.pool = true;
            break;
        case increment_option: {
            const parsed<double> d = parse_number(value);
            if (d.status != number_status::ok || d.value == 0.0) {
                return refuse("option '--increment' needs a finite number other than 0, e.g. "
                              "--increment=10 for the RR per 10 units of dose; got '" +
                              std::string(value) + "'");
            }
            result.opts.increment = d.value;
            break;
        }
        case covariance_option:
            if (std::strcmp(value, "gl") == 0) {
                result.opts.covariance = covariance_kind::gl;
            } else if (std::strcmp(value, "hamling") == 0) {
                result.opts.covariance = covariance_kind::hamling;
            } else if (std::strcmp(value, "indep") == 0) {
                result.opts.covariance = covariance_kind::indep;
            } else {
                return refuse("unknown covariance '" + std::string(value) +
                              "'; use --covariance=gl, --covariance=hamling or "
                              "--covariance=indep");
            }
            result.opts.method_named = true;
            break;
        case missing_counts_option:
            if (std::strcmp(value, "refuse") == 0 || std::strcmp(value, "indep") == 0) {
                result.opts.missing_counts_indep = std::strcmp(value, "indep") == 0;
            } else {
                return refuse("unknown choice '" + std::string(value) +
                              "' for studies without counts; use --missing-counts=refuse (the "
                              "default) or --missing-counts=indep");
            }
            result.opts.method_named = true;
            break;
        case measure_option: {
            const std::string measure = value;
            if (measure != "md" && measure != "smd") {
                return refuse("unknown measure '" + measure +
                              "' for a table of means; use --measure=md (mean difference, the "
                              "default) or --measure=smd (standardised mean difference)");
            }
            result.opts.measure = measure == "md" ? outcome_measure::mean_difference
                                                  : outcome_measure::standardised_mean_difference;
            result.opts.measure_named = true;
            break;
        }
        case open_width_option: {
            const parsed<double> f = parse_number(value);
            if (f.status != number_status::ok || !(f.value > 0.0)) {
                return refuse("option '--open-width' needs a number greater than 0 (the share of "
                              "a neighbour's width an open dose category adds), e.g. "
                              "--open-width=1; got '" +
                              std::string(value) + "'");
            }
            result.opts.open_width = f.value;
            break;
        }
        case threads_option: {
            unsigned n = 0;
            const char* const end = value + std::strlen(value);
            const auto [at, fault] = std::from_chars(value, end, n);
            if (fault != std::errc() || at != end || n < 1 || n > max_threads) {
                return refuse("option '--threads' needs a whole number from 1 to " +
                              std::to_string(max_threads) + ", e.g. --threads=2; got '" +
                              std::string(value) + "'");
            }
            result.opts.threads = n;
            break;
        }
        case trend_option:
        case knots_option:
        case one_stage_option:
        case at_option:
        case reference_dose_option: {
            problem = set_trend_option(c, value, result.opts);
            if (!problem.empty()) {
                return refuse(problem);
            }
            break;
        }
        case ':': {
            const std::string word = argv[optind - 1];
            const char* example = value_example(word);
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
    // The residuals' picture needs their fit; the analyses beside the pooled
    // slope, and their table and paragraph, need the pooling.
    options& o = result.opts;
    o.goodness_of_fit = o.goodness_of_fit || !o.residuals.empty();
    o.pool = o.pool || o.knapp_hartung || o.leave_one_out || o.egger || !o.by.empty() ||
             !o.summary.empty() || !o.paragraph.empty() || o.highest_vs_lowest ||
             !o.moderators.empty() || o.goodness_of_fit || o.trim_and_fill || o.rank_test;
    const bool picture =
        !o.plot.empty() || !o.funnel.empty() || !o.bubble.empty() || !o.residuals.empty();
    if (o.inputs.empty()) {
        result.what = command::usage;
    } else if (o.plot.empty() && model_given && !o.trim_and_fill) {
        return refuse("option '--model' applies to the forest plot: add --plot=FILE.svg");
    } else if (!picture && !o.title.empty()) {
        return refuse("option '--title' applies to the pictures: add --plot=FILE.svg or "
                      "--funnel=FILE.svg");
    } else if (!picture && !o.pool && !o.curve && !o.unit.empty()) {
        return refuse("option '--unit' names the dose's unit in the pictures and the pooled "
                      "figures: add --plot=FILE.svg, --funnel=FILE.svg, --pool or --trend");
    } else if (!o.bubble.empty() && o.moderators.size() != 1) {
        return refuse(format("option '--bubble' draws the slopes against one moderator; give "
                             "exactly one --moderator=COLUMN (got %zu)",
                             o.moderators.size()));
    } else if (!o.curve && (!o.trend.at.empty() || o.trend.reference_dose ||
                            o.trend.knot_count != min_knots || !o.trend.knots.empty())) {
        return refuse("options '--knots', '--at' and '--reference-dose' apply to the pooled "
                      "trend: add --trend=linear, --trend=quadratic or --trend=spline");
    } else if (o.trend.shape != trend_shape::spline &&
               (o.trend.knot_count != min_knots || !o.trend.knots.empty())) {
        return refuse("option '--knots' applies to --trend=spline");
    }
    return result;
}

} // namespace morvex
