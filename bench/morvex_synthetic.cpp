// morvex_synthetic N cc|cohort: prints a synthetic setting file for end-to-end timing.
#include "bench/synthetic_study.hpp"

#include <cstdlib>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
    const int n = argc == 3 ? std::atoi(argv[1]) : 0;
    std::cout << (n < 1 ? "" : morvex::synthetic_setting(n, std::string(argv[2]) == "cc"));
    return n < 1;
}
