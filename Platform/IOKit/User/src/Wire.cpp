#include "platform/IOKitWire.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform::iokit::wire {

const Value* Value::find(std::string_view key) const
{
    for (const auto& [k, v] : entries) {
        if (k == key) {
            return &v;
        }
    }
    return nullptr;
}

Writer& Writer::u8(uint8_t v)
{
    m_data.push_back(v);
    return *this;
}

Writer& Writer::u32(uint32_t v)
{
    const auto* p = reinterpret_cast<const uint8_t*>(&v);
    m_data.insert(m_data.end(), p, p + sizeof v);
    return *this;
}

Writer& Writer::u64(uint64_t v)
{
    const auto* p = reinterpret_cast<const uint8_t*>(&v);
    m_data.insert(m_data.end(), p, p + sizeof v);
    return *this;
}

Writer& Writer::bytes(const void* data, size_t size)
{
    u32(static_cast<uint32_t>(size));
    const auto* p = static_cast<const uint8_t*>(data);
    if (size != 0) {
        m_data.insert(m_data.end(), p, p + size);
    }
    return *this;
}

Writer& Writer::value(const Value& v)
{
    u8(static_cast<uint8_t>(v.kind));
    switch (v.kind) {
    case Value::Kind::Dictionary:
        u32(static_cast<uint32_t>(v.entries.size()));
        for (const auto& [key, element] : v.entries) {
            text(key);
            value(element);
        }
        break;
    case Value::Kind::Array:
        u32(static_cast<uint32_t>(v.elements.size()));
        for (const auto& element : v.elements) {
            value(element);
        }
        break;
    case Value::Kind::String:
    case Value::Kind::Data:
        text(v.bytes);
        break;
    case Value::Kind::Number:
        u8(v.bits);
        u64(v.number);
        break;
    case Value::Kind::Boolean:
        u8(v.number != 0 ? 1 : 0);
        break;
    }
    return *this;
}

Writer& Writer::entries(const std::vector<EntryRef>& list)
{
    u32(static_cast<uint32_t>(list.size()));
    for (const auto& e : list) {
        entry(e);
    }
    return *this;
}

const uint8_t* Reader::take(size_t n)
{
    if (m_failed || n > m_size - m_offset) {
        m_failed = true;
        return nullptr;
    }
    const uint8_t* p = m_data + m_offset;
    m_offset += n;
    return p;
}

uint8_t Reader::u8()
{
    const uint8_t* p = take(1);
    return p == nullptr ? 0 : *p;
}

uint32_t Reader::u32()
{
    uint32_t v = 0;
    if (const uint8_t* p = take(sizeof v)) {
        std::memcpy(&v, p, sizeof v);
    }
    return v;
}

uint64_t Reader::u64()
{
    uint64_t v = 0;
    if (const uint8_t* p = take(sizeof v)) {
        std::memcpy(&v, p, sizeof v);
    }
    return v;
}

std::string_view Reader::bytes(size_t limit)
{
    const uint32_t size = u32();
    if (size > limit) {
        m_failed = true;
        return {};
    }
    const uint8_t* p = take(size);
    return p == nullptr ? std::string_view() : std::string_view(reinterpret_cast<const char*>(p), size);
}

Value Reader::value(int depth)
{
    Value v;
    if (depth > kMaximumDepth) {
        m_failed = true;
        return v;
    }
    const uint8_t kind = u8();
    switch (static_cast<Value::Kind>(kind)) {
    case Value::Kind::Dictionary: {
        v.kind = Value::Kind::Dictionary;
        const uint32_t count = u32();
        // Every entry takes at least six bytes, so a count can never outrun the message.
        for (uint32_t i = 0; i < count && ok(); ++i) {
            std::string key = text();
            Value element = value(depth + 1);
            v.entries.emplace_back(std::move(key), std::move(element));
        }
        break;
    }
    case Value::Kind::Array: {
        v.kind = Value::Kind::Array;
        const uint32_t count = u32();
        for (uint32_t i = 0; i < count && ok(); ++i) {
            v.elements.push_back(value(depth + 1));
        }
        break;
    }
    case Value::Kind::String:
    case Value::Kind::Data:
        v.kind = static_cast<Value::Kind>(kind);
        v.bytes = std::string(bytes());
        break;
    case Value::Kind::Number:
        v.kind = Value::Kind::Number;
        v.bits = u8();
        v.number = u64();
        if (v.bits != 8 && v.bits != 16 && v.bits != 32 && v.bits != 64) {
            m_failed = true;
        }
        break;
    case Value::Kind::Boolean:
        v.kind = Value::Kind::Boolean;
        v.number = u8();
        if (v.number > 1) {
            m_failed = true;
        }
        break;
    default:
        m_failed = true;
        break;
    }
    return v;
}

EntryRef Reader::entry()
{
    EntryRef e;
    e.id = u64();
    e.className = text(256);
    return e;
}

std::vector<EntryRef> Reader::entries()
{
    std::vector<EntryRef> list;
    const uint32_t count = u32();
    for (uint32_t i = 0; i < count && ok(); ++i) {
        list.push_back(entry());
    }
    return list;
}

bool send(int socket, const std::vector<uint8_t>& message, int fd, bool dontWait)
{
    iovec io{const_cast<uint8_t*>(message.data()), message.size()};
    msghdr header{};
    header.msg_iov = &io;
    header.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (fd >= 0) {
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&header);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    }
    const int flags = MSG_NOSIGNAL | (dontWait ? MSG_DONTWAIT : 0);
    for (;;) {
        const ssize_t n = ::sendmsg(socket, &header, flags);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n == static_cast<ssize_t>(message.size());
    }
}

bool receive(int socket, std::vector<uint8_t>& buffer, int* fd)
{
    return receiveMessage(socket, buffer, fd) == Received::Message;
}

Received receiveMessage(int socket, std::vector<uint8_t>& buffer, int* fd)
{
    if (fd != nullptr) {
        *fd = -1;
    }
    // Received into a buffer of the largest size that is kept per thread, so that a short
    // message costs only its own bytes.
    thread_local std::unique_ptr<uint8_t[]> scratch(new uint8_t[kMaximumMessage]);
    iovec io{scratch.get(), kMaximumMessage};
    msghdr header{};
    header.msg_iov = &io;
    header.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    ssize_t n = 0;
    do {
        n = ::recvmsg(socket, &header, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    // Any descriptor that came along is taken (or closed) before the message is judged.
    int received = -1;
    size_t descriptors = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS &&
            c->cmsg_len >= CMSG_LEN(sizeof(int))) {
            const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            descriptors += count;
            for (size_t i = 0; i < count; ++i) {
                int one = -1;
                std::memcpy(&one, CMSG_DATA(c) + i * sizeof(int), sizeof one);
                if (received < 0 && fd != nullptr) {
                    received = one;
                } else {
                    ::close(one);
                }
            }
        }
    }
    Received outcome = Received::Message;
    if (n < 0) {
        outcome = Received::Closed;
    } else if ((header.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0 || descriptors > 1) {
        outcome = Received::Malformed;
    } else if (n == 0) {
        // An empty message reads as the end of the stream does; only a hang-up is the end.
        pollfd state{socket, POLLRDHUP, 0};
        const bool hungUp = ::poll(&state, 1, 0) == 1 && (state.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
        outcome = hungUp ? Received::Closed : Received::Malformed;
    }
    if (outcome != Received::Message) {
        if (received >= 0) {
            ::close(received);
        }
        buffer.clear();
        return outcome;
    }
    buffer.assign(scratch.get(), scratch.get() + n);
    if (fd != nullptr) {
        *fd = received;
    }
    return Received::Message;
}

} // namespace platform::iokit::wire
