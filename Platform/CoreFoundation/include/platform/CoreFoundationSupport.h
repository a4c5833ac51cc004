// Settings of the value layer that a test or a host program chooses, beyond what the
// interfaces themselves offer.
#pragma once

#include <optional>
#include <string>

namespace platform::cf {

// Uses `folder` (a path on this machine) as the running program's bundle from the next
// CFBundleGetMainBundle on; nullopt goes back to the default (the environment variable
// SONVEXA_MAIN_BUNDLE, else the program's own folder).
void setMainBundleFolder(std::optional<std::string> folder);

} // namespace platform::cf
