#include "estimation/input/file_text.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#define MORVEX_FILE_PARTS 1
#endif

namespace morvex {

std::string read_file(const std::string& path) {
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                               std::fclose);
    if (!file) {
        throw file_error(std::string("cannot open: ") + std::strerror(errno));
    }
    std::string content;
    // A regular file's size, so that the text is not copied as it grows.
    std::error_code error;
    if (std::filesystem::is_regular_file(path, error)) {
        const std::uintmax_t size = std::filesystem::file_size(path, error);
        if (!error && size < content.max_size()) {
            content.reserve(static_cast<std::size_t>(size));
        }
    }
    char buffer[65536];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
        content.append(buffer, got);
    }
    if (std::ferror(file.get()) != 0) {
        throw file_error(std::string("cannot read: ") + std::strerror(errno));
    }
    return content;
}

#ifdef MORVEX_FILE_PARTS
namespace {

// An open file, closed on every way out.
class descriptor {
public:
    explicit descriptor(int fd) : fd_(fd) {}
    descriptor(const descriptor&) = delete;
    descriptor& operator=(const descriptor&) = delete;
    ~descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// How reading a part ended.
struct part_read {
    int error = 0;            // errno of a failed read, or 0
    bool ended_early = false; // the file ended before the part did
};

// Reads [begin, end) of the file into `to` + begin.
part_read read_part(int fd, char* to, std::size_t begin, std::size_t end) {
    part_read result;
    while (begin < end) {
        const ::ssize_t got = ::pread(fd, to + begin, std::min<std::size_t>(end - begin, 1U << 30),
                                      static_cast<::off_t>(begin));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            result.error = errno;
            return result;
        }
        if (got == 0) {
            result.ended_early = true;
            return result;
        }
        begin += static_cast<std::size_t>(got);
    }
    return result;
}

} // namespace

file_text read_file_text(const std::string& path, unsigned threads, std::size_t part_bytes) {
    const descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        throw file_error(std::string("cannot open: ") + std::strerror(errno));
    }
    struct stat about {};
    if (::fstat(fd.get(), &about) != 0 || !S_ISREG(about.st_mode) || about.st_size <= 0 ||
        static_cast<std::uintmax_t>(about.st_size) < part_bytes ||
        static_cast<std::uintmax_t>(about.st_size) >= std::string().max_size()) {
        return file_text(read_file(path));
    }
    const auto size = static_cast<std::size_t>(about.st_size);
    // Not std::string: its resizing would write every byte before the reading does.
    std::unique_ptr<char[]> bytes(new char[size]);
    const std::size_t parts = std::clamp<std::size_t>(size / part_bytes, 1, std::max(threads, 1U));
    const auto part_begin = [&](std::size_t k) { return size / parts * k; };
    std::vector<part_read> results(parts);
    const auto read_one = [&](std::size_t k) {
        results[k] = read_part(fd.get(), bytes.get(), part_begin(k),
                               k + 1 == parts ? size : part_begin(k + 1));
    };
    std::vector<std::thread> helpers;
    std::size_t started = 1;
    for (; started < parts; ++started) {
        try {
            helpers.emplace_back(read_one, started);
        } catch (const std::system_error&) {
            break; // no more threads to be had: the rest is read here
        }
    }
    read_one(0);
    for (std::size_t k = started; k < parts; ++k) {
        read_one(k);
    }
    for (std::thread& t : helpers) {
        t.join();
    }
    const auto failed = std::find_if(results.begin(), results.end(),
                                     [](const part_read& r) { return r.error != 0; });
    if (failed != results.end()) {
        throw file_error(std::string("cannot read: ") + std::strerror(failed->error));
    }
    // A file written to as it is read: the parts may not fit together.
    char more = 0;
    const bool shrank = std::any_of(results.begin(), results.end(),
                                    [](const part_read& r) { return r.ended_early; });
    if (shrank || ::pread(fd.get(), &more, 1, static_cast<::off_t>(size)) != 0) {
        return file_text(read_file(path));
    }
    return file_text(std::move(bytes), size);
}

#else

file_text read_file_text(const std::string& path, unsigned, std::size_t) {
    return file_text(read_file(path));
}

#endif

} // namespace morvex
