// The package receipts store: what the installer records of each package it installed, under
// "/var/db/receipts" in the root folder (SONVEXA_ROOT). A receipt with identifier ID is two files:
//   ID.plist  an XML property list: PackageIdentifier, PackageVersion, InstallPrefixPath, InstallDate
//   ID.bom    the package's files, one path a line (the bill of materials)
// "pkgutil --forget ID" (this build's tool) removes both.
//
// Thread safety: none of its own; the files are the state, so separate processes may use it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform::security::receipts {

// The store's folder, as a system path and under the root.
inline constexpr const char* kReceiptsFolder = "/var/db/receipts";
std::string folder();

// An identifier is letters, digits, '.', '-' and '_', begins with neither '.' nor '-', and is
// at most 255 characters: it names files of the store and nothing else.
bool validIdentifier(std::string_view identifier);

struct Receipt
{
    std::string identifier;
    std::string version;
    std::string installPrefix = "/";
    std::vector<std::string> files; // system paths
};

// Writes both files of the receipt (replacing an older one); false with *error when it cannot.
bool write(const Receipt& receipt, std::string* error);

// True when the receipt's property list exists.
bool exists(std::string_view identifier);

// The identifiers in the store, sorted.
std::vector<std::string> identifiers();

enum class ForgetResult
{
    forgotten,
    unknown, // there was no such receipt
    failed,  // a file of the receipt could not be removed (*error says why)
};
ForgetResult forget(std::string_view identifier, std::string* error);

} // namespace platform::security::receipts
