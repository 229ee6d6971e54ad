// quavsim serve: the simulated machine running in real time (optionally scaled), its device reachable by
// other programs of the same user through a Unix-domain socket, as a user-mode program reaches the
// driver's device on the real system. The protocol is in tools/common/protocol.h.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <sys/types.h>
#include <sys/un.h>

#include <nlohmann/json.hpp>

#include "sim/user.h"

namespace CLI {
class App;
}

namespace quavsim {

// One connection's requests, on the handles it opened. Handle and CloseAll run on a thread attached to
// the simulation; the handles are an administrator's, as the package's device security wants.
class Session {
public:
    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // One request line in, one reply line out (without its newline). Never throws.
    std::string HandleLine(std::string_view line);
    nlohmann::json Handle(const nlohmann::json& request);
    // Closes the handles the client left open, as the system does when a process ends.
    void CloseAll();
    size_t OpenHandles() const { return handles_.size(); }

private:
    HANDLE HandleArgument(const nlohmann::json& request) const;

    sim::UserClient user_{true};
    std::vector<HANDLE> handles_; // oldest first
};

// Whether the peer of a connected Unix-domain socket runs as `owner`.
bool PeerIsOwner(int fd, uid_t owner);

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
    explicit Server(std::string path);
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
    void Serve(Connection* connection, size_t number);
    void Reap(bool all);

    std::string path_;
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

struct ServeOptions {
    std::string config; // .reg file
    double speed = 1.0;
    std::string socket_path;
    double duration = 0; // simulated seconds; 0: until SIGINT or SIGTERM
};

// Adds the `serve` subcommand with its options to quavsim's command line.
CLI::App* AddServeCommand(CLI::App& app, ServeOptions& options);
// Boots, serves, shuts the driver down and prints the summary; the process's exit code.
int RunServe(const ServeOptions& options);

} // namespace quavsim
