// The served socket: a Unix-domain socket in a private directory, a thread that polls it for
// connections and a thread per connection that reads request lines and writes the replies of its
// Session.
//
// The connections are bounded (ServerOptions::max_connections at once): one beyond the bound, or one
// whose thread cannot start, gets an {"error"} line and is closed, and counts as refused; the server goes
// on. When accept() fails for want of descriptors or memory, the pending connection stays queued and
// poll() would report it again at once: the accept thread waits (kAcceptBackOff on the host clock, or
// until Stop) for connections to end instead of spinning.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <sys/types.h>
#include <sys/un.h>

namespace quavsim {

// Whether the peer of a connected Unix-domain socket runs as `owner`.
bool PeerIsOwner(int fd, uid_t owner);

struct ServerOptions {
    // Each connection holds a descriptor and a thread with its stack; the bound keeps a client that opens
    // connections in a loop from exhausting either. Far more than the few programs that query a sensor
    // driver at once.
    static constexpr size_t kMaxConnections = 32;

    size_t max_connections = kMaxConnections;
    // Seams for the tests, failures the host rarely produces on demand. Called on the accept thread just
    // before a connection's thread starts; what it throws (std::system_error, as std::thread does when
    // the system cannot create a thread) is taken as the thread's failure to start.
    std::function<void()> before_thread_start;
    // Replaces the back-off wait after an accept error.
    std::function<void()> back_off;
};

struct ServerStats {
    size_t connections = 0;
    size_t refused = 0;
    size_t requests = 0;
};

// The listening socket and the connections' threads. The constructor makes the private directory (0700)
// and the socket (0600) and listens; Start accepts; Stop ends every connection (closing the handles they
// left open) and must be called from a thread that is not holding the simulation's processor.
class Server {
public:
    static constexpr std::chrono::milliseconds kAcceptBackOff{100};

    explicit Server(std::string path, ServerOptions options = {});
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    const std::string& path() const { return path_; }
    void Start();
    void Stop();
    ServerStats stats() const;

private:
    struct Connection {
        int fd = -1; // -1 once the connection's thread has closed it
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void Listen(const sockaddr_un& address);
    void AcceptLoop();
    bool BackOff();
    void Admit(int fd);
    void Refuse(int fd, const std::string& why) noexcept;
    void Serve(Connection* connection, size_t number);
    void Reap(bool all);

    std::string path_;
    ServerOptions options_;
    std::string dir_;
    bool made_dir_ = false;
    int listen_fd_ = -1;
    int wake_[2] = {-1, -1}; // tells the accept thread to stop
    dev_t socket_dev_ = 0;
    ino_t socket_ino_ = 0;
    std::thread accept_thread_;
    mutable std::mutex mu_;
    std::list<std::unique_ptr<Connection>> connections_;
    ServerStats stats_;
    bool stopped_ = false;
};

} // namespace quavsim
