// A table's studies read, estimated and given their text in batches on the
// run's threads, and written in the table's order on one.
#include "estimation/app/session.hpp"

#include "estimation/base/format.hpp"
#include "estimation/base/in_order.hpp"
#include "estimation/method/highest_category.hpp"

#include <algorithm>
#include <utility>

namespace morvex {
namespace {

// Reads the k-th study of `table` (named `name`) and estimates it, into `r`;
// `t` and `buffers` are storage kept for the next study.
void read_table_study(const table_file& table, std::size_t k, const std::string& name,
                      const study_method& method, table_study& t, study_result& r,
                      estimation_buffers& buffers) {
    table.read(k, t);
    renew(r);
    r.input = name;
    r.id = t.id;
    r.from_table = true;
    r.first_line = t.first_line;
    if (t.data && !t.data->missing_counts.empty() && !method.missing_counts_indep) {
        r.message = printable(name) + ':' + std::to_string(t.data->missing_counts_line) +
                    ": study " + printable(r.id) + ": " + t.data->missing_counts +
                    ", so its log relative risks have no count-based covariance; give every " +
                    (t.data->design_known ? "" : "row its type (cc, ci or ir) and every ") +
                    "category's cases and total, or run with --missing-counts=indep to "
                    "treat them as independent";
    } else if (t.data) {
        swap(r.data, *t.data); // the study read before takes the next
        r.has_data = true;
        if (r.data.is_continuous()) {
            r.data.measure = method.continuous;
        }
        r.covariance = method.covariance;
        if (!r.data.missing_counts.empty()) {
            r.covariance = covariance_kind::indep;
            r.data.warnings.push_back(
                {r.data.missing_counts_line,
                 "study " + printable(r.id) + ": " + r.data.missing_counts +
                     ": its log relative risks are taken as independent "
                     "(--missing-counts=indep); their correlation through the shared "
                     "reference is ignored, which can shift the slope and misstates its "
                     "standard error and its weight in a pooling"});
        }
        estimate(r, buffers);
        // After the estimation, which forms a table of means' differences.
        r.highest = highest_of(r.data, t.lines);
        if (!r.highest.problem.empty()) {
            r.highest.problem = printable(name) + ':' + std::to_string(r.highest.line) +
                                ": column dose: study " + printable(r.id) + ": " +
                                r.highest.problem;
        }
        if (r.status == study_status::stopped) {
            r.message = printable(name) + ':' + std::to_string(r.first_line) + ": study " +
                        printable(r.id) + ": " + r.message;
        }
    } else {
        r.message = printable(name) + ':' + t.message;
        for (const std::string& more : t.more) {
            std::string line = printable(name);
            line += ':';
            line += more;
            r.more_messages.push_back(std::move(line));
        }
    }
}

// Studies go to the threads in batches of at most this many, and fewer when
// large: a batch's results are held until written, and a study's covariance
// grows with the square of its rows.
constexpr std::size_t batch_studies = 256;
constexpr std::size_t batch_cells = std::size_t{1} << 16;

} // namespace

// Studies read and estimated, and their texts built, in batches on the
// run's threads; each batch is then written here in order, as one thread
// would have written it. Batches and workers each start a cache line of
// their own: neighbours are written study by study on different threads.
struct alignas(64) session::study_batch {
    std::size_t first = 0, end = 0; // the studies [first, end)
    std::size_t made = 0;           // how many of them are ready, in order
    std::vector<study_result> results;
    std::string text;                   // their texts, one after another
    std::vector<std::size_t> text_ends; // where each study's text ends
};

// What one thread keeps from study to study.
struct alignas(64) session::table_worker {
    table_study record;
    estimation_buffers buffers;
    study_text text;
};

void session::add_table_studies(const table_file& table, const std::string& name) {
    // A run that keeps studies' matrices beyond their writing (a pooled
    // trend, a single study's plot) shares them with the batches, whose
    // counts of users are not atomic: it keeps to one thread.
    const unsigned workers =
        threads_ > 1 && !after_.curve && !after_.plot && !after_.goodness_of_fit ? threads_ : 0;
    std::vector<table_worker> kept(std::max(workers, 1U), table_worker{{}, {}, text_});
    std::vector<study_batch> slots(std::max<std::size_t>(std::size_t{2} * workers, 1));
    const bool first_of_run = studies_ == 0;
    const auto cut = [&table, next = std::size_t{0}](study_batch& b) mutable {
        if (next == table.study_count()) {
            return false;
        }
        b.first = next;
        std::size_t cells = 0;
        do {
            const std::size_t rows = table.row_count(next);
            cells += rows * rows;
            ++next;
        } while (next < table.study_count() && next - b.first < batch_studies &&
                 cells < batch_cells);
        b.end = next;
        return true;
    };
    const auto make = [&](study_batch& b, unsigned worker) {
        table_worker& w = kept[worker];
        // The next worker to make this batch's slot may be another: the
        // worker's working matrices, which the results may share, are let go
        // of before the batch is handed over, whatever happens.
        struct let_go {
            estimation_buffers& buffers;
            ~let_go() { buffers = estimation_buffers{}; }
        } const hand_over{w.buffers};
        b.made = 0;
        b.text.clear();
        b.text_ends.clear();
        if (b.results.size() < b.end - b.first) {
            b.results.resize(b.end - b.first);
        }
        for (std::size_t k = b.first; k < b.end; ++k) {
            study_result& r = b.results[k - b.first];
            read_table_study(table, k, name, method_, w.record, r, w.buffers);
            b.text += w.text.build(r, first_of_run && k == 0);
            b.text_ends.push_back(b.text.size());
            ++b.made;
        }
    };
    const auto take = [&](study_batch& b) {
        std::size_t start = 0;
        for (std::size_t j = 0; j < b.made; ++j) {
            emit(b.results[j], std::string_view(b.text).substr(start, b.text_ends[j] - start));
            start = b.text_ends[j];
            if (keeps_summaries()) {
                describe(table, b.first + j);
                note_study_problems(summaries_.back());
            }
        }
    };
    in_order(slots, workers, cut, make, take);
}

} // namespace morvex
