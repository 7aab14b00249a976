#include "estimation/output/atomic_file.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace morvex {
namespace {

// The step that failed and the system's reason, e.g. "renaming the temporary
// file into place: Is a directory"; the caller names the file.
std::string reason(const char* step, int error) {
    return std::string(step) + ": " + std::strerror(error);
}

// Writes all of `content`, retrying short writes and interrupted calls.
int write_all(int fd, const std::string& content) {
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

} // namespace

std::string write_file_atomically(const std::string& path, const std::string& content) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    // A hidden name in the same folder: rename() is atomic only within one file system.
    std::string pattern = folder + "." + base + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = ::mkstemp(name.data());
    if (fd < 0) {
        return reason("creating a temporary file in its folder", errno);
    }
    const std::string temporary(name.data());
    // mkstemp creates the file for its owner only; a picture is for everyone to read,
    // as far as the umask allows.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    int error = 0;
    const char* what = "writing";
    if (::fchmod(fd, 0666 & ~mask) != 0) {
        error = errno;
        what = "setting its permissions";
    } else if ((error = write_all(fd, content)) != 0) {
        what = "writing";
    } else if (::fsync(fd) != 0) {
        error = errno;
        what = "flushing it to disk";
    }
    if (::close(fd) != 0 && error == 0) {
        error = errno;
        what = "closing it";
    }
    if (error == 0 && std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = errno;
        what = "renaming the temporary file into place";
    }
    if (error != 0) {
        ::unlink(temporary.c_str());
        return reason(what, error);
    }
    return {};
}

bool same_file(const std::string& a, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

} // namespace morvex
