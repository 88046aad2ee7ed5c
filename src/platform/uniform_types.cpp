#include "platform/uniform_types.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace corvane::platform {
namespace {

// Lower-case extension -> type identifier, sorted by extension for binary search.
constexpr std::pair<std::string_view, std::string_view> kTypes[] = {
    {"7z", "org.7-zip.7-zip-archive"},
    {"aac", "public.aac-audio"},
    {"aif", "public.aiff-audio"},
    {"aiff", "public.aiff-audio"},
    {"avi", "public.avi"},
    {"bmp", "com.microsoft.bmp"},
    {"bz2", "public.bzip2-archive"},
    {"c", "public.c-source"},
    {"cc", "public.c-plus-plus-source"},
    {"cpp", "public.c-plus-plus-source"},
    {"css", "public.css"},
    {"csv", "public.comma-separated-values-text"},
    {"cxx", "public.c-plus-plus-source"},
    {"dmg", "com.apple.disk-image-udif"},
    {"doc", "com.microsoft.word.doc"},
    {"docx", "org.openxmlformats.wordprocessingml.document"},
    {"epub", "org.idpf.epub-container"},
    {"exe", "com.microsoft.windows-executable"},
    {"flac", "org.xiph.flac"},
    {"gif", "com.compuserve.gif"},
    {"gz", "org.gnu.gnu-zip-archive"},
    {"h", "public.c-header"},
    {"heic", "public.heic"},
    {"heif", "public.heif"},
    {"hh", "public.c-plus-plus-header"},
    {"hpp", "public.c-plus-plus-header"},
    {"htm", "public.html"},
    {"html", "public.html"},
    {"ico", "com.microsoft.ico"},
    {"ics", "com.apple.ical.ics"},
    {"java", "com.sun.java-source"},
    {"jpeg", "public.jpeg"},
    {"jpg", "public.jpeg"},
    {"js", "com.netscape.javascript-source"},
    {"json", "public.json"},
    {"key", "com.apple.keynote.key"},
    {"log", "com.apple.log"},
    {"m", "public.objective-c-source"},
    {"m4a", "com.apple.m4a-audio"},
    {"m4v", "com.apple.m4v-video"},
    {"markdown", "net.daringfireball.markdown"},
    {"md", "net.daringfireball.markdown"},
    {"mm", "public.objective-c-plus-plus-source"},
    {"mov", "com.apple.quicktime-movie"},
    {"mp3", "public.mp3"},
    {"mp4", "public.mpeg-4"},
    {"mpeg", "public.mpeg"},
    {"mpg", "public.mpeg"},
    {"numbers", "com.apple.iwork.numbers.numbers"},
    {"otf", "public.opentype-font"},
    {"pages", "com.apple.iwork.pages.pages"},
    {"pdf", "com.adobe.pdf"},
    {"pl", "public.perl-script"},
    {"png", "public.png"},
    {"ppt", "com.microsoft.powerpoint.ppt"},
    {"pptx", "org.openxmlformats.presentationml.presentation"},
    {"py", "public.python-script"},
    {"rb", "public.ruby-script"},
    {"rtf", "public.rtf"},
    {"sh", "public.shell-script"},
    {"svg", "public.svg-image"},
    {"swift", "public.swift-source"},
    {"tar", "public.tar-archive"},
    {"text", "public.plain-text"},
    {"tif", "public.tiff"},
    {"tiff", "public.tiff"},
    {"ttf", "public.truetype-ttf-font"},
    {"txt", "public.plain-text"},
    {"vcf", "public.vcard"},
    {"wav", "com.microsoft.waveform-audio"},
    {"webp", "org.webmproject.webp"},
    {"xls", "com.microsoft.excel.xls"},
    {"xlsx", "org.openxmlformats.spreadsheetml.sheet"},
    {"xml", "public.xml"},
    {"yaml", "public.yaml"},
    {"yml", "public.yaml"},
    {"zip", "public.zip-archive"},
};

static_assert(std::is_sorted(std::begin(kTypes), std::end(kTypes),
                             [](const auto& a, const auto& b) { return a.first < b.first; }),
              "kTypes must stay sorted for lookup");

}  // namespace

std::string typeForFilenameExtension(std::string_view extension) {
  std::string key(extension);
  std::transform(key.begin(), key.end(), key.begin(), [](char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  });
  const auto found =
      std::lower_bound(std::begin(kTypes), std::end(kTypes), std::string_view(key),
                       [](const auto& entry, std::string_view k) { return entry.first < k; });
  if (found == std::end(kTypes) || found->first != key) return std::string(kDataType);
  return std::string(found->second);
}

std::string pathExtension(std::string_view filename) {
  while (filename.size() > 1 && filename.back() == '/') filename.remove_suffix(1);
  if (const auto slash = filename.rfind('/'); slash != std::string_view::npos) {
    filename.remove_prefix(slash + 1);
  }
  const auto dot = filename.rfind('.');
  // A leading dot marks a hidden file, not an extension; a trailing one ends an empty one.
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == filename.size()) return {};
  return std::string(filename.substr(dot + 1));
}

}  // namespace corvane::platform
