// morvex_synthetic N cc|cohort: prints a synthetic setting file for end-to-end timing.
// morvex_synthetic table STUDIES N [MOST]: prints a table of that many studies of N exposed
// categories (N to MOST in turn).
#include "bench/synthetic_study.hpp"

#include <cstdlib>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
    if ((argc == 4 || argc == 5) && std::string(argv[1]) == "table") {
        const long studies = std::atol(argv[2]);
        const int n = std::atoi(argv[3]);
        if (studies < 1 || n < 1) {
            return 1;
        }
        morvex::write_synthetic_table(std::cout, studies, n, argc == 5 ? std::atoi(argv[4]) : 0);
        return 0;
    }
    const int n = argc == 3 ? std::atoi(argv[1]) : 0;
    std::cout << (n < 1 ? "" : morvex::synthetic_setting(n, std::string(argv[2]) == "cc"));
    return n < 1;
}
