// Reads "NAME X [Y]" lines (hex-float or decimal arguments) and prints each
// result of the program's own elementary function as a hex float, for
// tests/elementary_reference.py to compare with mpmath.
#include "estimation/base/elementary.hpp"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

namespace {

double call(const std::string& name, double x, double y) {
    using namespace morvex;
    if (name == "exp") {
        return elem::exp(x);
    }
    if (name == "log") {
        return elem::log(x);
    }
    if (name == "log10") {
        return elem::log10(x);
    }
    if (name == "pow") {
        return elem::pow(x, y);
    }
    if (name == "erfc") {
        return elem::erfc(x);
    }
    if (name == "lgamma") {
        return elem::lgamma(x);
    }
    if (name == "hypot") {
        return elem::hypot(x, y);
    }
    std::cerr << "elementary_probe: unknown function " << name << '\n';
    std::exit(2);
}

} // namespace

int main() {
    std::string name;
    std::string x;
    std::string y;
    while (std::cin >> name >> x >> y) {
        const double r =
            call(name, std::strtod(x.c_str(), nullptr), std::strtod(y.c_str(), nullptr));
        std::printf("%a\n", r);
    }
    return 0;
}
