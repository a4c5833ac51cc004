#include "platform/ReceiptStore.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/ProcessEnvironment.h"

namespace platform::security::receipts {
namespace {

namespace fs = std::filesystem;

constexpr size_t kMaxIdentifier = 255;

std::string pathOf(std::string_view identifier, const char* suffix)
{
    return folder() + "/" + std::string(identifier) + suffix;
}

std::string escaped(std::string_view text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string isoTime()
{
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// Writes `text` to `path` through a file beside it, so a reader never sees half a receipt.
bool writeWhole(const std::string& path, const std::string& text, std::string* error)
{
    const std::string temporary = path + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            *error = "cannot write " + temporary;
            return false;
        }
    }
    std::error_code code;
    fs::rename(temporary, path, code);
    if (code) {
        *error = "cannot write " + path + ": " + code.message();
        fs::remove(temporary, code);
        return false;
    }
    return true;
}

// Removes one file of a receipt; an absent one is fine.
bool removeFile(const std::string& path, std::string* error)
{
    if (unlink(path.c_str()) == 0 || errno == ENOENT) {
        return true;
    }
    *error = "cannot remove " + path + ": " + std::strerror(errno);
    return false;
}

} // namespace

std::string folder()
{
    return platform::process::rootedPath(kReceiptsFolder);
}

bool validIdentifier(std::string_view identifier)
{
    if (identifier.empty() || identifier.size() > kMaxIdentifier || identifier.front() == '.' ||
        identifier.front() == '-') {
        return false;
    }
    return std::all_of(identifier.begin(), identifier.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
               c == '-' || c == '_';
    });
}

bool write(const Receipt& receipt, std::string* error)
{
    if (!validIdentifier(receipt.identifier)) {
        *error = "not a receipt identifier: '" + receipt.identifier + "'";
        return false;
    }
    std::error_code code;
    fs::create_directories(folder(), code);
    if (code) {
        *error = "cannot make " + folder() + ": " + code.message();
        return false;
    }
    std::string plist = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                        "<plist version=\"1.0\">\n<dict>\n";
    plist += "\t<key>InstallDate</key>\n\t<date>" + isoTime() + "</date>\n";
    plist += "\t<key>InstallPrefixPath</key>\n\t<string>" + escaped(receipt.installPrefix) + "</string>\n";
    plist += "\t<key>PackageIdentifier</key>\n\t<string>" + escaped(receipt.identifier) + "</string>\n";
    plist += "\t<key>PackageVersion</key>\n\t<string>" + escaped(receipt.version) + "</string>\n";
    plist += "</dict>\n</plist>\n";
    std::string bom;
    for (const auto& file : receipt.files) {
        bom += file + "\n";
    }
    return writeWhole(pathOf(receipt.identifier, ".bom"), bom, error) &&
           writeWhole(pathOf(receipt.identifier, ".plist"), plist, error);
}

bool exists(std::string_view identifier)
{
    struct stat status
    {
    };
    return validIdentifier(identifier) && lstat(pathOf(identifier, ".plist").c_str(), &status) == 0;
}

std::vector<std::string> identifiers()
{
    std::vector<std::string> found;
    std::error_code code;
    for (const auto& entry : fs::directory_iterator(folder(), code)) {
        const std::string name = entry.path().filename().string();
        constexpr std::string_view suffix = ".plist";
        if (name.size() > suffix.size() && name.ends_with(suffix)) {
            const std::string identifier = name.substr(0, name.size() - suffix.size());
            if (validIdentifier(identifier)) {
                found.push_back(identifier);
            }
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

ForgetResult forget(std::string_view identifier, std::string* error)
{
    if (!validIdentifier(identifier)) {
        *error = "not a receipt identifier: '" + std::string(identifier) + "'";
        return ForgetResult::failed;
    }
    if (!exists(identifier)) {
        return ForgetResult::unknown;
    }
    // The bill of materials first: a receipt whose list is gone is still known and can be forgotten again.
    if (!removeFile(pathOf(identifier, ".bom"), error) || !removeFile(pathOf(identifier, ".plist"), error)) {
        return ForgetResult::failed;
    }
    return ForgetResult::forgotten;
}

} // namespace platform::security::receipts
