// Value types of the host interface: versions, capabilities, fields, sync
// anchors, pages, options and the request object. Bit values are the host's.
#pragma once

#include <cstdint>
#include <string>

namespace corvane::host {

// Two opaque byte strings; the host hands a base version back byte for byte.
struct ItemVersion {
  std::string contentVersion;
  std::string metadataVersion;
  bool operator==(const ItemVersion&) const = default;
};

using ItemCapabilities = std::uint64_t;
namespace capabilities {
inline constexpr ItemCapabilities kReading = 1;
inline constexpr ItemCapabilities kContentEnumerating = 1;
inline constexpr ItemCapabilities kWriting = 2;
inline constexpr ItemCapabilities kAddingSubItems = 2;
inline constexpr ItemCapabilities kReparenting = 4;
inline constexpr ItemCapabilities kRenaming = 8;
inline constexpr ItemCapabilities kTrashing = 16;
inline constexpr ItemCapabilities kDeleting = 32;
inline constexpr ItemCapabilities kEvicting = 64;
}  // namespace capabilities

using ItemFields = std::uint64_t;
namespace fields {
inline constexpr ItemFields kContents = 1 << 0;
inline constexpr ItemFields kFilename = 1 << 1;
inline constexpr ItemFields kParentItemIdentifier = 1 << 2;
inline constexpr ItemFields kLastUsedDate = 1 << 3;
inline constexpr ItemFields kTagData = 1 << 4;
inline constexpr ItemFields kFavoriteRank = 1 << 5;
inline constexpr ItemFields kCreationDate = 1 << 6;
inline constexpr ItemFields kContentModificationDate = 1 << 7;
inline constexpr ItemFields kFileSystemFlags = 1 << 8;
inline constexpr ItemFields kExtendedAttributes = 1 << 9;
inline constexpr ItemFields kTypeAndCreator = 1 << 10;
}  // namespace fields

// Opaque bytes that the host keeps between change enumerations.
using SyncAnchor = std::string;
// Opaque bytes naming a page of a listing.
using Page = std::string;

using CreateItemOptions = std::uint64_t;
using ModifyItemOptions = std::uint64_t;
using DeleteItemOptions = std::uint64_t;
namespace options {
inline constexpr CreateItemOptions kMayAlreadyExist = 1;
inline constexpr ModifyItemOptions kMayAlreadyExistModify = 1;
inline constexpr DeleteItemOptions kRecursive = 1;
}  // namespace options

// A span of a file's bytes: `length` bytes from `offset`, both counted in
// bytes from the file's start.
struct ByteRange {
  std::int64_t offset = 0;
  std::int64_t length = 0;
  bool operator==(const ByteRange&) const = default;
};

// What the host learns of the bytes a partial fetch delivered.
using MaterializationFlags = std::uint64_t;
namespace materialization {
// The delivered range ends where the file ends: nothing follows it.
inline constexpr MaterializationFlags kReachesEndOfFile = 1;
}  // namespace materialization

// Options of a partial fetch. None is defined yet; bits a host sets are
// ignored, so a later option cannot change what an older extension does.
using FetchContentsOptions = std::uint64_t;

// The host's description of who asked; the extension never reads it.
struct Request {};

// The domain the host creates an extension for.
struct Domain {
  std::string identifier;
  std::string displayName;
};

}  // namespace corvane::host
