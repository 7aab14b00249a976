// Writes sample pictures into the folder named by its argument, for xmllint
// to check and for people to look at: Greenland and Longnecker's sixteen
// slopes, sixty rows, degenerate input, and one study's dose-response plot.
#include "estimation/input/file_text.hpp"
#include "estimation/input/setting_file.hpp"
#include "estimation/method/fitted_counts.hpp"
#include "estimation/method/trend.hpp"
#include "estimation/output/atomic_file.hpp"
#include "estimation/output/svg/dose_response_plot.hpp"
#include "estimation/output/svg/forest_plot.hpp"
#include "estimation/pooling/pooling.hpp"

#include <cmath>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace morvex;

const double table3[16][2] = {
    {.00434, .00247},  {.0109, .0041},  {.0284, .00564},  {.118, .0476},
    {.0121, .00429},   {.087, .0232},   {.00311, .00373}, {0, .0094},
    {.00597, .00658},  {.0479, .0205},  {.0389, .00768},  {.203, .0946},
    {-.00673, .00419}, {.0111, .00481}, {.0148, .00635},  {-.000787, .00867}};

bool save(const std::string& folder, const std::string& name, const std::string& svg) {
    const std::string reason = write_file_atomically(folder + "/" + name, svg);
    if (!reason.empty()) {
        std::cerr << name << ": cannot write: " << reason << '\n';
    }
    return reason.empty();
}

template <typename Writer, typename Plot>
std::string draw(Writer writer, const Plot& plot) {
    std::ostringstream out;
    writer(out, plot);
    return out.str();
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: svg_samples FOLDER\n";
        return 2;
    }
    const std::string folder = argv[1];
    std::vector<slope_estimate> studies;
    for (int i = 0; i < 16; ++i) {
        studies.push_back({"Study " + std::to_string(i + 1), table3[i][0], table3[i][1]});
    }
    studies[5].label = "Longnecker & colleagues <pooled \"cohort\" re-analysis>, Boston and "
                       "New Haven, 1975-1990";
    forest_plot forest = make_forest_plot(pool(studies), std::nullopt);
    forest.title = "Alcohol and breast cancer: slopes per g/day";
    forest_plot rr = make_forest_plot(pool(studies), 10.0);
    rr.title = "Alcohol and breast cancer: relative risk per 10 g/day";

    std::vector<slope_estimate> many;
    for (int i = 0; i < 60; ++i) {
        many.push_back({"Cohort " + std::to_string(i + 1), 0.01 * std::sin(i), 0.004 + 0.0005 * i});
    }
    many[7].se = 5.0; // an interval far wider than the rest, clipped at both ends

    forest_plot degenerate;
    degenerate.rows = {{"only\x01 row \xff", 0.0, 0.0, 0.0, 0.0}};
    degenerate.summaries = {{"equal", 0.0, 0.0, 0.0, 100.0}};
    forest_plot huge = degenerate;
    huge.rows[0] = {"huge", 1.0, -1e308, HUGE_VAL, NAN};
    huge.increment = 1e300;

    const study alcohol = parse_setting_file(read_file(ALCOHOL_EXAMPLE));
    const dose_response_plot dose =
        make_dose_response_plot(alcohol, estimate_trend(alcohol, fit_counts(alcohol)));
    dose_response_plot flat;
    flat.points = {{0, 1, 1, 1, true}, {0, 1, 1, 1, false}};
    dose_response_plot wild = dose;
    wild.se = 1e200;
    wild.points[2].upper = HUGE_VAL;

    const bool ok = save(folder, "forest.svg", draw(write_forest_plot, forest)) &&
                    save(folder, "forest-rr.svg", draw(write_forest_plot, rr)) &&
                    save(folder, "forest-60.svg",
                         draw(write_forest_plot, make_forest_plot(pool(many), std::nullopt))) &&
                    save(folder, "forest-degenerate.svg", draw(write_forest_plot, degenerate)) &&
                    save(folder, "forest-huge.svg", draw(write_forest_plot, huge)) &&
                    save(folder, "dose-response.svg", draw(write_dose_response_plot, dose)) &&
                    save(folder, "dose-response-flat.svg", draw(write_dose_response_plot, flat)) &&
                    save(folder, "dose-response-wild.svg", draw(write_dose_response_plot, wild));
    return ok ? 0 : 1;
}
