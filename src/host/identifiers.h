// Item identifiers as the host hands them to the extension, and the host's
// three container identifiers. An identifier is plain text; the containers
// are distinguished by their platform texts.
#pragma once

#include <string>
#include <string_view>

namespace corvane::host {

using ItemIdentifier = std::string;

inline constexpr std::string_view kRootContainerItemIdentifier =
    "NSFileProviderRootContainerItemIdentifier";
inline constexpr std::string_view kWorkingSetContainerItemIdentifier =
    "NSFileProviderWorkingSetContainerItemIdentifier";
inline constexpr std::string_view kTrashContainerItemIdentifier =
    "NSFileProviderTrashContainerItemIdentifier";

}  // namespace corvane::host
