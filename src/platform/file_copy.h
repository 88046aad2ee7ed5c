// Copying a file's contents in the kernel's hands: a clone where the file
// system shares blocks (FICLONE), else copy_file_range, else sendfile, else
// read and write through one buffer; and comparing two files' contents. The
// whole file is never held in memory. Pure functions on descriptors the
// caller owns; callable from any thread.
#pragma once

#include <cstdint>

namespace corvane::platform {

// Copies everything of `in` to `out`, both freshly opened (at offset 0),
// `out` empty and writable. Reads to the end rather than trusting the size,
// so files that report none (/proc) are copied whole. Throws
// std::system_error with the failing errno; what was written stays in `out`.
void copyContents(int in, int out);

// Copies the bytes of `in` from `offset` on, at most `length` of them (fewer
// where `in` ends first), to `out` at its current offset. Moves `in`'s
// offset. Throws std::system_error as copyContents does, EINVAL for a
// negative offset or length.
void copyRange(int in, std::int64_t offset, std::int64_t length, int out);

// True when the regular files `a` and `b` hold the same bytes: sizes first,
// then the contents in blocks, stopping at the first difference. Reads with
// pread, so the descriptors' offsets stay where they were. Throws
// std::system_error when either cannot be read.
bool sameContents(int a, int b);

}  // namespace corvane::platform
