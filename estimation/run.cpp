#include "estimation/run.hpp"

#include "estimation/fitted_counts.hpp"
#include "estimation/report.hpp"
#include "estimation/setting_file.hpp"
#include "estimation/trend.hpp"
#include "matrix/matrix.hpp"

#include <new>
#include <optional>

namespace morvex {
namespace {

const char* const usage = "Morvex <setting file>\n";

const char* const help =
    "Estimates the slope of the log relative risk per unit of dose, and its\n"
    "standard error, from a study's summarized categorical dose-response data\n"
    "(Greenland and Longnecker, 1992).\n"
    "\n"
    "The setting file has nine lines: title; design (CC for case-control,\n"
    "anything else for a cohort study with totals in persons); number of\n"
    "categories, reference included; then, one value per category separated\n"
    "by spaces, reference first: cases, totals, doses, relative risks, lower\n"
    "and upper 95% limits.\n"
    "\n"
    "Exit status: 0 complete report; 1 bad command line or setting file;\n"
    "3 the estimation stopped (the report so far stays on standard output).\n";

// The report so far stays on standard output, ahead of the message.
int stop(std::ostream& out, std::ostream& err, const std::string& message) {
    out.flush();
    err << message << '\n';
    return exit_stopped;
}

} // namespace

int run_setting_text(const std::string& name, std::string_view content, std::ostream& out,
                     std::ostream& err) {
    std::optional<study> s;
    try {
        s = parse_setting_file(content);
    } catch (const truncated_setting_file& e) {
        err << "Morvex: " << name << ": " << e.what() << '\n';
        return exit_refused;
    } catch (const setting_error& e) {
        err << "Morvex: " << name << ':' << e.line() << ": " << e.what() << '\n';
        return exit_refused;
    }
    for (const notice& w : s->warnings) {
        err << "Morvex: " << name;
        if (w.line > 0) {
            err << ':' << w.line;
        }
        err << ": warning: " << w.message << '\n';
    }
    err.flush();
    try {
        print_opening(out, name, *s);
        const fitted_counts fit = fit_counts(*s);
        print_fitted_counts(out, fit);
        print_result(out, estimate_trend(*s, fit));
    } catch (const math::matrix_error&) {
        return stop(out, err, "Abnormal program termination");
    } catch (const estimation_error& e) {
        return stop(out, err, std::string("Morvex: ") + e.what());
    }
    out.flush();
    return exit_complete;
}

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    try {
        if (args.empty()) {
            out << usage;
            return exit_refused;
        }
        if (args[0] == "--help" || args[0] == "-h") {
            out << "Usage: " << usage << '\n' << help;
            return exit_complete;
        }
        if (args[0] == "--version") {
            out << "Morvex 1.0\n";
            return exit_complete;
        }
        std::string content;
        try {
            content = read_file(args[0]);
        } catch (const file_error& e) {
            err << "Morvex: " << args[0] << ": " << e.what() << '\n';
            return exit_refused;
        }
        return run_setting_text(args[0], content, out, err);
    } catch (const std::bad_alloc&) {
        return stop(out, err, "Morvex: out of memory");
    }
}

} // namespace morvex
