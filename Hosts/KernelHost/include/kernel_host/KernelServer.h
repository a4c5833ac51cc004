// The kernel host's socket server: it lets user processes reach a KernelHost through the
// user-side IOKit. Each accepted socket is one channel of one process (the peer's pid and uid
// come from the socket): a session (registry reads, matching, notification registration), a
// user-client connection, or a notification port. A connection that ends with a close request
// is closed in order; one that drops is the death of its process and reaches clientDied. When a
// process's last channel goes, everything it held is released.
//
// Each channel is served on its own thread, so a request that blocks in the kernel holds up
// only its caller. A process's notifications are delivered by one thread of its own and sent to
// a port without waiting; a port that is full loses the message (counted), a port that is gone
// is skipped. A malformed message is answered with a status where a reply can be sent, and the
// channel is closed. Log lines caused by one user are limited; the suppressed count is logged.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kernel_host/KernelHost.h"

namespace kernel_host {

class KernelServer
{
public:
    explicit KernelServer(KernelHost& host);
    // Stops serving (as stop()).
    ~KernelServer();
    KernelServer(const KernelServer&) = delete;
    KernelServer& operator=(const KernelServer&) = delete;

    // What one user can hold: channels open at once, notifications registered, log lines in a
    // window of host time; the time a new channel has to say which it is before it is closed.
    // Set before listen.
    struct Limits
    {
        size_t channelsPerUser = 256;
        std::chrono::milliseconds helloTimeout{5000};
        size_t notificationsPerUser = 512;
        // Registry entries named to the processes of one user and not yet given back: a name keeps
        // its object (a terminated service too) alive.
        size_t entriesPerUser = 1024;
        size_t logLinesPerWindow = 20;
        std::chrono::milliseconds logWindow{10'000};
    };
    void setLimits(const Limits& limits) { m_limits = limits; }

    // Listens at `path`. A socket there that a live server answers is an error ("in use"); a
    // stale one is replaced; any other file there is an error. False with `error` set on failure.
    bool listen(const std::string& path, std::string* error);
    // Stops accepting, ends every channel as if its process had died, and waits for the threads.
    void stop();
    // As stop, but waits at most `deadline` for requests still in the kernel: false when some
    // still run then (each is logged: process, channel, request and for how long). Those
    // channels end later, or with stop().
    bool stop(std::chrono::milliseconds deadline);

    // The host program's commands (a command line in, a status and a text out), taken on
    // control channels from processes of this host's own user or root only. Set before listen.
    using ControlHandler =
        std::function<IOReturn(const std::vector<std::string>& words, std::string& answer)>;
    void setControlHandler(ControlHandler handler) { m_control = std::move(handler); }

    // Channels open now, and processes with at least one.
    size_t channelCount() const;
    size_t processCount() const;
    // Notification messages dropped because a port was full.
    uint64_t droppedMessages() const { return m_dropped.load(); }

    struct Task;
    struct Port;
    struct Notification;
    struct User;

private:
    struct Channel;
    struct Request;
    struct ConnectionRequest;
    using SessionHandler = std::vector<uint8_t> (KernelServer::*)(Request&);
    using ConnectionHandler = std::vector<uint8_t> (KernelServer::*)(ConnectionRequest&);
    struct SessionOperation;
    struct ConnectionOperation;
    static const SessionOperation kSessionOperations[];
    static const ConnectionOperation kConnectionOperations[];

    void acceptLoop();
    void refuse(int fd, IOReturn status);
    void serve(Channel* channel);
    void servePort(Channel& channel, const std::shared_ptr<Task>& task);
    void serveSession(Channel& channel, const std::shared_ptr<Task>& task);
    void serveControl(Channel& channel, uid_t peer);
    void serveConnection(Channel& channel, const std::shared_ptr<Task>& task, uint64_t serviceID,
                         uint32_t type);
    // Receives the next request: false at the end of the channel. A malformed message is
    // answered (where possible) and ends the channel too.
    bool receiveRequest(Channel& channel, std::vector<uint8_t>& message);

    // Session operations, one each.
    std::vector<uint8_t> getMatchingServices(Request& request);
    std::vector<uint8_t> copyProperties(Request& request);
    std::vector<uint8_t> setProperty(Request& request);
    std::vector<uint8_t> conformsTo(Request& request);
    std::vector<uint8_t> iterateRelatives(Request& request);
    std::vector<uint8_t> addNotification(Request& request);
    std::vector<uint8_t> rootDomain(Request& request);
    // Logs that the process's user may hold no more registry entries.
    void refuseEntries(Request& request);
    std::vector<uint8_t> removeNotification(Request& request);
    std::vector<uint8_t> releaseObject(Request& request);
    // Connection operations, one each.
    std::vector<uint8_t> callMethod(ConnectionRequest& request);
    std::vector<uint8_t> mapMemory(ConnectionRequest& request);
    std::vector<uint8_t> unmapMemory(ConnectionRequest& request);
    std::vector<uint8_t> closeConnection(ConnectionRequest& request);

    std::shared_ptr<Task> attachTask(pid_t pid, uid_t uid, const std::string& name);
    void detachTask(const std::shared_ptr<Task>& task);
    std::shared_ptr<User> userOf(uid_t uid);
    // A log line caused by user `uid`, within that user's share of the log.
    void logFor(uid_t uid, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Takes one of the user's lines in the log window; false when it has none left (the line is
    // counted, and the count logged once a window admits a line again).
    bool admitLine(uid_t uid, User& user);
    class UserLineGate;
    void reapFinished();
    void stopAccepting();
    bool joinChannels(const std::chrono::steady_clock::time_point* deadline);

    KernelHost& m_host;
    int m_listener = -1;
    int m_wake[2] = {-1, -1};
    std::string m_path;
    std::thread m_acceptThread;
    std::atomic<uint64_t> m_dropped{0};
    ControlHandler m_control;
    Limits m_limits;

    mutable std::mutex m_mutex;
    std::list<std::unique_ptr<Channel>> m_channels; // guarded by m_mutex
    std::map<pid_t, std::shared_ptr<Task>> m_tasks; // guarded by m_mutex
    std::map<uid_t, std::shared_ptr<User>> m_users; // guarded by m_mutex
    uint64_t m_nextPort = 1;                        // guarded by m_mutex
    bool m_stopping = false;                        // guarded by m_mutex
    std::condition_variable m_channelFinished;      // with m_mutex
};

} // namespace kernel_host
