#include "socket_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include "errno_text.h"
#include "private_dir.h"
#include "protocol.h"
#include "serve_session.h"
#include "sim/sim.h"

namespace quavsim {

namespace {

bool SendAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

enum class ReadResult { Line, End, TooLong };

// The next line from the socket; `buffer` keeps what came after it.
ReadResult ReadLine(int fd, std::string& buffer, std::string* line)
{
    for (;;) {
        const size_t end = buffer.find('\n');
        if (end != std::string::npos) {
            *line = buffer.substr(0, end);
            buffer.erase(0, end + 1);
            if (!line->empty() && line->back() == '\r') {
                line->pop_back();
            }
            return ReadResult::Line;
        }
        if (buffer.size() > quavproto::kMaxLine) {
            return ReadResult::TooLong;
        }
        char chunk[4096];
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return ReadResult::End;
        }
        buffer.append(chunk, static_cast<size_t>(n));
    }
}

} // namespace

bool PeerIsOwner(int fd, uid_t owner)
{
    struct ucred peer {};
    socklen_t size = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || size != sizeof peer) {
        return false;
    }
    return peer.uid == owner;
}

Server::Server(std::string path, ServerOptions options) : path_(std::move(path)), options_(std::move(options))
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.empty() || path_.size() >= sizeof address.sun_path) {
        throw std::runtime_error("the socket path must have 1 to " +
                                 std::to_string(sizeof address.sun_path - 1) + " characters: " + path_);
    }
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    dir_ = SocketDirectory(path_);
    made_dir_ = MakePrivateDirectory(dir_);
    try {
        Listen(address);
    } catch (...) {
        if (made_dir_) {
            rmdir(dir_.c_str());
        }
        throw;
    }
}

void Server::Listen(const sockaddr_un& address)
{
    struct stat st {};
    if (lstat(path_.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            throw std::runtime_error(path_ + " exists and is not a socket");
        }
        // A socket nobody answers on is left over from a server that did not end cleanly.
        const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool answered =
            probe >= 0 && connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        if (probe >= 0) {
            close(probe);
        }
        if (answered) {
            throw std::runtime_error("another quavsim is already serving " + path_);
        }
        unlink(path_.c_str());
    }

    listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) {
        throw std::runtime_error(Errno("cannot create a socket"));
    }
    const mode_t old_mask = umask(0177); // the socket file is created 0600
    const int bound = bind(listen_fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    umask(old_mask);
    if (bound != 0) {
        const std::string what = Errno("cannot bind " + path_);
        close(listen_fd_);
        throw std::runtime_error(what);
    }
    if (chmod(path_.c_str(), 0600) != 0 || listen(listen_fd_, 16) != 0 || lstat(path_.c_str(), &st) != 0 ||
        pipe2(wake_, O_CLOEXEC) != 0) {
        const std::string what = Errno("cannot listen on " + path_);
        close(listen_fd_);
        unlink(path_.c_str());
        throw std::runtime_error(what);
    }
    socket_dev_ = st.st_dev;
    socket_ino_ = st.st_ino;
}

Server::~Server()
{
    Stop();
    close(listen_fd_);
    close(wake_[0]);
    close(wake_[1]);
    // Only our own socket: another server may have taken the path over.
    struct stat st {};
    if (lstat(path_.c_str(), &st) == 0 && st.st_dev == socket_dev_ && st.st_ino == socket_ino_) {
        unlink(path_.c_str());
    }
    if (made_dir_) {
        rmdir(dir_.c_str());
    }
}

void Server::Start()
{
    accept_thread_ = std::thread([this] { AcceptLoop(); });
}

void Server::Stop()
{
    {
        std::lock_guard lk(mu_);
        if (stopped_) {
            return;
        }
        stopped_ = true;
    }
    if (accept_thread_.joinable()) {
        const ssize_t n = write(wake_[1], "x", 1);
        (void)n;
        accept_thread_.join();
    }
    {
        std::lock_guard lk(mu_);
        for (const auto& connection : connections_) {
            if (connection->fd >= 0) {
                shutdown(connection->fd, SHUT_RDWR); // its thread wakes, closes the handles and ends
            }
        }
    }
    Reap(true);
}

ServerStats Server::stats() const
{
    std::lock_guard lk(mu_);
    return stats_;
}

void Server::Reap(bool all)
{
    std::list<std::unique_ptr<Connection>> ended;
    {
        std::lock_guard lk(mu_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            auto next = std::next(it);
            if (all || (*it)->done) {
                ended.splice(ended.end(), connections_, it);
            }
            it = next;
        }
    }
    for (const auto& connection : ended) {
        connection->thread.join();
    }
}

void Server::AcceptLoop()
{
    for (;;) {
        pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors or memory: the connection stays queued until some are free. Other errors
            // (a connection aborted while queued, a signal) concern one connection or none.
            if ((errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) && !BackOff()) {
                return;
            }
            continue;
        }
        Reap(false);
        try {
            Admit(fd);
        } catch (const std::exception&) {
            Refuse(fd, "refused: the server cannot take the connection"); // no memory for its record
        }
    }
}

// False when Stop is waiting for the accept thread.
bool Server::BackOff()
{
    if (options_.back_off) {
        options_.back_off();
        return true;
    }
    pollfd wake{wake_[0], POLLIN, 0};
    return poll(&wake, 1, static_cast<int>(kAcceptBackOff.count())) <= 0;
}

void Server::Admit(int fd)
{
    if (!PeerIsOwner(fd, geteuid())) {
        Refuse(fd, "refused: not the server's user");
        return;
    }
    std::unique_lock lk(mu_);
    const size_t live = static_cast<size_t>(std::count_if(
        connections_.begin(), connections_.end(), [](const auto& connection) { return !connection->done; }));
    if (live >= options_.max_connections) {
        lk.unlock();
        Refuse(fd, "refused: the server is serving its limit of " + std::to_string(options_.max_connections) +
                       " connections; try again when one ends");
        return;
    }
    connections_.push_back(std::make_unique<Connection>());
    Connection* connection = connections_.back().get();
    connection->fd = fd;
    try {
        if (options_.before_thread_start) {
            options_.before_thread_start();
        }
        connection->thread = std::thread(&Server::Serve, this, connection, stats_.connections + 1);
    } catch (const std::exception&) { // std::system_error, or no memory for the thread's state
        connections_.pop_back();
        lk.unlock();
        Refuse(fd, "refused: the server cannot start a thread for the connection");
        return;
    }
    stats_.connections++;
}

// A polite refusal: the reason as the protocol's error reply, then the connection closes. Never blocks:
// a client that does not read loses the reply, not the server its accept thread.
void Server::Refuse(int fd, const std::string& why) noexcept
{
    try {
        const std::string reply = ErrorReply(why).dump() + "\n";
        const ssize_t n = send(fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        (void)n;
    } catch (const std::exception&) {
        // No memory for the reply: the connection closes without one.
    }
    close(fd);
    std::lock_guard lk(mu_);
    stats_.refused++;
}

// One connection: the thread takes part in the simulation while it carries out a request and steps out
// while it waits on the socket, so a client that sends nothing does not hold up simulated time.
void Server::Serve(Connection* connection, size_t number)
{
    const int fd = connection->fd;
    {
        sim::AttachedThread attached("client " + std::to_string(number));
        Session session;
        std::string buffer;
        std::string reply;
        bool closing = false;
        for (;;) {
            std::string line;
            ReadResult result = ReadResult::End;
            {
                sim::OutsideSimulation outside;
                if (!reply.empty() && !SendAll(fd, reply)) {
                    break;
                }
                reply.clear();
                if (closing) {
                    break;
                }
                result = ReadLine(fd, buffer, &line);
            }
            if (result == ReadResult::End) {
                break;
            }
            if (result == ReadResult::TooLong) {
                reply = ErrorReply("the request line is longer than " + std::to_string(quavproto::kMaxLine) +
                                   " bytes")
                            .dump() +
                        "\n";
                closing = true;
                continue;
            }
            reply = session.HandleLine(line) + "\n";
            std::lock_guard lk(mu_);
            stats_.requests++;
        }
        session.CloseAll();
    }
    std::lock_guard lk(mu_);
    close(fd);
    connection->fd = -1;
    connection->done = true;
}

} // namespace quavsim
