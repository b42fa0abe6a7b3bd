#pragma once

#include "bridge/Session.h"
#include "util/Result.h"

#include <nlohmann/json_fwd.hpp>

#include <optional>
#include <string>

namespace pavix {

/// The folder that the "folder" member of a request's `body` gives a conversation: nothing
/// when the member is absent, else the folder's resolved path. Fails, with the phone's 400
/// message, when the member is not the absolute path of an existing folder (a symbolic link
/// to one is fine), or when `stored`, the conversation as already stored, works elsewhere.
Result<std::optional<std::string>> conversationFolder(const nlohmann::json& body,
                                                      const StoredSession* stored);

} // namespace pavix
