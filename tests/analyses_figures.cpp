// Prints what the analyses give for slopes read from standard input, for the
// independent check in tests/analyses_reference.py:
//   analyses_figures        lines "b se group" -> the JSON "pooled" document
//   analyses_figures t      lines "tail T DF" or "quantile P DF" -> one number each
#include "estimation/base/student_t.hpp"
#include "estimation/output/json.hpp"
#include "estimation/pooling/meta_analysis.hpp"

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
    using namespace morvex;
    std::string line;
    if (argc == 2 && std::string(argv[1]) == "t") {
        while (std::getline(std::cin, line)) {
            std::istringstream in(line);
            std::string what;
            double x = 0;
            double df = 0;
            in >> what >> x >> df;
            const double value =
                what == "tail" ? student_t_upper_tail(x, df) : student_t_quantile(x, df);
            std::printf("%.17g\n", value);
        }
        return 0;
    }
    std::vector<study_summary> studies;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        study_summary s;
        in >> s.beta >> s.se >> s.group;
        s.id = std::to_string(studies.size() + 1);
        s.input = "slopes";
        s.label = "slopes: " + s.id;
        s.status = study_status::complete;
        if (s.group == "NA") {
            s.group.clear();
            s.group_missing = "no value";
        }
        studies.push_back(s);
    }
    json_writer json(std::cout);
    json.begin();
    analysis_request asked;
    asked.knapp_hartung = asked.leave_one_out = asked.egger = true;
    asked.by = "group";
    const meta_analysis m = analyse(studies, std::nullopt, asked);
    json.end(&m);
    return 0;
}
