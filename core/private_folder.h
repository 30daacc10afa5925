#pragma once
// A folder in a place every local user may write (the shared temporary folder) is trusted only
// when it is this user's own and nobody else may enter it: another user could have made it
// first, and pose as the link program or hold the link's claim there. Unix only (core/posix/).
#include <string>

namespace corvanta {

// What keeps `folder` from being trusted: empty when it is a folder (not a link to one) owned by
// this user with mode 0700, or when it does not exist; otherwise the folder, its owner and mode.
std::string NotPrivateFolder(const std::string& folder);

}  // namespace corvanta
