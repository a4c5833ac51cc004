// A small device for the bus tests: one streaming interface with isochronous OUT and IN, one with
// bulk OUT, bulk IN and interrupt IN. What the host sends is recorded; what it reads comes from
// queues the test fills.
#pragma once

#include <deque>
#include <vector>

#include "usbsim/DeviceModel.h"

namespace usbsim::test {

inline constexpr uint8_t kIsocOut = 0x01;
inline constexpr uint8_t kIsocIn = 0x82;
inline constexpr uint8_t kBulkOut = 0x03;
inline constexpr uint8_t kBulkIn = 0x84;
inline constexpr uint8_t kInterruptIn = 0x85;

class TestDevice : public DeviceModel
{
public:
    struct Options
    {
        Speed speed = Speed::full;
        uint8_t isocInterval = 1;
        uint16_t isocPacket = 200;
    };

    TestDevice() : TestDevice(Options{}) {}
    explicit TestDevice(const Options& options)
    {
        using namespace descriptor_bytes;
        const bool hs = options.speed == Speed::high;
        const uint16_t bulk = hs ? 512 : 64;
        setSpeed(options.speed);
        const uint16_t usb = hs ? 0x0200 : 0x0110;
        // clang-format off
        setDeviceDescriptor({
            // Device: bLength, bDescriptorType, bcdUSB, bDeviceClass/SubClass/Protocol per interface, bMaxPacketSize0 64,
            //         idVendor, idProduct, bcdDevice 1.00, iManufacturer, iProduct, iSerialNumber none, bNumConfigurations
            18, kDescriptorDevice, lo(usb), hi(usb), 0x00, 0x00, 0x00, 64, lo(0x1209), hi(0x1209), lo(0x7E57), hi(0x7E57), lo(0x0100), hi(0x0100), 1, 2, 0, 1,
        });
        std::vector<uint8_t> config = {
            // Configuration: bLength, bDescriptorType, wTotalLength (set when finished), bNumInterfaces 2,
            //                bConfigurationValue 1, iConfiguration, bmAttributes bus powered, bMaxPower 100 mA
            9, kDescriptorConfiguration, 0, 0, 2, 1, 0, 0x80, 50,
            // Interface 0 without endpoints: bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting 0, bNumEndpoints,
            //                                bInterfaceClass vendor-specific, bInterfaceSubClass, bInterfaceProtocol, iInterface
            9, kDescriptorInterface, 0, 0, 0, 0xFF, 0, 0, 0,
            // Interface 0 streaming: bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting 1, bNumEndpoints 2,
            //                        bInterfaceClass vendor-specific, bInterfaceSubClass, bInterfaceProtocol, iInterface
            9, kDescriptorInterface, 0, 1, 2, 0xFF, 0, 0, 0,
            // Endpoint: bLength, bDescriptorType, bEndpointAddress, bmAttributes isochronous asynchronous, wMaxPacketSize, bInterval
            7, kDescriptorEndpoint, kIsocOut, 0x05, lo(options.isocPacket), hi(options.isocPacket), options.isocInterval,
            7, kDescriptorEndpoint, kIsocIn, 0x05, lo(options.isocPacket), hi(options.isocPacket), options.isocInterval,
            // Interface 1: bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting, bNumEndpoints 3,
            //              bInterfaceClass vendor-specific, bInterfaceSubClass, bInterfaceProtocol, iInterface
            9, kDescriptorInterface, 1, 0, 3, 0xFF, 0, 0, 0,
            // Endpoint: bLength, bDescriptorType, bEndpointAddress, bmAttributes bulk, wMaxPacketSize, bInterval
            7, kDescriptorEndpoint, kBulkOut, 0x02, lo(bulk), hi(bulk), 0,
            7, kDescriptorEndpoint, kBulkIn, 0x02, lo(bulk), hi(bulk), 0,
            // Endpoint: bLength, bDescriptorType, bEndpointAddress, bmAttributes interrupt, wMaxPacketSize 8,
            //           bInterval 2 frames or microframes
            7, kDescriptorEndpoint, kInterruptIn, 0x03, 8, 0, 2,
        };
        // clang-format on
        finishConfiguration(config);
        addConfiguration(config);
        setString(1, "Test Maker");
        setString(2, "Test Device");
        addReply({0xC0, 0x49, std::nullopt, std::nullopt}, {0x5A});
        addReply({0x40, 0x49, std::nullopt, std::nullopt}, {});
    }

    struct OutPacket
    {
        uint64_t frame;
        uint32_t microframe;
        std::vector<uint8_t> bytes;
    };

    std::vector<OutPacket> isocReceived() const
    {
        std::lock_guard lock(m_mutex);
        return m_isocOut;
    }
    std::vector<uint8_t> bulkReceived() const
    {
        std::lock_guard lock(m_mutex);
        return m_bulkOut;
    }
    // The bytes the bulk IN endpoint sends, at most `packetsPerFrame` packets per frame.
    void queueBulkIn(std::vector<uint8_t> packet)
    {
        std::lock_guard lock(m_mutex);
        m_bulkIn.push_back(std::move(packet));
    }
    void queueInterruptIn(std::vector<uint8_t> report)
    {
        std::lock_guard lock(m_mutex);
        m_interruptIn.push_back(std::move(report));
    }
    // Frame numbers at which interrupt reports went out.
    std::vector<uint64_t> interruptFrames() const
    {
        std::lock_guard lock(m_mutex);
        return m_interruptFrames;
    }
    void setBulkPacketsPerFrame(uint32_t packets)
    {
        std::lock_guard lock(m_mutex);
        m_packetsPerFrame = packets;
    }
    void setBulkOutReady(bool ready)
    {
        std::lock_guard lock(m_mutex);
        m_bulkOutReady = ready;
    }
    void setIsocInLength(uint32_t length)
    {
        std::lock_guard lock(m_mutex);
        m_isocInLength = length;
    }

protected:
    PacketResult isocInLocked(const EndpointLayout&, const FrameTime& time,
                              std::span<uint8_t> packet) override
    {
        const uint32_t n = std::min<uint32_t>(m_isocInLength, static_cast<uint32_t>(packet.size()));
        for (uint32_t i = 0; i < n; ++i) {
            packet[i] = static_cast<uint8_t>(time.frameNumber * 8 + time.microframe + i);
        }
        return PacketResult::data(m_isocInLength);
    }
    void isocOutLocked(const EndpointLayout&, const FrameTime& time, std::span<const uint8_t> packet) override
    {
        m_isocOut.push_back({time.frameNumber, time.microframe, {packet.begin(), packet.end()}});
    }
    PacketResult packetInLocked(const EndpointLayout& ep, const FrameTime& time,
                                std::span<uint8_t> packet) override
    {
        if (ep.bEndpointAddress == kInterruptIn && !m_interruptIn.empty()) {
            auto report = std::move(m_interruptIn.front());
            m_interruptIn.pop_front();
            std::copy_n(report.begin(), std::min(report.size(), packet.size()), packet.begin());
            m_interruptFrames.push_back(time.frameNumber);
            return PacketResult::data(static_cast<uint32_t>(report.size()));
        }
        if (ep.bEndpointAddress != kBulkIn || m_bulkIn.empty()) {
            return PacketResult::nak();
        }
        if (time.frameNumber != m_lastFrame) {
            m_lastFrame = time.frameNumber;
            m_sentThisFrame = 0;
        }
        if (m_sentThisFrame >= m_packetsPerFrame) {
            return PacketResult::nak();
        }
        ++m_sentThisFrame;
        auto bytes = std::move(m_bulkIn.front());
        m_bulkIn.pop_front();
        const size_t n = std::min(bytes.size(), packet.size());
        std::copy_n(bytes.begin(), n, packet.begin());
        return PacketResult::data(static_cast<uint32_t>(bytes.size()));
    }
    PacketResult packetOutLocked(const EndpointLayout&, const FrameTime&,
                                 std::span<const uint8_t> packet) override
    {
        if (!m_bulkOutReady) {
            return PacketResult::nak();
        }
        m_bulkOut.insert(m_bulkOut.end(), packet.begin(), packet.end());
        return PacketResult::data(static_cast<uint32_t>(packet.size()));
    }

private:
    std::vector<OutPacket> m_isocOut;
    std::vector<uint8_t> m_bulkOut;
    std::deque<std::vector<uint8_t>> m_bulkIn;
    std::deque<std::vector<uint8_t>> m_interruptIn;
    std::vector<uint64_t> m_interruptFrames;
    uint32_t m_packetsPerFrame = 1000;
    uint64_t m_lastFrame = ~uint64_t{0};
    uint32_t m_sentThisFrame = 0;
    uint32_t m_isocInLength = 100;
    bool m_bulkOutReady = true;
};

} // namespace usbsim::test
