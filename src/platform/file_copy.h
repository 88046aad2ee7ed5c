// Copying a file's contents in the kernel's hands: a clone where the file
// system shares blocks (FICLONE), else copy_file_range, else sendfile, else
// read and write through one buffer; the whole file is never held in memory.
// Pure functions on descriptors the caller owns; callable from any thread.
#pragma once

namespace corvane::platform {

// Copies everything of `in` to `out`, both freshly opened (at offset 0),
// `out` empty and writable. Reads to the end rather than trusting the size,
// so files that report none (/proc) are copied whole. Throws
// std::system_error with the failing errno; what was written stays in `out`.
void copyContents(int in, int out);

}  // namespace corvane::platform
