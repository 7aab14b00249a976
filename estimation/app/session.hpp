// One run's studies in order: each read, estimated and written as it comes
// (a table's in batches on the run's threads), then the pooling, the curve and
// the pictures at its end.
#ifndef MORVEX_ESTIMATION_SESSION_HPP
#define MORVEX_ESTIMATION_SESSION_HPP

#include "estimation/app/options.hpp"
#include "estimation/input/file_text.hpp"
#include "estimation/input/table_file.hpp"
#include "estimation/method/estimate.hpp"
#include "estimation/method/study.hpp"
#include "estimation/method/trend.hpp"
#include "estimation/output/curve_csv.hpp"
#include "estimation/output/dose_wording.hpp"
#include "estimation/output/json.hpp"
#include "estimation/output/study_text.hpp"
#include "estimation/output/svg/forest_content.hpp"
#include "estimation/pooling/curve_subgroups.hpp"
#include "estimation/pooling/goodness_of_fit.hpp"
#include "estimation/pooling/meta_analysis.hpp"

#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace morvex {

enum exit_status : int {
    exit_complete = 0, // every study was estimated (or --help, --version)
    exit_refused = 1,  // bad command line; the one setting file unreadable, short or refused
    exit_stopped = 3,  // the one setting file's estimation stopped, the report so far stands;
                       // or, in any run, an output (report or picture) could not be written
    exit_partial = 4,  // a run of tables or several inputs in which some study or file
                       // was refused or stopped; every other study was reported
};

// What a run does after its last study.
struct after_studies {
    bool pool = false;                   // pool the complete studies and write the summary
    bool plot = false;                   // draw the picture (see session::picture)
    std::optional<double> increment;     // slopes also as the RR per this much dose
    std::optional<curve_settings> curve; // pool the trends' coefficients (--trend)
    analysis_request asked;              // the analyses beside the pooled slope
    bool summary = false;                // make the summary table (see session::summary)
    bool paragraph = false;              // write the results paragraph (see session::paragraph)
    forest_request forest;               // what the forest plot shows
    bool funnel = false;                 // draw the funnel plot (see session::funnel)
    bool goodness_of_fit = false;        // the trend's fit to every exposed category
    bool bubble = false;                 // draw the meta-regression's bubble plot
    bool residuals = false;              // draw the goodness of fit's residuals

    // The increment, and the dose's unit that --unit gives every picture and report.
    dose_wording wording() const { return {increment, forest.unit}; }
};

// How each study's covariance is formed.
struct study_method {
    covariance_kind covariance = covariance_kind::gl; // for studies with every count
    bool missing_counts_indep = false; // a study without counts: independent, not refused
    bool named = false;                // CSV and JSON say which covariance each study used
    double open_width = 1.0;           // see options::open_width
    outcome_measure continuous = outcome_measure::mean_difference; // a table of means' studies
    bool measure_named = false;                                    // --measure was given
};

// One run over its inputs: each study is estimated and written in the order
// read (a table's in batches, which threads may share), and only its summary
// is kept.
class session {
public:
    // `classic`: the run's only input is one setting file, whose report and
    // exit status are the program's historical contract.
    // `threads`: how many threads read and estimate a table's studies; 1
    // (or 0) does it all on the calling thread. The output is the same.
    session(output_format format, bool classic, std::ostream& out, std::ostream& err,
            after_studies after = {}, study_method method = {}, unsigned threads = 1);

    void add_setting_text(const std::string& name, std::string_view content);
    // `tab`: whether a tab separates the fields; by default as the name says (.tsv).
    void add_table_text(const std::string& name, file_text content,
                        std::optional<bool> tab = std::nullopt);
    void add_table_text(const std::string& name, std::string content,
                        std::optional<bool> tab = std::nullopt) {
        add_table_text(name, file_text(std::move(content)), tab);
    }
    // An input that could not be read; `message` says why, naming the file.
    void add_unreadable(const std::string& name, const std::string& message);

    // Ends the output and gives the exit status.
    int finish();

    // Every study's summary, in the order read, when the run pools, draws or
    // writes a summary table; otherwise only the first (the rest would only
    // take memory).
    const std::vector<study_summary>& summaries() const { return summaries_; }

    // After finish(), with `plot`: the SVG picture, or empty with the reason
    // there is none in picture_problem(). Several studies give a forest plot
    // of the complete ones, one study its dose-response plot.
    const std::string& picture() const { return picture_; }
    const std::string& picture_problem() const { return picture_problem_; }
    // After finish(), with `funnel`: the funnel plot, or empty with the reason in
    // funnel_problem().
    const std::string& funnel() const { return funnel_; }
    const std::string& funnel_problem() const { return funnel_problem_; }
    // After finish(), with `summary`: the CSV table of the analyses.
    const std::string& summary() const { return summary_; }
    // After finish(), with `paragraph`: the methods and results in a paper's words.
    const std::string& paragraph() const { return paragraph_; }
    // After finish(), with `bubble` and `residuals`: those plots, or empty with
    // the reason in the problem.
    const std::string& bubble() const { return bubble_; }
    const std::string& bubble_problem() const { return bubble_problem_; }
    const std::string& residuals() const { return residuals_; }
    const std::string& residuals_problem() const { return residuals_problem_; }

private:
    struct study_batch;
    struct table_worker;
    void emit(const study_result& r);
    // The same with its text already built (see study_text).
    void emit(const study_result& r, std::string_view text);
    void add_table_studies(const table_file& table, const std::string& name);
    void draw(const meta_analysis& m);
    void hold_csv_row(const study_result& r);
    void keep_for_curve(const study_result& r);
    void draw_curve(const curve_result& r);
    void draw_funnel(const meta_analysis& m);
    void draw_bubble(const meta_analysis& m);
    void draw_residuals(const goodness_of_fit& g);
    void draw_curve_subgroups(const curve_result& r, const curve_subgroups& groups);
    // The trend's goodness of fit and subgroup curves, after the pooled trend (if any).
    void analyse_trend_further(const curve_result* curve);
    // The messages a study's columns and categories give for the analyses asked.
    void note_study_problems(const study_summary& s);
    void describe(const table_file& table, std::size_t k);
    // Whether input `name`, whose studies are of measure `m`, may join the
    // run: all of a run's studies are of one measure. Otherwise it is
    // refused with the reason.
    bool admit(const std::string& name, outcome_measure m);
    void begin_csv();
    bool keeps_summaries() const;
    void count(const study_result& r);
    // Writes what standard output holds so far ahead of a message to standard error.
    std::ostream& message_stream();

    output_format format_;
    bool classic_;
    std::ostream& out_;
    std::ostream& err_;
    json_writer json_;
    after_studies after_;
    study_method method_;
    unsigned threads_;
    study_text text_; // builds each study's text, in room kept for the next
    estimation_buffers buffers_;
    std::vector<study_summary> summaries_;
    std::size_t studies_ = 0;                    // every study so far, kept in summaries_ or not
    bool all_estimated_ = true;                  // none of them refused or stopped
    std::optional<study> first_study_;           // for the dose-response plot of a run of one study
    std::vector<curve_study> curve_studies_;     // complete studies, for the pooled trend
    std::vector<left_out_study> curve_left_out_; // the others, with why
    std::vector<held_csv_row> csv_rows_;         // with --trend, written when the knots are known
    std::optional<outcome_measure> measure_;     // the run's, once an input has shown it
    std::string measure_input_;                  // that input
    // CSV: the header names the measure's columns, so it waits for the first
    // input that shows the measure, and the rows before it (of files that
    // could not be read) wait with it.
    bool csv_header_written_ = false;
    std::string csv_waiting_;
    std::string picture_;
    std::string picture_problem_;
    std::string summary_;
    std::string paragraph_;
    std::string funnel_;
    std::string funnel_problem_;
    std::string bubble_;
    std::string bubble_problem_;
    std::string residuals_;
    std::string residuals_problem_;
    std::optional<goodness_of_fit> fit_;          // with --goodness-of-fit
    std::optional<curve_subgroups> curve_groups_; // with --trend and --by
};

} // namespace morvex

#endif
