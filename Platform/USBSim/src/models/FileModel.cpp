#include "usbsim/models/FileModel.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace usbsim::models {
namespace {

// Linux keeps at most 8 configurations of 64 KiB each; a larger file is not a descriptor set.
constexpr size_t kMostFileBytes = kDeviceDescriptorLength + 8 * size_t{0xFFFF};
constexpr size_t kMostSideBytes = 1 << 20;
constexpr size_t kMostStringCharacters = 126;

constexpr uint8_t kAudioStreaming = 0x02;
constexpr uint8_t kProtocolAudio2 = 0x20;
constexpr uint8_t kSubtypeGeneral = 0x01;
constexpr uint8_t kSubtypeFormat = 0x02;
constexpr uint8_t kFormatTypeI = 0x01;
constexpr uint8_t kUsageFeedback = 1;

uint16_t le16(std::span<const uint8_t> bytes, size_t offset)
{
    return static_cast<uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

uint32_t le24(std::span<const uint8_t> bytes, size_t offset)
{
    return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16;
}

std::string at(size_t offset, const std::string& what)
{
    std::string text = "offset ";
    text += std::to_string(offset);
    text += ": ";
    text += what;
    return text;
}

template <class... Parts> std::string join(const Parts&... parts)
{
    std::string text;
    ((text += parts), ...);
    return text;
}

std::string number(size_t value)
{
    return std::to_string(value);
}

// --- Status words of the side file.

struct StatusWord
{
    const char* word;
    Status status;
};
constexpr StatusWord kStatusWords[] = {
    {"success", kSuccess},
    {"stall", kPipeStalled},
    {"device-error", kDeviceError},
    {"no-answer", kTransactionTimeout},
};

std::string statusWord(Status status)
{
    for (const auto& entry : kStatusWords) {
        if (entry.status == status) {
            return entry.word;
        }
    }
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<uint32_t>(status));
    return code;
}

std::optional<uint64_t> parseNumber(std::string_view text, int base, uint64_t most)
{
    if (base == 16 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size() || value > most) {
        return std::nullopt;
    }
    return value;
}

std::optional<Status> parseStatus(std::string_view text)
{
    for (const auto& entry : kStatusWords) {
        if (text == entry.word) {
            return entry.status;
        }
    }
    if (text.starts_with("0x") || text.starts_with("0X")) {
        if (const auto code = parseNumber(text, 16, UINT32_MAX)) {
            return statusFromCode(static_cast<uint32_t>(*code));
        }
    }
    return std::nullopt;
}

std::vector<std::string_view> words(std::string_view line)
{
    std::vector<std::string_view> list;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
            ++i;
        }
        const size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
            ++i;
        }
        if (i > start) {
            list.push_back(line.substr(start, i - start));
        }
    }
    return list;
}

// One reply row from the words after "reply"; false with `error` naming the word.
bool parseReply(const std::vector<std::string_view>& w, ReplyRow& row, std::string& error)
{
    if (w.size() < 5) {
        error = "a reply row needs TYPE REQUEST VALUE INDEX";
        return false;
    }
    auto optionalHex = [&](std::string_view text, uint64_t most, const char* field, auto& into) {
        if (text == "*") {
            return true;
        }
        const auto value = parseNumber(text, 16, most);
        if (!value) {
            error = join("not a hex ", field, " or '*': ", std::string(text));
            return false;
        }
        into = static_cast<std::remove_reference_t<decltype(*into)>>(*value);
        return true;
    };
    if (!optionalHex(w[1], 0xFF, "request type", row.match.bmRequestType)) {
        return false;
    }
    const auto request = parseNumber(w[2], 16, 0xFF);
    if (!request) {
        error = join("not a hex request: ", std::string(w[2]));
        return false;
    }
    row.match.bRequest = static_cast<uint8_t>(*request);
    if (!optionalHex(w[3], 0xFFFF, "value", row.match.wValue) ||
        !optionalHex(w[4], 0xFFFF, "index", row.match.wIndex)) {
        return false;
    }
    size_t i = 5;
    auto bytes = [&](std::vector<uint8_t>& into, bool stopAtBar) {
        while (i < w.size() && !(stopAtBar && w[i] == "|")) {
            const auto value = parseNumber(w[i], 16, 0xFF);
            if (!value) {
                return;
            }
            into.push_back(static_cast<uint8_t>(*value));
            ++i;
        }
    };
    while (i < w.size()) {
        const std::string_view key = w[i++];
        if (key == "data") {
            bytes(row.data, false);
        } else if (key == "sequence") {
            row.sequence.emplace_back();
            bytes(row.sequence.back(), true);
            while (i < w.size() && w[i] == "|") {
                ++i;
                row.sequence.emplace_back();
                bytes(row.sequence.back(), true);
            }
        } else if (key == "status" && i < w.size()) {
            const auto status = parseStatus(w[i++]);
            if (!status) {
                error = join("not a status: ", std::string(w[i - 1]));
                return false;
            }
            row.status = *status;
        } else if (key == "delay" && i < w.size()) {
            const auto ms = parseNumber(w[i++], 10, 600'000);
            if (!ms) {
                error = join("not a delay in ms (0 to 600000): ", std::string(w[i - 1]));
                return false;
            }
            row.delayMilliseconds = static_cast<uint32_t>(*ms);
        } else if (key == "fail" && i + 1 < w.size()) {
            const auto count = parseNumber(w[i++], 10, UINT32_MAX);
            const auto status = parseStatus(w[i++]);
            if (!count || !status) {
                error = join("\"fail\" takes a count and a status: ", std::string(w[i - 2]), " ",
                             std::string(w[i - 1]));
                return false;
            }
            row.failures = static_cast<uint32_t>(*count);
            row.failureStatus = *status;
        } else {
            error = join("unexpected in a reply row: ", std::string(key));
            return false;
        }
    }
    return true;
}

std::string hexBytes(const std::vector<uint8_t>& bytes)
{
    std::string text;
    for (const uint8_t b : bytes) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02X", b);
        text += hex;
    }
    return text;
}

// A hex field of `digits` digits, or '*' for any.
template <class T> std::string matchField(const std::optional<T>& value, int digits)
{
    if (!value) {
        return "*";
    }
    char text[8];
    std::snprintf(text, sizeof text, "%0*X", digits, static_cast<unsigned>(*value));
    return text;
}

std::string replyLine(const ReplyRow& row)
{
    char head[48];
    std::snprintf(head, sizeof head, "reply %s %02X %s %s", matchField(row.match.bmRequestType, 2).c_str(),
                  row.match.bRequest, matchField(row.match.wValue, 4).c_str(),
                  matchField(row.match.wIndex, 4).c_str());
    std::string line = head;
    if (!row.data.empty()) {
        line += " data";
        line += hexBytes(row.data);
    }
    if (!row.sequence.empty()) {
        line += " sequence";
        for (size_t i = 0; i < row.sequence.size(); ++i) {
            line += i == 0 ? "" : " |";
            line += hexBytes(row.sequence[i]);
        }
    }
    if (row.status != kSuccess) {
        line += " status ";
        line += statusWord(row.status);
    }
    if (row.delayMilliseconds != 0) {
        line += " delay ";
        line += number(row.delayMilliseconds);
    }
    if (row.failures != 0) {
        line += " fail ";
        line += number(row.failures);
        line += ' ';
        line += statusWord(row.failureStatus);
    }
    return line;
}

bool readFile(const std::string& path, size_t most, std::string& into, std::string* error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = join(path, ": cannot be read");
        return false;
    }
    // Read to the end rather than by size: sysfs files report a size that is not theirs.
    into.clear();
    char buffer[4096];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        into.append(buffer, static_cast<size_t>(in.gcount()));
        if (into.size() > most) {
            *error = join(path, ": larger than ", number(most), " bytes, not a descriptor set");
            return false;
        }
    }
    if (in.bad()) {
        *error = join(path, ": cannot be read");
        return false;
    }
    return true;
}

} // namespace

bool parseDescriptorFile(std::span<const uint8_t> bytes, ModelData& data, std::string* error)
{
    if (bytes.size() < kDeviceDescriptorLength) {
        *error = at(0, join("the file holds ", number(bytes.size()),
                            " bytes, too short for the 18-byte device descriptor"));
        return false;
    }
    if (bytes[0] != kDeviceDescriptorLength) {
        *error = at(0, join("device descriptor bLength is ", number(bytes[0]), ", not 18"));
        return false;
    }
    if (bytes[1] != kDescriptorDevice) {
        *error = at(1, join("device descriptor bDescriptorType is ", number(bytes[1]), ", not 1 (device)"));
        return false;
    }
    const uint8_t declared = bytes[17];
    if (declared == 0) {
        *error = at(17, "bNumConfigurations is 0: a device has at least one configuration");
        return false;
    }
    std::vector<std::vector<uint8_t>> configurations;
    size_t offset = kDeviceDescriptorLength;
    if (offset == bytes.size()) {
        *error = at(offset, "the file ends after the device descriptor; no configuration follows");
        return false;
    }
    while (offset < bytes.size()) {
        const size_t left = bytes.size() - offset;
        const std::string which = join("configuration ", number(configurations.size()), ": ");
        if (left < kConfigurationHeaderLength) {
            *error = at(offset, join(which, number(left), " bytes left, too short for its 9-byte header"));
            return false;
        }
        if (bytes[offset + 1] != kDescriptorConfiguration) {
            *error = at(offset + 1, join(which, "bDescriptorType is ", number(bytes[offset + 1]),
                                         ", not 2 (configuration)"));
            return false;
        }
        const uint16_t total = le16(bytes, offset + 2);
        if (total < kConfigurationHeaderLength) {
            *error = at(offset + 2, join(which, "wTotalLength ", number(total),
                                         " is shorter than its 9-byte header"));
            return false;
        }
        if (total > left) {
            *error = at(offset + 2, join(which, "wTotalLength ", number(total), " runs past the end of the file (",
                                         number(left), " bytes left)"));
            return false;
        }
        const auto configuration = bytes.subspan(offset, total);
        configurations.emplace_back(configuration.begin(), configuration.end());
        offset += total;
    }
    if (configurations.size() != declared) {
        *error = at(17, join("bNumConfigurations is ", number(declared), " but the file holds ",
                             number(configurations.size()),
                             configurations.size() == 1 ? " configuration" : " configurations"));
        return false;
    }
    data.device.assign(bytes.begin(), bytes.begin() + kDeviceDescriptorLength);
    data.configurations = std::move(configurations);
    return true;
}

bool parseSideFile(std::string_view text, std::string_view name, ModelData& data, std::string* error)
{
    size_t lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
            line.remove_suffix(1);
        }
        const auto w = words(line);
        if (w.empty() || w[0].starts_with('#')) {
            continue;
        }
        std::string problem;
        const std::string_view key = w[0];
        if (key == "speed" && w.size() == 2 && (w[1] == "full" || w[1] == "high")) {
            data.speed = w[1] == "full" ? Speed::full : Speed::high;
        } else if (key == "speed") {
            problem = "\"speed\" takes full or high";
        } else if (key == "string") {
            const auto index = w.size() >= 2 ? parseNumber(w[1], 10, 255) : std::nullopt;
            // The text is the rest of the line after the index, as written.
            const size_t start = w.size() >= 3 ? static_cast<size_t>(w[2].data() - line.data()) : line.size();
            const std::string_view string = line.substr(start);
            if (!index || *index == 0) {
                problem = "\"string\" takes an index from 1 to 255, then the text";
            } else if (string.size() > kMostStringCharacters) {
                problem = join("string ", number(*index), " is longer than 126 characters");
            } else {
                std::erase_if(data.strings, [&](const auto& s) { return s.first == *index; });
                data.strings.emplace_back(static_cast<uint8_t>(*index), std::string(string));
            }
        } else if (key == "unreadable") {
            const auto index = w.size() == 3 ? parseNumber(w[1], 10, 255) : std::nullopt;
            const auto status = w.size() == 3 ? parseStatus(w[2]) : std::nullopt;
            if (!index || !status || *status == kSuccess) {
                problem = "\"unreadable\" takes a configuration index and a failure status";
            } else {
                data.unreadableConfigurations.emplace_back(static_cast<uint8_t>(*index), *status);
            }
        } else if (key == "reply") {
            ReplyRow row;
            if (parseReply(w, row, problem)) {
                data.replies.push_back(std::move(row));
            }
        } else {
            problem = join("unknown setting: ", std::string(key));
        }
        if (!problem.empty()) {
            *error = join(std::string(name), ":", number(lineNumber), ": ", problem);
            return false;
        }
    }
    return true;
}

void deriveStreams(ModelData& data)
{
    StreamingData& streaming = data.streaming;
    std::vector<uint8_t> isochronous; // endpoints of the alternates that carry a format
    bool rateFound = false;
    for (const auto& bytes : data.configurations) {
        const auto config = std::span<const uint8_t>(bytes);
        if (config.size() < kConfigurationHeaderLength) {
            continue;
        }
        const size_t end = std::min<size_t>(config.size(), le16(config, 2));
        // The alternate being walked, and whether its descriptors declared a format yet.
        bool inAlternate = false;
        StreamFormat current;
        bool streaming2 = false;
        uint8_t channels2 = 0;
        bool haveFormat = false;
        std::vector<uint8_t> endpoints;
        auto finishAlternate = [&] {
            // The streams follow interface and alternate numbers: a later configuration's
            // alternate of the same numbers streams as the first one's.
            const bool known = std::any_of(streaming.formats.begin(), streaming.formats.end(), [&](const auto& f) {
                return f.interfaceNumber == current.interfaceNumber && f.alternate == current.alternate;
            });
            if (haveFormat && !known) {
                streaming.formats.push_back(current);
                isochronous.insert(isochronous.end(), endpoints.begin(), endpoints.end());
            }
            endpoints.clear();
            haveFormat = false;
        };
        // The same bounded walk as the bus's: a length below 2 or past the end ends it.
        size_t offset = std::max<size_t>(config[0], 2);
        while (offset + 2 <= end) {
            const uint8_t length = config[offset];
            if (length < 2 || offset + length > end) {
                break;
            }
            const auto d = config.subspan(offset, length);
            offset += length;
            if (d[1] == kDescriptorInterface && length >= 9) {
                finishAlternate();
                inAlternate = d[6] == kAudioStreaming;
                streaming2 = d[7] == kProtocolAudio2;
                current = StreamFormat{};
                current.interfaceNumber = d[2];
                current.alternate = d[3];
                channels2 = 0;
            } else if (d[1] == kDescriptorClassInterface && inAlternate && length >= 3) {
                if (d[2] == kSubtypeGeneral && streaming2 && length >= 11) {
                    channels2 = d[10];
                }
                if (d[2] != kSubtypeFormat || haveFormat || length < 4 || d[3] != kFormatTypeI) {
                    continue;
                }
                // Class 1: bNrChannels, bSubframeSize, bBitResolution, then the rates. Class 2:
                // bSubslotSize, bBitResolution; the channels are the general descriptor's.
                const bool complete = streaming2 ? length >= 6 : length >= 8;
                if (!complete) {
                    continue;
                }
                current.channels = streaming2 ? channels2 : d[4];
                current.bytesPerSample = streaming2 ? d[4] : d[5];
                current.bits = streaming2 ? d[5] : d[6];
                haveFormat = current.channels > 0 && current.bytesPerSample >= 2 && current.bytesPerSample <= 4;
                if (haveFormat && !streaming2 && !rateFound && length >= 11) {
                    const uint32_t rate = le24(d, 8);
                    if (rate != 0) {
                        data.initialFrequency = rate;
                        rateFound = true;
                    }
                }
            } else if (d[1] == kDescriptorEndpoint && inAlternate && length >= 7 &&
                       static_cast<TransferType>(d[3] & 0x03) == TransferType::isochronous) {
                if (((d[3] >> 4) & 0x03) == kUsageFeedback) {
                    streaming.feedbackEndpoints.push_back(d[2]);
                } else {
                    endpoints.push_back(d[2]);
                }
            }
        }
        finishAlternate();
    }
    auto unique = [](std::vector<uint8_t>& list) {
        std::sort(list.begin(), list.end());
        list.erase(std::unique(list.begin(), list.end()), list.end());
    };
    unique(streaming.feedbackEndpoints);
    unique(isochronous);
    for (const uint8_t endpoint : isochronous) {
        if (!std::binary_search(streaming.feedbackEndpoints.begin(), streaming.feedbackEndpoints.end(), endpoint)) {
            data.frequencyEndpoints.push_back(endpoint);
        }
    }
}

Speed guessSpeed(const ModelData& data)
{
    const auto descriptor = DeviceDescriptor::parse(data.device);
    return descriptor && descriptor->bcdUSB >= 0x0200 ? Speed::high : Speed::full;
}

std::optional<ModelData> modelFromFiles(std::span<const uint8_t> descriptors, std::string_view name,
                                        std::string_view side, std::string_view sideName,
                                        std::optional<Speed> speed, std::string* error)
{
    ModelData data;
    std::string problem;
    if (!parseDescriptorFile(descriptors, data, &problem)) {
        *error = join(std::string(name), ": ", problem);
        return std::nullopt;
    }
    data.speed = guessSpeed(data);
    if (!parseSideFile(side, sideName, data, error)) {
        return std::nullopt;
    }
    if (speed) {
        data.speed = *speed;
    }
    deriveStreams(data);
    return data;
}

std::optional<ModelData> readDeviceFiles(const DeviceFiles& files, std::string* error)
{
    std::string descriptors;
    std::string side;
    if (!readFile(files.descriptors, kMostFileBytes, descriptors, error) ||
        (!files.side.empty() && !readFile(files.side, kMostSideBytes, side, error))) {
        return std::nullopt;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(descriptors.data());
    return modelFromFiles({bytes, descriptors.size()}, files.descriptors, side, files.side, files.speed, error);
}

std::vector<uint8_t> descriptorFile(const DeviceModel& model)
{
    std::vector<uint8_t> file = model.deviceDescriptorBytes();
    for (const auto& configuration : model.configurationDescriptors()) {
        // As long as its wTotalLength, as Linux keeps it; a shorter one as it is.
        const size_t total = configuration.size() >= 4 ? le16(configuration, 2) : configuration.size();
        file.insert(file.end(), configuration.begin(),
                    configuration.begin() + static_cast<std::ptrdiff_t>(std::min(total, configuration.size())));
    }
    return file;
}

std::string sideFile(const DeviceModel& model)
{
    std::string text = "# What the descriptors file does not say: speed, strings, replies.\n";
    text += model.speed() == Speed::high ? "speed high\n" : "speed full\n";
    for (const auto& [index, string] : model.strings()) {
        text += join("string ", number(index), " ", string, "\n");
    }
    for (const auto& [index, status] : model.unreadableConfigurations()) {
        text += join("unreadable ", number(index), " ", statusWord(status), "\n");
    }
    for (const auto& row : model.replyTable()) {
        text += replyLine(row);
        text += '\n';
    }
    return text;
}

} // namespace usbsim::models
