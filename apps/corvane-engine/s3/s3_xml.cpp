#include "s3/s3_xml.h"

#include <charconv>
#include <pugixml.hpp>
#include <sstream>

#include "s3/s3_encoding.h"

namespace corvane::s3 {
namespace {

std::string_view localName(const pugi::xml_node& node) {
  std::string_view name = node.name();
  const auto colon = name.find(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

// The first child element called `name`, whatever its namespace prefix.
pugi::xml_node child(const pugi::xml_node& parent, std::string_view name) {
  for (pugi::xml_node c = parent.first_child(); c; c = c.next_sibling()) {
    if (c.type() == pugi::node_element && localName(c) == name) return c;
  }
  return {};
}

std::string text(const pugi::xml_node& parent, std::string_view name) {
  return child(parent, name).text().get();
}

template <typename Visit>
void forEach(const pugi::xml_node& parent, std::string_view name, Visit visit) {
  for (pugi::xml_node c = parent.first_child(); c; c = c.next_sibling()) {
    if (c.type() == pugi::node_element && localName(c) == name) visit(c);
  }
}

// The document's root element, which must be called `rootName`.
pugi::xml_node parseRoot(pugi::xml_document& doc, std::string_view body,
                         std::string_view rootName) {
  const pugi::xml_parse_result result =
      doc.load_buffer(body.data(), body.size(), pugi::parse_default, pugi::encoding_utf8);
  if (!result) {
    throw S3XmlError(std::string("the XML answer cannot be read: ") + result.description());
  }
  pugi::xml_node root = doc.document_element();
  if (localName(root) != rootName) {
    throw S3XmlError("expected an XML " + std::string(rootName) + ", got " +
                     (root ? std::string(root.name()) : std::string("an empty document")));
  }
  return root;
}

std::uint64_t parseSize(const std::string& value) {
  std::uint64_t size = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), size);
  if (error != std::errc() || end != value.data() + value.size() || value.empty()) {
    throw S3XmlError("the size \"" + value + "\" is not a number");
  }
  return size;
}

class StringWriter : public pugi::xml_writer {
 public:
  void write(const void* data, size_t size) override {
    out.append(static_cast<const char*>(data), size);
  }
  std::string out;
};

std::string print(const pugi::xml_document& doc) {
  StringWriter writer;
  doc.save(writer, "", pugi::format_raw, pugi::encoding_utf8);
  return std::move(writer.out);
}

}  // namespace

std::optional<Timestamp> parseIsoTime(std::string_view value) {
  // The platform parser takes whole seconds; the fraction is added here.
  constexpr std::size_t kSeconds = 19;  // "YYYY-MM-DDTHH:MM:SS"
  if (value.size() < kSeconds + 1) return std::nullopt;
  std::string whole(value.substr(0, kSeconds));
  std::chrono::nanoseconds fraction{0};
  std::size_t pos = kSeconds;
  if (value[pos] == '.') {
    long long scale = 100'000'000;
    ++pos;
    const std::size_t digitsStart = pos;
    while (pos < value.size() && value[pos] >= '0' && value[pos] <= '9') {
      fraction += std::chrono::nanoseconds((value[pos] - '0') * scale);
      scale /= 10;
      ++pos;
    }
    if (pos == digitsStart) return std::nullopt;
  }
  whole.append(value.substr(pos));
  const auto seconds = platform::parseInternetDateTime(whole);
  if (!seconds) return std::nullopt;
  return Timestamp(*seconds) + fraction;
}

std::optional<XmlErrorAnswer> readErrorAnswer(std::string_view body) {
  if (body.empty()) return std::nullopt;
  pugi::xml_document doc;
  if (!doc.load_buffer(body.data(), body.size(), pugi::parse_default, pugi::encoding_utf8)) {
    return std::nullopt;
  }
  pugi::xml_node root = doc.document_element();
  if (localName(root) == "ErrorResponse") root = child(root, "Error");
  if (localName(root) != "Error") return std::nullopt;
  return XmlErrorAnswer{text(root, "Code"), text(root, "Message"), text(root, "Region"),
                        parseIsoTime(text(root, "ServerTime")), text(root, "StorageClass")};
}

XmlStsCredentials readStsCredentials(std::string_view body, std::string_view resultName) {
  pugi::xml_document doc;
  const std::string rootName =
      std::string(resultName.substr(0, resultName.size() - 6)) + "Response";
  const pugi::xml_node root = parseRoot(doc, body, rootName);
  const pugi::xml_node credentials = child(child(root, resultName), "Credentials");
  if (!credentials)
    throw S3XmlError("the answer has no " + std::string(resultName) + "/Credentials");
  XmlStsCredentials result{text(credentials, "AccessKeyId"), text(credentials, "SecretAccessKey"),
                           text(credentials, "SessionToken"), text(credentials, "Expiration")};
  if (result.accessKeyId.empty() || result.secretAccessKey.empty()) {
    throw S3XmlError("the answer's Credentials lack a key");
  }
  return result;
}

S3ListPage readListPage(std::string_view body) {
  pugi::xml_document doc;
  pugi::xml_node root = parseRoot(doc, body, "ListBucketResult");
  // A store that ignores encoding-type=url sends names as they are; only a
  // page that says it encoded them is decoded.
  const bool encoded = text(root, "EncodingType") == "url";
  auto name = [encoded](const std::string& value) {
    if (!encoded) return value;
    auto decoded = decodeListedName(value);
    if (!decoded) throw S3XmlError("the listed name \"" + value + "\" has a broken escape");
    return *decoded;
  };

  S3ListPage page;
  forEach(root, "Contents", [&](const pugi::xml_node& entry) {
    S3ObjectInfo object;
    object.key = name(text(entry, "Key"));
    object.size = parseSize(text(entry, "Size"));
    object.etag = quotedEtag(text(entry, "ETag"));
    const std::string modified = text(entry, "LastModified");
    const auto time = parseIsoTime(modified);
    if (!time) throw S3XmlError("the time \"" + modified + "\" cannot be read");
    object.lastModified = *time;
    page.objects.push_back(std::move(object));
  });
  forEach(root, "CommonPrefixes", [&](const pugi::xml_node& entry) {
    page.commonPrefixes.push_back(name(text(entry, "Prefix")));
  });
  if (text(root, "IsTruncated") == "true") {
    page.nextContinuationToken = text(root, "NextContinuationToken");
    // Without a token the next page cannot be asked for; going on would list
    // the first page forever.
    if (page.nextContinuationToken.empty()) {
      throw S3XmlError("a truncated listing without NextContinuationToken");
    }
  }
  return page;
}

std::string readVersioningStatus(std::string_view body) {
  pugi::xml_document doc;
  return text(parseRoot(doc, body, "VersioningConfiguration"), "Status");
}

std::string readUploadId(std::string_view body) {
  pugi::xml_document doc;
  std::string id = text(parseRoot(doc, body, "InitiateMultipartUploadResult"), "UploadId");
  if (id.empty()) throw S3XmlError("InitiateMultipartUploadResult without UploadId");
  return id;
}

XmlResultTag readResultTag(std::string_view body, std::string_view rootName) {
  pugi::xml_document doc;
  pugi::xml_node root = parseRoot(doc, body, rootName);
  XmlResultTag result;
  result.etag = quotedEtag(text(root, "ETag"));
  if (pugi::xml_node modified = child(root, "LastModified")) {
    result.lastModified = parseIsoTime(modified.text().get());
  }
  return result;
}

std::vector<S3DeleteFailure> readDeleteFailures(std::string_view body) {
  pugi::xml_document doc;
  pugi::xml_node root = parseRoot(doc, body, "DeleteResult");
  std::vector<S3DeleteFailure> failures;
  forEach(root, "Error", [&](const pugi::xml_node& entry) {
    failures.push_back({text(entry, "Key"), text(entry, "Code"), text(entry, "Message")});
  });
  return failures;
}

XmlVersionsPage readVersionsPage(std::string_view body) {
  pugi::xml_document doc;
  pugi::xml_node root = parseRoot(doc, body, "ListVersionsResult");
  const bool encoded = text(root, "EncodingType") == "url";
  auto name = [encoded](const std::string& value) {
    if (!encoded) return value;
    auto decoded = decodeListedName(value);
    if (!decoded) throw S3XmlError("the listed name \"" + value + "\" has a broken escape");
    return *decoded;
  };
  XmlVersionsPage page;
  // Versions and delete markers come interleaved in key order; both kinds
  // are read in document order to keep it.
  for (pugi::xml_node entry = root.first_child(); entry; entry = entry.next_sibling()) {
    const std::string_view kind = localName(entry);
    if (kind != "Version" && kind != "DeleteMarker") continue;
    S3ObjectVersion version;
    version.deleteMarker = kind == "DeleteMarker";
    version.latest = text(entry, "IsLatest") == "true";
    version.object.key = name(text(entry, "Key"));
    version.object.versionId = text(entry, "VersionId");
    if (!version.deleteMarker) {
      version.object.size = parseSize(text(entry, "Size"));
      version.object.etag = quotedEtag(text(entry, "ETag"));
    }
    if (auto time = parseIsoTime(text(entry, "LastModified"))) version.object.lastModified = *time;
    page.versions.push_back(std::move(version));
  }
  page.truncated = text(root, "IsTruncated") == "true";
  page.nextKeyMarker = name(text(root, "NextKeyMarker"));
  page.nextVersionIdMarker = text(root, "NextVersionIdMarker");
  if (page.truncated && page.nextKeyMarker.empty()) {
    throw S3XmlError("a truncated version listing without NextKeyMarker");
  }
  return page;
}

XmlUploadsPage readUploadsPage(std::string_view body) {
  pugi::xml_document doc;
  pugi::xml_node root = parseRoot(doc, body, "ListMultipartUploadsResult");
  XmlUploadsPage page;
  const bool encoded = text(root, "EncodingType") == "url";
  forEach(root, "Upload", [&](const pugi::xml_node& entry) {
    std::string key = text(entry, "Key");
    if (encoded) {
      auto decoded = decodeListedName(key);
      if (!decoded) throw S3XmlError("the listed name \"" + key + "\" has a broken escape");
      key = *decoded;
    }
    page.uploads.push_back({std::move(key), text(entry, "UploadId")});
  });
  page.truncated = text(root, "IsTruncated") == "true";
  page.nextKeyMarker = text(root, "NextKeyMarker");
  page.nextUploadIdMarker = text(root, "NextUploadIdMarker");
  if (encoded && !page.nextKeyMarker.empty()) {
    page.nextKeyMarker = decodeListedName(page.nextKeyMarker).value_or(page.nextKeyMarker);
  }
  if (page.truncated && page.nextKeyMarker.empty() && page.nextUploadIdMarker.empty()) {
    throw S3XmlError("a truncated upload listing without markers");
  }
  return page;
}

std::string writeCompleteBody(const std::vector<std::pair<int, std::string>>& parts) {
  pugi::xml_document doc;
  pugi::xml_node root = doc.append_child("CompleteMultipartUpload");
  root.append_attribute("xmlns") = "http://s3.amazonaws.com/doc/2006-03-01/";
  for (const auto& [number, etag] : parts) {
    pugi::xml_node part = root.append_child("Part");
    part.append_child("PartNumber").text().set(number);
    part.append_child("ETag").text().set(etag.c_str());
  }
  return print(doc);
}

std::string writeDeleteBody(const std::vector<std::string>& keys) {
  pugi::xml_document doc;
  pugi::xml_node root = doc.append_child("Delete");
  root.append_attribute("xmlns") = "http://s3.amazonaws.com/doc/2006-03-01/";
  root.append_child("Quiet").text().set("true");
  for (const std::string& key : keys) {
    root.append_child("Object").append_child("Key").text().set(key.c_str());
  }
  return print(doc);
}

bool xmlCanCarry(std::string_view value) {
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    // A NUL would also end the C string pugixml stores; "\r" would come back
    // as "\n" after the store's parser normalised line ends.
    if ((byte < 0x20 && byte != '\t' && byte != '\n') || byte == '\r') return false;
  }
  return true;
}

}  // namespace corvane::s3
