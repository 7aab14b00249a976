#include "estimation/app/option_list.hpp"

#include "estimation/output/json.hpp"

#include <algorithm>
#include <sstream>

namespace morvex {

const std::vector<option_entry>& option_list() {
    using u = option_use;
    static const std::vector<option_entry> list = {
        {"format", format_option, "text|csv|json", u::program, "--format=csv",
         "the output: one report per study, one CSV row per study, or one JSON document"},
        {"pool", pool_option, "", u::analysis, "--pool",
         "pool the slopes of the complete studies: fixed effect, DerSimonian-Laird, REML"},
        {"increment", increment_option, "D", u::analysis, "--increment=10",
         "give slopes also as the RR (the MD for means) per D units of dose (pooled figures per "
         "unit without it)"},
        {"knapp-hartung", knapp_hartung_option, "", u::analysis, "--knapp-hartung",
         "Knapp-Hartung limits of the random-effects summaries"},
        {"leave-one-out", leave_one_out_option, "", u::analysis, "--leave-one-out",
         "the pooling without each study in turn"},
        {"egger", egger_option, "", u::analysis, "--egger", "Egger's test for small-study effects"},
        {"by", by_option, "COLUMN", u::analysis, "--by=type",
         "pool the studies of each value of a table column on their own"},
        {"highest-vs-lowest", highest_vs_lowest_option, "", u::analysis, "--highest-vs-lowest",
         "pool each study's highest dose against its reference"},
        {"moderator", moderator_option, "COLUMN", u::analysis, "--moderator=year",
         "meta-regression of the slopes on a study-level column (repeatable)"},
        {"bubble", bubble_option, "FILE.svg", u::output, "--bubble=bubble.svg",
         "draw the slopes against the one numeric moderator"},
        {"goodness-of-fit", goodness_of_fit_option, "", u::analysis, "--goodness-of-fit",
         "deviance, R^2 and residuals of the trend's fit to every category"},
        {"residuals", residuals_option, "FILE.svg", u::output, "--residuals=residuals.svg",
         "draw the trend's decorrelated residuals against dose"},
        {"trim-and-fill", trim_and_fill_option, "[=L0|R0]", u::analysis, "--trim-and-fill=R0",
         "Duval and Tweedie's trim-and-fill on the model of --model"},
        {"rank-test", rank_test_option, "", u::analysis, "--rank-test",
         "Begg's rank correlation test for small-study effects"},
        {"summary", summary_option, "FILE.csv", u::output, "--summary=summary.csv",
         "write the summary table: one row per analysis and model"},
        {"paragraph", paragraph_option, "FILE.txt", u::output, "--paragraph=paragraph.txt",
         "write a paragraph of methods and results in a paper's words"},
        {"plot", plot_option, "FILE.svg", u::output, "--plot=forest.svg",
         "draw a forest plot (a dose-response plot for one study, the curve with --trend)"},
        {"funnel", funnel_option, "FILE.svg", u::output, "--funnel=funnel.svg",
         "draw a funnel plot of the pooled studies"},
        {"model", model_option, "fixed|dl|reml|all", u::output, "--model=all",
         "the forest plot's diamonds and weights"},
        {"title", title_option, "TEXT", u::output, "--title=\"Alcohol and CVD\"",
         "every picture's title"},
        {"unit", unit_option, "TEXT", u::output, "--unit=g/day",
         "the dose's unit in the pooled report and the pictures' axes"},
        {"trend", trend_option, "linear|quadratic|spline", u::analysis, "--trend=spline",
         "pool each study's trend with p coefficients"},
        {"knots", knots_option, "K|a,b,c", u::analysis, "--knots=4",
         "a spline's knots: how many, at percentiles of the doses, or the doses themselves"},
        {"one-stage", one_stage_option, "", u::analysis, "--one-stage",
         "pool in one model over every exposed category"},
        {"at", at_option, "x1,x2,...", u::analysis, "--at=0,10,20",
         "the doses at which to give the pooled trend's relative risks"},
        {"reference-dose", reference_dose_option, "X", u::analysis, "--reference-dose=0",
         "the dose those relative risks are against"},
        {"covariance", covariance_option, "gl|hamling|indep", u::analysis, "--covariance=hamling",
         "each study's covariance: fitted counts, Hamling's pseudo-counts or independent"},
        {"missing-counts", missing_counts_option, "refuse|indep", u::analysis,
         "--missing-counts=indep",
         "a table study without cases, totals or type: refused or independent"},
        {"open-width", open_width_option, "F", u::analysis, "--open-width=1",
         "an open dose category adds F times half the width of the range below it"},
        {"threads", threads_option, "N", u::program, "--threads=2",
         "read and estimate a table's studies on N threads"},
        {"measure", measure_option, "md|smd", u::analysis, "--measure=smd",
         "a table of means as mean differences or standardised mean differences"},
        {"help", help_option, "", u::program, "--help",
         "the synopsis and a summary of the options"},
        {"version", version_option, "", u::program, "--version", "the version"},
    };
    return list;
}

const option_entry* find_option(std::string_view name) {
    const std::vector<option_entry>& list = option_list();
    const auto found = std::find_if(list.begin(), list.end(),
                                    [name](const option_entry& e) { return name == e.name; });
    return found == list.end() ? nullptr : &*found;
}

std::vector<std::string> option_choices(const option_entry& entry) {
    // Words of small letters separated by bars; a placeholder (FILE.svg, K|a,b,c) is free.
    std::vector<std::string> choices(1);
    for (const char* c = entry.value; *c != '\0'; ++c) {
        if (*c == '|') {
            choices.emplace_back();
        } else if (*c >= 'a' && *c <= 'z') {
            choices.back() += *c;
        } else {
            return {};
        }
    }
    return choices.size() > 1 ? choices : std::vector<std::string>{};
}

std::string option_list_json() {
    static const char* const uses[] = {"analysis", "output", "program"};
    std::ostringstream out;
    out << '[';
    const char* separator = "";
    for (const option_entry& e : option_list()) {
        out << separator << "\n{\"name\": ";
        write_json_string(out, e.name);
        out << ", \"value\": ";
        write_json_string(out, e.value);
        out << ", \"choices\": [";
        const char* comma = "";
        for (const std::string& choice : option_choices(e)) {
            out << comma;
            write_json_string(out, choice);
            comma = ", ";
        }
        out << "], \"use\": \"" << uses[static_cast<int>(e.use)] << "\", \"example\": ";
        write_json_string(out, e.example);
        out << ", \"summary\": ";
        write_json_string(out, e.summary);
        out << '}';
        separator = ",";
    }
    out << "\n]\n";
    return out.str();
}

} // namespace morvex
