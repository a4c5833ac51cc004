// The messages between the kernel host and the user-side IOKit of a process. Each socket
// (SOCK_SEQPACKET) is one channel: a session (registry reads, matching, notification
// registration), one user-client connection, or one notification port that only the kernel
// writes to. A message is an operation code followed by little fields in host order; strings,
// byte blocks and property values carry their own lengths. The reader checks every length
// against what was received and fails (never reads past the end) on a short or malformed message.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace platform::iokit::wire {

enum class Role : uint32_t
{
    Session = 1,
    Connection = 2,
    Port = 3,
    Control = 4, // the kernel host's own commands (devices), for its control program
};

enum class Op : uint32_t
{
    Hello = 1,
    // Session.
    GetMatchingServices = 2,
    CopyProperties = 3,
    CopyProperty = 4,
    SetProperty = 5,
    ConformsTo = 6,
    ChildIterator = 7,
    ParentIterator = 8,
    AddMatchingNotification = 9,
    AddInterestNotification = 10,
    RemoveNotification = 11,
    ReleaseObject = 12,
    RootDomain = 21,
    // Connection.
    CallMethod = 13,
    MapMemory = 14,
    UnmapMemory = 15,
    Close = 16,
    // Notification port (kernel to process).
    Matched = 17,
    Interest = 18,
    // Replies.
    Reply = 19,
    // Control: a command line (count, then each word); the reply carries a text.
    Control = 20,
};

// Largest message on any channel (a 64 KiB structure plus its framing).
constexpr size_t kMaximumMessage = 72 * 1024;
// Deepest nesting of property values.
constexpr int kMaximumDepth = 32;
// Most scalars a method takes or gives.
constexpr uint32_t kMaximumScalars = 16;
// Largest structure a method takes or gives.
constexpr uint32_t kMaximumStructure = 64 * 1024;
// Largest interest-message argument.
constexpr uint32_t kMaximumArgument = 128;
// Most words of a control command, and the longest word.
constexpr uint32_t kMaximumControlWords = 16;
constexpr size_t kMaximumControlWord = 256;

// A property value as it crosses: what both a kernel object and a CF value can hold.
struct Value
{
    enum class Kind : uint8_t
    {
        Dictionary = 1,
        Array,
        String,
        Data,
        Number,
        Boolean,
    };
    Kind kind = Kind::Boolean;
    std::string bytes;                                  // String and Data
    uint64_t number = 0;                                // Number (its low `bits` bits), Boolean (0 or 1)
    uint8_t bits = 64;                                  // Number: 8, 16, 32 or 64
    std::vector<std::pair<std::string, Value>> entries; // Dictionary, in order
    std::vector<Value> elements;                        // Array

    Value() = default;
    explicit Value(Kind k) : kind(k) {}
    static Value dictionary() { return Value(Kind::Dictionary); }
    static Value string(std::string text)
    {
        Value v(Kind::String);
        v.bytes = std::move(text);
        return v;
    }
    static Value integer(uint64_t n, uint8_t width)
    {
        Value v(Kind::Number);
        v.number = n;
        v.bits = width;
        return v;
    }
    const Value* find(std::string_view key) const;
    bool operator==(const Value& other) const = default;
};

// A registry entry named to a process: its never-reused id and its class name.
struct EntryRef
{
    uint64_t id = 0;
    std::string className;
};

class Writer
{
public:
    explicit Writer(Op op) { u32(static_cast<uint32_t>(op)); }
    Writer& u8(uint8_t v);
    Writer& u32(uint32_t v);
    Writer& u64(uint64_t v);
    Writer& bytes(const void* data, size_t size);
    Writer& text(std::string_view s) { return bytes(s.data(), s.size()); }
    Writer& value(const Value& v);
    Writer& entry(const EntryRef& e) { return u64(e.id).text(e.className); }
    Writer& entries(const std::vector<EntryRef>& list);
    const std::vector<uint8_t>& data() const { return m_data; }

private:
    std::vector<uint8_t> m_data;
};

class Reader
{
public:
    Reader(const void* data, size_t size) : m_data(static_cast<const uint8_t*>(data)), m_size(size) {}
    Op op() { return static_cast<Op>(u32()); }
    uint8_t u8();
    uint32_t u32();
    uint64_t u64();
    // A length-prefixed block of at most `limit` bytes, as a view into the message.
    std::string_view bytes(size_t limit = kMaximumMessage);
    std::string text(size_t limit = 4096) { return std::string(bytes(limit)); }
    Value value() { return value(0); }
    EntryRef entry();
    std::vector<EntryRef> entries();
    // False once any read ran past the end or found a bad field.
    bool ok() const { return !m_failed; }
    bool atEnd() const { return m_offset == m_size; }

private:
    Value value(int depth);
    const uint8_t* take(size_t n);
    const uint8_t* m_data;
    size_t m_size;
    size_t m_offset = 0;
    bool m_failed = false;
};

// Sends one message, with `fd` attached when it is not -1. False when the peer is gone or the
// socket would block (with dontWait).
bool send(int socket, const std::vector<uint8_t>& message, int fd = -1, bool dontWait = false);
// What came in: a message; the end of the stream (or an error); or a message no peer following
// the protocol sends (empty, longer than kMaximumMessage, or with more than one descriptor).
enum class Received
{
    Message,
    Closed,
    Malformed,
};
// Receives one message into `buffer` (resized to what arrived; cleared unless a message came)
// and any descriptor attached to it (-1 for none).
Received receiveMessage(int socket, std::vector<uint8_t>& buffer, int* fd = nullptr);
// As receiveMessage; false for anything but a message.
bool receive(int socket, std::vector<uint8_t>& buffer, int* fd = nullptr);

} // namespace platform::iokit::wire

namespace platform::iokit::wire {
// The environment variable that names the kernel host's socket, and the socket's system path
// when it names none (placed under the process's root folder).
constexpr const char* kSocketEnvironment = "SONVEXA_KERNEL_SOCKET";
constexpr const char* kDefaultSocketPath = "/var/run/sonvexa-kerneld.socket";
} // namespace platform::iokit::wire
