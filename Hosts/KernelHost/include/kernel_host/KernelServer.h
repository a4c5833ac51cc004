// The kernel host's socket server: it lets user processes reach a KernelHost through the
// user-side IOKit. Each accepted socket is one channel of one process (the peer's pid and uid
// come from the socket): a session (registry reads, matching, notification registration), a
// user-client connection, or a notification port. A connection that ends with a close request
// is closed in order; one that drops is the death of its process and reaches clientDied. When a
// process's last channel goes, everything it held is released.
//
// Each channel is served on its own thread, so a request that blocks in the kernel holds up
// only its caller. Notifications are sent to a port without waiting; a port that is full loses
// the message (counted), a port that is gone is skipped.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

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

    // What one user can hold: channels open at once, and the time a new channel has to say
    // which it is before it is closed. Set before listen.
    struct Limits
    {
        size_t channelsPerUser = 256;
        std::chrono::milliseconds helloTimeout{5000};
    };
    void setLimits(const Limits& limits) { m_limits = limits; }

    // Listens at `path`. A socket there that a live server answers is an error ("in use"); a
    // stale one is replaced; any other file there is an error. False with `error` set on failure.
    bool listen(const std::string& path, std::string* error);
    // Stops accepting, ends every channel as if its process had died, and waits for the threads.
    void stop();

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

private:
    struct Channel;
    void acceptLoop();
    void serve(Channel* channel);
    void serveSession(Channel& channel, const std::shared_ptr<Task>& task);
    void serveControl(Channel& channel, uid_t peer);
    void serveConnection(Channel& channel, const std::shared_ptr<Task>& task, uint64_t serviceID,
                         uint32_t type);
    std::shared_ptr<Task> attachTask(pid_t pid, uid_t uid, const std::string& name);
    void detachTask(const std::shared_ptr<Task>& task);
    void reapFinished();

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
    uint64_t m_nextPort = 1;                        // guarded by m_mutex
    bool m_stopping = false;                        // guarded by m_mutex
};

} // namespace kernel_host
