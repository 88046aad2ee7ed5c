// Uniform type identifiers: a table from file-name extensions to types.
#pragma once

#include <string>
#include <string_view>

namespace corvane::platform {

inline constexpr std::string_view kFolderType = "public.folder";
inline constexpr std::string_view kDataType = "public.data";

// The type for a file-name extension (without the dot, any case), conforming
// to public.data; public.data when the extension is unknown or empty.
std::string typeForFilenameExtension(std::string_view extension);

// The platform's path-extension rule: the text after the last "." of the last
// path component; empty when there is none.
std::string pathExtension(std::string_view filename);

}  // namespace corvane::platform
