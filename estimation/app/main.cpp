#include "estimation/app/run.hpp"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    // Nothing here writes through C stdio, so the streams may buffer on their own:
    // a run of many studies writes much output.
    std::ios::sync_with_stdio(false);
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const int status = morvex::run(args, std::cout, std::cerr);
    std::cout.flush();
    // A report that could not be written must not end as a success.
    if (!std::cout) {
        std::cerr << "Morvex: cannot write the report to standard output\n";
        return morvex::exit_stopped;
    }
    return status;
}
