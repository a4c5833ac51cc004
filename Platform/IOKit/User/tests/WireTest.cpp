#include <gtest/gtest.h>

#include <cstring>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "platform/IOKitUser.h"
#include "platform/IOKitWire.h"

namespace {

using namespace platform::iokit;
using wire::Value;

TEST(WireTest, PropertyValuesCrossBetweenCoreFoundationAndTheWire)
{
    // A dictionary of every kind the kernel can hold, through the wire and back.
    CFMutableDictionaryRef d = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                         &kCFTypeDictionaryValueCallBacks);
    const SInt32 n32 = -2;
    const SInt64 n64 = 1LL << 40;
    CFNumberRef a = CFNumberCreate(nullptr, kCFNumberSInt32Type, &n32);
    CFNumberRef b = CFNumberCreate(nullptr, kCFNumberSInt64Type, &n64);
    const UInt8 bytes[] = {0, 1, 2};
    CFDataRef data = CFDataCreate(nullptr, bytes, 3);
    CFMutableArrayRef array = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    CFArrayAppendValue(array, kCFBooleanTrue);
    CFArrayAppendValue(array, CFSTR("text"));
    CFDictionarySetValue(d, CFSTR("big"), b);
    CFDictionarySetValue(d, CFSTR("data"), data);
    CFDictionarySetValue(d, CFSTR("list"), array);
    auto value = user::wireValue(d);
    ASSERT_TRUE(value);
    EXPECT_EQ(value->find("big")->bits, 64);
    wire::Writer w(wire::Op::Reply);
    w.value(*value);
    wire::Reader r(w.data().data(), w.data().size());
    r.op();
    const Value back = r.value();
    ASSERT_TRUE(r.ok() && r.atEnd());
    CFTypeRef made = user::createCFValue(back);
    EXPECT_TRUE(CFEqual(made, d));
    CFRelease(made);

    // A kernel number of 32 bits crosses as the unsigned value the kernel held.
    CFDictionarySetValue(d, CFSTR("small"), a);
    value = user::wireValue(d);
    EXPECT_EQ(value->find("small")->number, 0xFFFFFFFEu);
    CFTypeRef number = user::createCFValue(*value->find("small"));
    SInt64 n = 0;
    CFNumberGetValue(static_cast<CFNumberRef>(number), kCFNumberSInt64Type, &n);
    EXPECT_EQ(n, 0xFFFFFFFE);
    CFRelease(number);

    // Values with no kernel form do not cross.
    const double real = 0.5;
    CFNumberRef f = CFNumberCreate(nullptr, kCFNumberFloat64Type, &real);
    CFDictionarySetValue(d, CFSTR("real"), f);
    EXPECT_FALSE(user::wireValue(d));
    for (CFTypeRef o :
         {CFTypeRef(d), CFTypeRef(a), CFTypeRef(b), CFTypeRef(data), CFTypeRef(array), CFTypeRef(f)}) {
        CFRelease(o);
    }
}

TEST(WireTest, MalformedMessagesAreRefusedWithoutReadingPastTheirEnd)
{
    auto bytes = [](std::initializer_list<uint8_t> list) { return std::vector<uint8_t>(list); };
    struct Case
    {
        const char* what;
        std::vector<uint8_t> message;
    };
    const Case cases[] = {
        {"empty", {}},
        {"a length past the end", bytes({3, 0, 0, 0, 0xFF, 0, 0, 0, 'a'})},
        {"an unknown kind", bytes({9})},
        {"a number of 12 bits", bytes({5, 12, 1, 0, 0, 0, 0, 0, 0, 0})},
        {"a boolean of 2", bytes({6, 2})},
        {"a count with nothing behind it", bytes({2, 0xFF, 0xFF, 0xFF, 0xFF})},
    };
    for (const auto& c : cases) {
        wire::Reader r(c.message.data(), c.message.size());
        r.value();
        EXPECT_FALSE(r.ok()) << c.what;
    }
    // Nesting deeper than the wire allows.
    std::vector<uint8_t> deep;
    for (int i = 0; i <= wire::kMaximumDepth + 1; ++i) {
        deep.insert(deep.end(), {2, 1, 0, 0, 0});
    }
    deep.insert(deep.end(), {6, 0});
    wire::Reader r(deep.data(), deep.size());
    r.value();
    EXPECT_FALSE(r.ok());
}

// What arrives on a channel: a message, the end, or input no peer following the protocol sends
// (empty, longer than the largest message, more than one descriptor), told apart from the end.
TEST(WireTest, ReceivingTellsMalformedInputFromTheEnd)
{
    struct Case
    {
        const char* what;
        size_t length;
        int descriptors;
        bool closeAfter;
        wire::Received expected;
    };
    const Case cases[] = {
        {"a message", 8, 0, false, wire::Received::Message},
        {"a message with one descriptor", 8, 1, false, wire::Received::Message},
        {"an empty message", 0, 0, false, wire::Received::Malformed},
        {"an oversize message", wire::kMaximumMessage + 1, 0, false, wire::Received::Malformed},
        {"two descriptors", 8, 2, false, wire::Received::Malformed},
        {"the end", 0, 0, true, wire::Received::Closed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
        if (c.closeAfter) {
            ::close(pair[0]);
            pair[0] = -1;
        } else {
            std::vector<uint8_t> bytes(c.length, 7);
            iovec io{bytes.data(), bytes.size()};
            msghdr header{};
            header.msg_iov = &io;
            header.msg_iovlen = 1;
            std::vector<int> fds(static_cast<size_t>(c.descriptors), STDIN_FILENO);
            std::vector<char> control(CMSG_SPACE(sizeof(int) * fds.size()));
            if (!fds.empty()) {
                header.msg_control = control.data();
                header.msg_controllen = control.size();
                cmsghdr* cm = CMSG_FIRSTHDR(&header);
                cm->cmsg_level = SOL_SOCKET;
                cm->cmsg_type = SCM_RIGHTS;
                cm->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
                std::memcpy(CMSG_DATA(cm), fds.data(), sizeof(int) * fds.size());
            }
            ASSERT_EQ(::sendmsg(pair[0], &header, MSG_NOSIGNAL), static_cast<ssize_t>(c.length));
        }
        std::vector<uint8_t> buffer(3, 1);
        int fd = -2;
        EXPECT_EQ(wire::receiveMessage(pair[1], buffer, &fd), c.expected);
        if (c.expected == wire::Received::Message) {
            EXPECT_EQ(buffer.size(), c.length);
            EXPECT_EQ(fd >= 0, c.descriptors == 1);
        } else {
            EXPECT_TRUE(buffer.empty());
            EXPECT_EQ(fd, -1);
        }
        if (fd >= 0) {
            ::close(fd);
        }
        if (pair[0] >= 0) {
            ::close(pair[0]);
        }
        ::close(pair[1]);
    }
}

} // namespace
