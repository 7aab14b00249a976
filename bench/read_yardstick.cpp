// read_yardstick FILE: the least work a table reader can do. It reads the file
// whole and converts every field that holds a number with std::from_chars,
// nothing else, and prints the count and sum of the numbers so that none of
// the work can be left out. Morvex's whole run on the same file is measured
// against it (bench/format_speed.sh).
#include <charconv>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: read_yardstick FILE\n", stderr);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "read_yardstick: cannot open %s\n", argv[1]);
        return 2;
    }
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    long count = 0;
    double sum = 0.0;
    const char* p = text.data();
    const char* const end = p + text.size();
    while (p < end) {
        const char* stop = p;
        while (stop < end && *stop != ',' && *stop != '\n' && *stop != '\r') {
            ++stop;
        }
        double value = 0.0;
        const std::from_chars_result r = std::from_chars(p, stop, value);
        if (r.ec == std::errc() && r.ptr == stop) {
            ++count;
            sum += value;
        }
        p = stop + 1;
    }
    std::printf("%ld numbers, sum %.17g\n", count, sum);
    return 0;
}
