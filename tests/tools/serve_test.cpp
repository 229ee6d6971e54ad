// quavsim serve's side: the JSON-line requests of one session against the running driver, the listening
// socket's checks, and the server under pressure: clients at once, connections beyond the bound, a
// connection whose thread cannot start and accept() failing for want of descriptors. The server must
// keep each client's replies its own, refuse the one connection politely, or wait, and go on serving the
// others.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <future>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "commands.h"
#include "protocol.h"
#include "quav.h"
#include "served.h"
#include "socket_server.h"
#include "socket_transport.h"

namespace {

using nlohmann::json;

constexpr uint32_t kInvalidHandle = 0xC0000008;
constexpr uint32_t kBufferTooSmall = 0xC0000023;
constexpr uint32_t kInvalidParameterMix = 0xC0000030;

using SessionTest = ServedTest;

TEST_F(SessionTest, DeviceControlCarriesRecordsBothWays)
{
    const json opened = AskLine(R"({"op":"open"})");
    ASSERT_EQ(opened["status"], 0u);
    ASSERT_TRUE(opened["handle"].is_number_unsigned());

    json reply = Ask({{"op", "device-control"},
                      {"code", IOCTL_QUAV_READ_SENSOR},
                      {"input", RecordHex(Sensor(SENSOR_TYPE_TEMPERATURE, SENSOR_ID_CPU))},
                      {"output_size", 64}});
    ASSERT_EQ(reply["status"], 0u) << reply;
    EXPECT_EQ(reply["information"], 64u);
    const auto bytes = quavproto::FromHex(reply["output"].get<std::string>());
    ASSERT_TRUE(bytes.has_value());
    ASSERT_EQ(bytes->size(), 64u);
    SENSOR_RECORD back;
    std::memcpy(&back, bytes->data(), sizeof back);
    EXPECT_EQ(back.SensorId, static_cast<ULONG>(SENSOR_ID_CPU));
    EXPECT_EQ(back.Value, 45);

    // A short output buffer: the driver's refusal and nothing back.
    reply = Ask({{"op", "device-control"},
                 {"code", IOCTL_QUAV_READ_SENSOR},
                 {"input", RecordHex(Sensor(SENSOR_TYPE_TEMPERATURE, SENSOR_ID_CPU))},
                 {"output_size", 8}});
    EXPECT_EQ(reply["status"], kBufferTooSmall);
    EXPECT_EQ(reply["information"], 0u);
    EXPECT_EQ(reply["output"], "");

    // The PWM word follows the record and reaches the chip.
    const std::string pwm = RecordHex(Sensor(SENSOR_TYPE_FAN, SENSOR_ID_REAR_BOTTOM)) + "90000000";
    reply = Ask(
        {{"op", "device-control"}, {"code", IOCTL_QUAV_SET_FAN_PWM}, {"input", pwm}, {"output_size", 64}});
    EXPECT_EQ(reply["status"], 0u);
    EXPECT_EQ(superio().Register(0x16), 0x90);

    EXPECT_EQ(AskLine(R"({"op":"close"})")["status"], 0u);
    EXPECT_EQ(Ask({{"op", "close"}, {"handle", opened["handle"]}})["status"], kInvalidHandle);
    EXPECT_EQ(Ask({{"op", "device-control"}, {"code", IOCTL_QUAV_NOP1}})["status"], kInvalidHandle);
}

TEST_F(SessionTest, MalformedRequestsGetAnErrorAndTheSessionGoesOn)
{
    const char* lines[] = {
        "",
        "read sensor 9",
        "[1,2]",
        "{}",
        R"({"op":5})",
        R"({"op":"reboot"})",
        R"({"op":"device-control"})",
        R"({"op":"device-control","code":-1})",
        R"({"op":"device-control","code":4294967296})",
        R"({"op":"device-control","code":"0x88002208"})",
        R"({"op":"device-control","code":1,"input":"abc"})",
        R"({"op":"device-control","code":1,"input":"zz"})",
        R"({"op":"device-control","code":1,"input":7})",
        R"({"op":"device-control","code":1,"output_size":65537})",
        R"({"op":"device-control","code":1,"handle":"first"})",
        R"({"op":"wmi-method","method":1.5})",
        R"({"op":"wmi-method"})",
        "{\"op\":\"\xff\"}",
    };
    for (const char* line : lines) {
        const json reply = AskLine(line);
        EXPECT_TRUE(reply.contains("error") && reply["error"].is_string()) << line << " -> " << reply;
        EXPECT_FALSE(reply.contains("status")) << line;
    }
    EXPECT_EQ(AskLine(R"({"op":"open"})")["status"], 0u);
    EXPECT_EQ(Ask({{"op", "device-control"}, {"code", IOCTL_QUAV_NOP1}})["status"], 0u);
}

TEST_F(SessionTest, HandlesLeftOpenAreClosedForTheClient)
{
    const json first = AskLine(R"({"op":"open"})");
    const json second = AskLine(R"({"op":"open"})");
    ASSERT_NE(first["handle"], second["handle"]);
    EXPECT_EQ(g_DeviceExtension->OpenHandleCount, 2);
    // Without "handle", the latest; the first stays usable by its number.
    EXPECT_EQ(AskLine(R"({"op":"close"})")["status"], 0u);
    EXPECT_EQ(Ask({{"op", "device-control"}, {"code", IOCTL_QUAV_NOP2}})["status"], 0u);
    EXPECT_EQ(
        Ask({{"op", "device-control"}, {"code", IOCTL_QUAV_NOP2}, {"handle", second["handle"]}})["status"],
        kInvalidHandle);
    EXPECT_EQ(session_.OpenHandles(), 1u);
    session_.CloseAll();
    EXPECT_EQ(session_.OpenHandles(), 0u);
    EXPECT_EQ(g_DeviceExtension->OpenHandleCount, 0);
}

// The data block's entries from a wmi-query reply; none when the reply is not a whole number of them.
std::vector<SENSOR_DATA_ENTRY> Entries(const json& reply)
{
    const std::optional<std::vector<uint8_t>> data = quavproto::FromHex(reply.value("data", ""));
    if (!data || data->size() % sizeof(SENSOR_DATA_ENTRY) != 0) {
        return {};
    }
    std::vector<SENSOR_DATA_ENTRY> entries(data->size() / sizeof(SENSOR_DATA_ENTRY));
    std::memcpy(entries.data(), data->data(), data->size());
    return entries;
}

std::string MethodInput(ULONG sensor, LONG value)
{
    const SENSOR_METHOD_INPUT input{sensor, value};
    return quavproto::ToHex({reinterpret_cast<const uint8_t*>(&input), sizeof input});
}

TEST_F(SessionTest, WmiBlockAndMethods)
{
    json reply = AskLine(R"({"op":"wmi-query"})");
    ASSERT_EQ(reply["status"], 0u);
    std::vector<SENSOR_DATA_ENTRY> entries = Entries(reply);
    ASSERT_EQ(entries.size(), 12u);
    EXPECT_EQ(entries[11].CurrentValue, 44); // VRM, last in the block
    EXPECT_EQ(entries[11].CriticalUpper, 95);

    EXPECT_EQ(Ask({{"op", "wmi-method"},
                   {"method", WMI_METHOD_SET_CRITICAL_UPPER},
                   {"input", MethodInput(12, 77)}})["status"],
              0u);
    entries = Entries(AskLine(R"({"op":"wmi-query"})"));
    ASSERT_EQ(entries.size(), 12u);
    EXPECT_EQ(entries[11].CriticalUpper, 77);

    EXPECT_EQ(Ask({{"op", "wmi-method"},
                   {"method", WMI_METHOD_SET_CRITICAL_LOWER},
                   {"input", MethodInput(13, 1)}})["status"],
              kInvalidParameterMix);
}

// A client of the served socket, as raw as a hostile one.
int Connect(const std::string& path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The next line from the server, without its newline; "<end>" when it closed the connection first.
std::string ReadLine(int fd)
{
    std::string line;
    char c;
    for (;;) {
        const ssize_t n = read(fd, &c, 1);
        if (n <= 0) {
            return line.empty() ? "<end>" : line;
        }
        if (c == '\n') {
            return line;
        }
        line += c;
    }
}

// The reply to one request. A server that refused the connection may have closed it before the request
// went out: its reply is read all the same.
std::string AskOn(int fd, const std::string& request)
{
    const std::string line = request + "\n";
    const ssize_t n = send(fd, line.data(), line.size(), MSG_NOSIGNAL);
    (void)n;
    return ReadLine(fd);
}

// The status of an open request, or what came instead.
std::string Opened(int fd)
{
    const std::string reply = AskOn(fd, R"({"op":"open"})");
    const json parsed = json::parse(reply, nullptr, false);
    return parsed.is_object() && parsed.value("status", 1u) == 0 ? "opened" : reply;
}

// Ends a client's connection and waits until the server has closed its side: from then on it no longer
// counts against the bound.
void Hangup(int fd)
{
    shutdown(fd, SHUT_WR);
    EXPECT_EQ(ReadLine(fd), "<end>");
    close(fd);
}

class ServeBoundTest : public ServedTest {
protected:
    void SetUp() override
    {
        ServedTest::SetUp();
        char name[] = "/tmp/quav-bound-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        root_ = name;
    }

    void TearDown() override
    {
        {
            sim::OutsideSimulation outside;
            server_.reset();
        }
        std::filesystem::remove_all(root_);
        ServedTest::TearDown();
    }

    std::string Serve(quavsim::ServerOptions options)
    {
        const std::string path = (root_ / "quav.sock").string();
        server_.emplace(path, std::move(options));
        server_->Start();
        return path;
    }

    quavsim::ServerStats Stop()
    {
        sim::OutsideSimulation outside;
        server_->Stop();
        return server_->stats();
    }

    std::filesystem::path root_;
    std::optional<quavsim::Server> server_;
};

// A read-sensor request for `sensor` on `handle`: what was wrong with its reply, empty when it carried the
// sensor's own record.
std::string ReadSensor(int fd, uint64_t handle, const SENSOR_RECORD& sensor)
{
    const json request = {{"op", "device-control"},
                          {"handle", handle},
                          {"code", IOCTL_QUAV_READ_SENSOR},
                          {"input", RecordHex(sensor)},
                          {"output_size", sizeof sensor}};
    const std::string line = AskOn(fd, request.dump());
    const json reply = json::parse(line, nullptr, false);
    if (!reply.is_object() || reply.value("status", 1u) != 0 || !reply["output"].is_string()) {
        return line;
    }
    const auto bytes = quavproto::FromHex(reply["output"].get<std::string>());
    SENSOR_RECORD back{};
    if (!bytes.has_value() || bytes->size() != sizeof back) {
        return line;
    }
    std::memcpy(&back, bytes->data(), sizeof back);
    return back.SensorType == sensor.SensorType && back.SensorId == sensor.SensorId ? "" : line;
}

// Opens a handle on a fresh connection; the connection and the handle, -1 and 0 when that failed.
std::pair<int, uint64_t> OpenOn(const std::string& path)
{
    const int fd = Connect(path);
    const json opened = json::parse(fd >= 0 ? AskOn(fd, R"({"op":"open"})") : "", nullptr, false);
    if (!opened.is_object() || opened.value("status", 1u) != 0 || !opened["handle"].is_number_unsigned()) {
        return {-1, 0};
    }
    return {fd, opened["handle"].get<uint64_t>()};
}

// A connection's thread steps out of the simulation while it waits for the next request; were it to wait
// holding the processor, virtual time could not pass.
TEST_F(ServeBoundTest, AnIdleClientDoesNotHoldUpSimulatedTime)
{
    const std::string path = Serve({});
    const int fd = Connect(path);
    {
        sim::OutsideSimulation outside; // the client's request runs on the connection's thread
        EXPECT_EQ(Opened(fd), "opened");
    }
    EXPECT_EQ(g_DeviceExtension->OpenHandleCount, 1);

    const sim::Ticks before = sim::Now();
    simulation_.RunFor(sim::Seconds(60));
    EXPECT_GE(sim::Now() - before, sim::Seconds(60));

    EXPECT_EQ(Stop().requests, 1u);
    EXPECT_EQ(g_DeviceExtension->OpenHandleCount, 0); // closed for the client that never did
    close(fd);
    {
        sim::OutsideSimulation outside;
        server_.reset();
    }
    EXPECT_TRUE(std::filesystem::is_empty(root_)); // the socket went with the server
}

// Clients at once, each on its own connection and thread, reading its own sensor: the connections'
// threads share the simulation, the server's counters and its list of connections, and Stop comes while
// one client is still asking. Each client gets replies for its own sensor, every request is counted once,
// and the handles the clients left open are closed for them.
TEST_F(ServeBoundTest, ClientsAtOnceGetTheirOwnRepliesUntilTheStop)
{
    const std::string path = Serve({});
    struct Client {
        ULONG type;
        ULONG id;
        std::string failure;
    };
    std::vector<Client> clients = {{SENSOR_TYPE_TEMPERATURE, SENSOR_ID_CPU, ""},
                                   {SENSOR_TYPE_TEMPERATURE, SENSOR_ID_SYSTEM, ""},
                                   {SENSOR_TYPE_VOLTAGE, SENSOR_ID_VCCP, ""},
                                   {SENSOR_TYPE_VOLTAGE, SENSOR_ID_V33, ""},
                                   {SENSOR_TYPE_FAN, SENSOR_ID_REAR_BOTTOM, ""}};
    constexpr int kRequests = 12;
    std::promise<void> busy_answered;
    size_t busy_replies = 0;
    std::string busy_failure;
    std::thread busy;
    {
        sim::OutsideSimulation outside; // the connections' threads carry the requests out
        std::vector<std::thread> threads;
        for (Client& client : clients) {
            threads.emplace_back([&path, &client] {
                const auto [fd, handle] = OpenOn(path);
                if (fd < 0) {
                    client.failure = "not opened";
                    return;
                }
                for (int i = 0; i < kRequests && client.failure.empty(); i++) {
                    client.failure = ReadSensor(fd, handle, Sensor(client.type, client.id));
                }
                close(fd); // the handle left open
            });
        }
        // Asks until the server ends its connection.
        busy = std::thread([&] {
            const auto [fd, handle] = OpenOn(path);
            for (bool first = true; fd >= 0 && busy_failure.empty(); first = false) {
                busy_failure = ReadSensor(fd, handle, Sensor(SENSOR_TYPE_TEMPERATURE, SENSOR_ID_BACKPLANE));
                if (first) {
                    busy_answered.set_value();
                }
                busy_replies += busy_failure.empty() ? 1 : 0;
            }
            if (fd < 0) {
                busy_answered.set_value();
            }
            close(fd);
        });
        for (std::thread& thread : threads) {
            thread.join();
        }
        busy_answered.get_future().wait();
    }
    const quavsim::ServerStats stats = Stop();
    busy.join();
    for (const Client& client : clients) {
        EXPECT_EQ(client.failure, "") << "sensor " << client.type << "/" << client.id;
    }
    // The busy client's last request may have been carried out with its reply lost to the stop.
    EXPECT_NE(busy_failure.find("<end>"), std::string::npos) << busy_failure;
    EXPECT_GE(busy_replies, 1u);
    const size_t counted = clients.size() * (kRequests + 1) + 1 + busy_replies;
    EXPECT_TRUE(stats.requests == counted || stats.requests == counted + 1) << stats.requests;
    EXPECT_EQ(stats.connections, clients.size() + 1);
    EXPECT_EQ(stats.refused, 0u);
    EXPECT_EQ(g_DeviceExtension->OpenHandleCount, 0);
}

TEST_F(ServeBoundTest, ConnectionsBeyondTheBoundAreRefusedPolitely)
{
    quavsim::ServerOptions options;
    options.max_connections = 2;
    const std::string path = Serve(options);
    {
        sim::OutsideSimulation outside; // the connections' threads carry the requests out
        const int first = Connect(path);
        const int second = Connect(path);
        EXPECT_EQ(Opened(first), "opened");
        EXPECT_EQ(Opened(second), "opened");

        // The third gets the reason as the protocol's error reply, then the end of the connection.
        const int third = Connect(path);
        ASSERT_GE(third, 0);
        const json refusal = json::parse(AskOn(third, R"({"op":"open"})"), nullptr, false);
        ASSERT_TRUE(refusal.is_object() && refusal.contains("error")) << refusal;
        EXPECT_NE(refusal["error"].get<std::string>().find("limit of 2 connections"), std::string::npos)
            << refusal;
        EXPECT_EQ(ReadLine(third), "<end>");
        close(third);
        // quavctl shows the reason, whether the server closed before or after the request went out.
        const char* argv[] = {"quavctl", "--socket", path.c_str(), "wmi", "query"};
        std::ostringstream out;
        std::ostringstream err;
        const int exit_code = quavctl::Run(
            5, argv, [](const std::string& at) { return std::make_unique<quavctl::SocketTransport>(at); },
            out, err);
        EXPECT_EQ(exit_code, quavctl::kExitUnreachable);
        EXPECT_EQ(err.str(),
                  "quavctl: quavsim refused the request: refused: the server is serving its limit of "
                  "2 connections; try again when one ends\n");

        // Once a connection has ended its place is free again.
        Hangup(first);
        const int fourth = Connect(path);
        EXPECT_EQ(Opened(fourth), "opened");
        close(second);
        close(fourth);
    }
    const quavsim::ServerStats stats = Stop();
    EXPECT_EQ(stats.connections, 3u);
    EXPECT_EQ(stats.refused, 2u);
    EXPECT_EQ(stats.requests, 3u);
    EXPECT_EQ(g_DeviceExtension->OpenHandleCount, 0); // the served clients' handles closed for them
}

TEST_F(ServeBoundTest, AThreadThatCannotStartRefusesOnlyItsConnection)
{
    std::atomic<bool> fail_next{true};
    quavsim::ServerOptions options;
    options.before_thread_start = [&fail_next] {
        if (fail_next.exchange(false)) {
            throw std::system_error(EAGAIN, std::generic_category(), "thread");
        }
    };
    const std::string path = Serve(options);
    {
        sim::OutsideSimulation outside;
        const int refused = Connect(path);
        EXPECT_NE(AskOn(refused, R"({"op":"open"})").find("cannot start a thread"), std::string::npos);
        close(refused);
        const int served = Connect(path);
        EXPECT_EQ(Opened(served), "opened");
        close(served);
    }
    const quavsim::ServerStats stats = Stop();
    EXPECT_EQ(stats.connections, 1u);
    EXPECT_EQ(stats.refused, 1u);
}

// In a child process, which alone runs out of descriptors: the machine booted, the server started, every
// descriptor taken, then a client connects. accept() fails with EMFILE; the server backs off (the seam
// frees one descriptor, as a connection that ends would) and then serves the client. Returns what went
// wrong, empty when all held.
std::string ServeWithoutDescriptors(const std::string& path)
{
    quavsim::Simulation simulation(DefaultMachine());
    if (simulation.Boot() != STATUS_SUCCESS) {
        return "the device did not start";
    }
    // Freed at the back-off: one for the connection, two for the sanitizers' own probes of memory.
    std::array<std::atomic<int>, 3> spare{-1, -1, -1};
    std::atomic<int> back_offs{0};
    quavsim::ServerOptions options;
    options.back_off = [&] {
        back_offs++;
        for (std::atomic<int>& fd : spare) {
            close(fd.exchange(-1));
        }
    };
    std::optional<quavsim::Server> server(std::in_place, path, options);
    server->Start();
    const int client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);

    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit low = saved;
    low.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 256);
    setrlimit(RLIMIT_NOFILE, &low);
    std::vector<int> taken;
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
        taken.push_back(fd);
    }
    if (errno != EMFILE || taken.size() < spare.size()) {
        return std::string("could not exhaust the descriptors: ") + std::strerror(errno);
    }
    for (std::atomic<int>& fd : spare) {
        fd = taken.back();
        taken.pop_back();
    }

    std::string failure;
    {
        sim::OutsideSimulation outside;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path.c_str());
        if (connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            failure = std::string("connect: ") + std::strerror(errno);
        } else if (const std::string opened = Opened(client); opened != "opened") {
            failure = "the client got " + opened;
        }
        close(client);
        server->Stop();
    }
    if (failure.empty() && back_offs != 1) {
        failure = "backed off " + std::to_string(back_offs) + " times for one failed accept";
    }
    server.reset();
    for (int fd : taken) {
        close(fd);
    }
    setrlimit(RLIMIT_NOFILE, &saved);
    if (simulation.Shutdown() != STATUS_SUCCESS && failure.empty()) {
        failure = "the removal failed";
    }
    if (!simulation.machine().verifier().Take().empty() && failure.empty()) {
        failure = "the verifier reported";
    }
    return failure;
}

TEST(ServeAcceptErrors, NoDescriptorsLeftBacksOffAndServesLater)
{
    char name[] = "/tmp/quav-emfile-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    const std::string path = std::string(name) + "/quav.sock";
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(report[0]);
        const std::string failure = ServeWithoutDescriptors(path);
        const ssize_t n = write(report[1], failure.data(), failure.size());
        _exit(n == static_cast<ssize_t>(failure.size()) && failure.empty() ? 0 : 1);
    }
    close(report[1]);
    std::string failure;
    char chunk[256];
    for (ssize_t n; (n = read(report[0], chunk, sizeof chunk)) > 0;) {
        failure.append(chunk, static_cast<size_t>(n));
    }
    close(report[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "child status " << status << ": " << failure;
    EXPECT_EQ(failure, "");
    std::filesystem::remove_all(name);
}

TEST(ServeSocket, PeerCredentialsAreChecked)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    EXPECT_TRUE(quavsim::PeerIsOwner(pair[0], geteuid()));
    EXPECT_FALSE(quavsim::PeerIsOwner(pair[0], geteuid() + 1));
    close(pair[0]);
    close(pair[1]);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_FALSE(quavsim::PeerIsOwner(fds[0], geteuid())); // not a socket: nobody's
    close(fds[0]);
    close(fds[1]);
}

class ServeSocketTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/quav-serve-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        root_ = name;
    }
    void TearDown() override { std::filesystem::remove_all(root_); }

    static mode_t Mode(const std::filesystem::path& path)
    {
        struct stat st {};
        EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
        return st.st_mode;
    }

    std::filesystem::path root_;
};

TEST_F(ServeSocketTest, PrivateDirectoryAndSocketRemovedAfterwards)
{
    const std::filesystem::path dir = root_ / "run";
    const std::filesystem::path path = dir / "quav.sock";
    {
        quavsim::Server server(path.string());
        EXPECT_EQ(Mode(dir) & 07777, 0700u);
        EXPECT_TRUE(S_ISSOCK(Mode(path)));
        EXPECT_EQ(Mode(path) & 0777, 0600u);
        // One server a path.
        EXPECT_NE(ErrorOf([&] { quavsim::Server again(path.string()); }).find("already serving"),
                  std::string::npos);
    }
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_FALSE(std::filesystem::exists(dir)); // the server made it
}

TEST_F(ServeSocketTest, RefusesDirectoriesOthersCanEnterAndForeignFiles)
{
    std::filesystem::create_directory(root_ / "shared");
    chmod((root_ / "shared").c_str(), 0755);
    EXPECT_NE(ErrorOf([&] {
                  quavsim::Server server((root_ / "shared" / "quav.sock").string());
              }).find("open to other users (mode 0755)"),
              std::string::npos);

    // A file in the socket's place is not taken over; a socket left by a server that died is.
    std::ofstream((root_ / "file").string()) << "x";
    EXPECT_NE(ErrorOf([&] { quavsim::Server server((root_ / "file").string()); }).find("is not a socket"),
              std::string::npos);
    const std::filesystem::path stale = root_ / "stale.sock";
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, stale.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    close(fd);
    EXPECT_EQ(ErrorOf([&] { quavsim::Server server(stale.string()); }), "(no error)");
    EXPECT_NE(ErrorOf([&] { quavsim::Server server(std::string(200, 'x')); }).find("socket path"),
              std::string::npos);
}

} // namespace
