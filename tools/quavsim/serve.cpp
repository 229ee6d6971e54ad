#include "serve.h"

#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "platform.h"
#include "quavpub.h"
#include "protocol.h"
#include "sim/sim.h"
#include "simulation.h"

namespace quavsim {

namespace {

using nlohmann::json;

// The sensor data block the driver registers with WMI: twelve SENSOR_DATA_ENTRY records, methods 1 and 2.
const GUID kSensorDataGuid = QUAV_SENSOR_DATA_GUID_INIT;

// A request that cannot be carried out as written: its reply is {"error": what()}.
struct BadRequest : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string Errno(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

uint32_t Number(const json& request, const char* key, std::optional<uint32_t> fallback = std::nullopt)
{
    auto it = request.find(key);
    if (it == request.end()) {
        if (fallback) {
            return *fallback;
        }
        throw BadRequest(std::string("\"") + key + "\" is missing");
    }
    if (!it->is_number_unsigned() || it->get<uint64_t>() > UINT32_MAX) {
        throw BadRequest(std::string("\"") + key + "\" must be a whole number from 0 to 4294967295");
    }
    return static_cast<uint32_t>(it->get<uint64_t>());
}

std::vector<uint8_t> Bytes(const json& request, const char* key)
{
    auto it = request.find(key);
    if (it == request.end()) {
        return {};
    }
    if (!it->is_string()) {
        throw BadRequest(std::string("\"") + key + "\" must be a string of hex digits");
    }
    std::optional<std::vector<uint8_t>> bytes = quavproto::FromHex(it->get<std::string>());
    if (!bytes) {
        throw BadRequest(std::string("\"") + key + "\" is not an even number of hex digits");
    }
    if (bytes->size() > quavproto::kMaxBuffer) {
        throw BadRequest(std::string("\"") + key + "\" is larger than " +
                         std::to_string(quavproto::kMaxBuffer) + " bytes");
    }
    return std::move(*bytes);
}

uint32_t OutputSize(const json& request)
{
    const uint32_t size = Number(request, "output_size", 0);
    if (size > quavproto::kMaxBuffer) {
        throw BadRequest("\"output_size\" is larger than " + std::to_string(quavproto::kMaxBuffer) +
                         " bytes");
    }
    return size;
}

json Error(const std::string& what)
{
    return json{{"error", what}};
}

uint32_t Unsigned(NTSTATUS status)
{
    return static_cast<uint32_t>(status);
}

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

// Creates the socket's directory readable by its owner only, or accepts an existing one that is ours and
// closed to everybody else: the directory, not the socket's own mode, is what keeps others out.
bool MakePrivateDirectory(const std::string& dir)
{
    bool made = false;
    if (mkdir(dir.c_str(), 0700) == 0) {
        made = true;
    } else if (errno != EEXIST) {
        throw std::runtime_error(Errno("cannot create the directory " + dir));
    }
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0) {
        throw std::runtime_error(Errno("cannot inspect " + dir));
    }
    if (!S_ISDIR(st.st_mode)) {
        throw std::runtime_error(dir + " is not a directory");
    }
    if (st.st_uid != geteuid()) {
        throw std::runtime_error(dir + " belongs to another user");
    }
    if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        throw std::runtime_error(dir + " is open to other users (mode " + mode +
                                 "); the socket needs a private directory (mode 0700)");
    }
    return made;
}

// SIGINT and SIGTERM are turned into a byte on this pipe, which the main thread waits on.
int g_signal_pipe[2] = {-1, -1};

extern "C" void OnStopSignal(int)
{
    const int saved = errno;
    const ssize_t n = write(g_signal_pipe[1], "s", 1);
    (void)n;
    errno = saved;
}

void InstallStopSignals()
{
    if (g_signal_pipe[0] < 0 && pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::runtime_error(Errno("cannot create a pipe"));
    }
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// A second signal while the driver shuts down ends the process at once.
void RestoreStopSignals()
{
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
}

// Until a stop signal or, with a duration, until that much simulated time has passed. The thread steps
// out of the simulation while it waits, so that the driver's threads have the processor.
void WaitForStop(const ServeOptions& options)
{
    const sim::Ticks end = sim::Now() + static_cast<sim::Ticks>(options.duration * sim::kTicksPerSecond);
    for (;;) {
        int timeout_ms = -1;
        if (options.duration > 0) {
            const sim::Ticks left = end - sim::Now();
            if (left <= 0) {
                return;
            }
            const double host_ms = static_cast<double>(left) / sim::kTicksPerMs / options.speed;
            timeout_ms = static_cast<int>(std::clamp(std::ceil(host_ms), 1.0, 3'600'000.0));
        }
        pollfd p{g_signal_pipe[0], POLLIN, 0};
        int ready;
        {
            sim::OutsideSimulation outside;
            ready = poll(&p, 1, timeout_ms);
        }
        if (ready > 0) {
            char drain[16];
            while (read(g_signal_pipe[0], drain, sizeof drain) > 0) {
            }
            return;
        }
    }
}

} // namespace

// --- Session ---

std::string Session::HandleLine(std::string_view line)
{
    json reply;
    try {
        reply = Handle(json::parse(line));
    } catch (const json::parse_error&) {
        reply = Error("the request is not a JSON object on one line");
    } catch (const std::exception& e) {
        reply = Error(std::string("the request failed: ") + e.what());
    }
    return reply.dump(-1, ' ', false, json::error_handler_t::replace);
}

HANDLE Session::HandleArgument(const json& request) const
{
    if (request.contains("handle")) {
        const uint32_t value = Number(request, "handle");
        return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
    }
    // No handle open: the client gets the system's answer to a bad handle.
    return handles_.empty() ? nullptr : handles_.back();
}

json Session::Handle(const json& request)
{
    try {
        if (!request.is_object()) {
            throw BadRequest("a request is a JSON object");
        }
        auto op_it = request.find("op");
        if (op_it == request.end() || !op_it->is_string()) {
            throw BadRequest("the request has no \"op\"");
        }
        const std::string op = op_it->get<std::string>();

        if (op == "open") {
            HANDLE handle = nullptr;
            const NTSTATUS status = user_.Open(u"" QUAV_USER_PATH_TEXT, &handle);
            json reply{{"status", Unsigned(status)}};
            if (NT_SUCCESS(status)) {
                handles_.push_back(handle);
                reply["handle"] = reinterpret_cast<uintptr_t>(handle);
            }
            return reply;
        }
        if (op == "close") {
            HANDLE handle = HandleArgument(request);
            const NTSTATUS status = user_.Close(handle);
            std::erase(handles_, handle);
            return json{{"status", Unsigned(status)}};
        }
        if (op == "device-control") {
            HANDLE handle = HandleArgument(request);
            const uint32_t code = Number(request, "code");
            const std::vector<uint8_t> in = Bytes(request, "input");
            std::vector<uint8_t> out(OutputSize(request));
            ULONG returned = 0;
            const NTSTATUS status = user_.DeviceIoControl(
                handle, code, in.empty() ? nullptr : in.data(), static_cast<ULONG>(in.size()),
                out.empty() ? nullptr : out.data(), static_cast<ULONG>(out.size()), &returned);
            out.resize(std::min<size_t>(returned, out.size()));
            return json{
                {"status", Unsigned(status)}, {"information", returned}, {"output", quavproto::ToHex(out)}};
        }
        if (op == "wmi-query") {
            std::vector<uint8_t> data;
            const NTSTATUS status = sim::Machine::Current().wmi().QueryAllData(kSensorDataGuid, &data);
            return json{{"status", Unsigned(status)}, {"data", quavproto::ToHex(data)}};
        }
        if (op == "wmi-method") {
            const uint32_t method = Number(request, "method");
            const std::vector<uint8_t> in = Bytes(request, "input");
            const uint32_t out_size = OutputSize(request);
            std::vector<uint8_t> out;
            const NTSTATUS status =
                sim::Machine::Current().wmi().ExecuteMethod(kSensorDataGuid, 0, method, in, out_size, &out);
            return json{{"status", Unsigned(status)}, {"output", quavproto::ToHex(out)}};
        }
        throw BadRequest("unknown op \"" + op + "\"");
    } catch (const BadRequest& e) {
        return Error(e.what());
    }
}

void Session::CloseAll()
{
    for (HANDLE handle : handles_) {
        user_.Close(handle);
    }
    handles_.clear();
}

// --- Server ---

bool PeerIsOwner(int fd, uid_t owner)
{
    struct ucred peer {};
    socklen_t size = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || size != sizeof peer) {
        return false;
    }
    return peer.uid == owner;
}

Server::Server(std::string path) : path_(std::move(path))
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.empty() || path_.size() >= sizeof address.sun_path) {
        throw std::runtime_error("the socket path must have 1 to " +
                                 std::to_string(sizeof address.sun_path - 1) + " characters: " + path_);
    }
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    const size_t slash = path_.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path_.substr(0, slash);
    made_dir_ = MakePrivateDirectory(dir);
    try {
        Listen(address);
    } catch (...) {
        if (made_dir_) {
            rmdir(dir.c_str());
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
        rmdir(path_.substr(0, path_.rfind('/')).c_str());
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
            continue;
        }
        Reap(false);
        if (!PeerIsOwner(fd, geteuid())) {
            static constexpr std::string_view kRefused = "{\"error\":\"refused: not the server's user\"}\n";
            const ssize_t n = send(fd, kRefused.data(), kRefused.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            (void)n;
            close(fd);
            std::lock_guard lk(mu_);
            stats_.refused++;
            continue;
        }
        std::lock_guard lk(mu_);
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        Connection* raw = connection.get();
        connections_.push_back(std::move(connection));
        raw->thread = std::thread(&Server::Serve, this, raw, ++stats_.connections);
    }
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
                reply =
                    Error("the request line is longer than " + std::to_string(quavproto::kMaxLine) + " bytes")
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

// --- the command ---

CLI::App* AddServeCommand(CLI::App& app, ServeOptions& options)
{
    CLI::App* serve = app.add_subcommand(
        "serve", "boot the machine in real time and serve its device to quavctl on a Unix-domain socket");
    options.config = QUAV_DEFAULT_CONFIG;
    serve->add_option("--config", options.config, "configuration, a .reg file")->check(CLI::ExistingFile);
    serve->add_option("--speed", options.speed, "simulated seconds per host second")
        ->check(CLI::PositiveNumber);
    serve->add_option(
        "--socket", options.socket_path,
        "socket path (default $XDG_RUNTIME_DIR/quavsim/quav.sock, else /tmp/quavsim-UID/quav.sock)");
    serve
        ->add_option("--duration", options.duration,
                     "stop after this many simulated seconds (default: at a signal)")
        ->check(CLI::NonNegativeNumber);
    return serve;
}

int RunServe(const ServeOptions& options)
{
    std::optional<Server> server;
    std::string config;
    try {
        config = ReadTextFile(options.config);
        server.emplace(options.socket_path.empty() ? quavproto::DefaultSocketPath() : options.socket_path);
        InstallStopSignals();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quavsim: %s\n", e.what());
        return 1;
    }

    SimulationOptions simulation_options;
    simulation_options.config_reg = config;
    simulation_options.machine.mode = sim::TimeMode::RealTime;
    simulation_options.machine.real_time_scale = options.speed;
    Simulation simulation(simulation_options);
    const NTSTATUS boot = simulation.Boot();
    if (!NT_SUCCESS(boot)) {
        std::fprintf(stderr, "quavsim: the device did not start: status 0x%08X\n",
                     static_cast<unsigned>(boot));
        return 1;
    }

    server->Start();
    std::cout << "quavsim: serving " << server->path() << " (speed " << options.speed << ", until "
              << (options.duration > 0 ? std::to_string(options.duration) + " simulated seconds or " : "")
              << "SIGINT/SIGTERM)" << std::endl;
    WaitForStop(options);
    RestoreStopSignals();
    {
        sim::OutsideSimulation outside;
        server->Stop();
    }
    const NTSTATUS removal = simulation.Shutdown();
    const ServerStats stats = server->stats();
    server.reset();
    std::cout << "quavsim: stopped\n"
              << simulation.Summary() << "connections     " << stats.connections << " (" << stats.refused
              << " refused), " << stats.requests << " requests\n"
              << std::flush;
    if (!NT_SUCCESS(removal)) {
        std::fprintf(stderr, "quavsim: the removal of the device failed: status 0x%08X\n",
                     static_cast<unsigned>(removal));
        return 1;
    }
    return 0;
}

} // namespace quavsim
