// Whole-or-nothing file output, for pictures and other files a run writes.
#ifndef MORVEX_ESTIMATION_ATOMIC_FILE_HPP
#define MORVEX_ESTIMATION_ATOMIC_FILE_HPP

#include <string>

namespace morvex {

// Writes `content` to a new temporary file in the folder of `path` and renames
// it to `path` once it is complete and flushed, so readers see either the old
// file or the whole new one. On failure the temporary is removed, `path` is
// left as it was, and the reason is returned (the step that failed and the
// system's reason, without the path); an empty string means success.
std::string write_file_atomically(const std::string& path, const std::string& content);

// True when both paths name one existing file (same device and inode), so an
// output never overwrites an input that reaches it by another name or a link.
bool same_file(const std::string& a, const std::string& b);

} // namespace morvex

#endif
