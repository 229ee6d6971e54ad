// quavsim serve's side: the JSON-line requests of one session against the running driver, and the
// listening socket's checks.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <optional>

#include "protocol.h"
#include "quav.h"
#include "served.h"
#include "socket_server.h"

namespace {

using nlohmann::json;

constexpr uint32_t kInvalidHandle = 0xC0000008;
constexpr uint32_t kBufferTooSmall = 0xC0000023;
constexpr uint32_t kInvalidParameterMix = 0xC0000030;

std::string RecordHex(const SENSOR_RECORD& record)
{
    return quavproto::ToHex({reinterpret_cast<const uint8_t*>(&record), sizeof record});
}

SENSOR_RECORD Sensor(ULONG type, ULONG id)
{
    SENSOR_RECORD record{};
    record.SensorType = type;
    record.SensorId = id;
    return record;
}

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

// A connection's thread steps out of the simulation while it waits for the next request; were it to wait
// holding the processor, virtual time could not pass.
TEST_F(SessionTest, AnIdleClientDoesNotHoldUpSimulatedTime)
{
    char dir[] = "/tmp/quav-idle-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/quav.sock";
    std::optional<quavsim::Server> server(std::in_place, path);
    server->Start();
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    std::string reply;
    {
        sim::OutsideSimulation outside; // the client's request runs on the connection's thread
        const std::string request = "{\"op\":\"open\"}\n";
        EXPECT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
        char c;
        while (read(fd, &c, 1) == 1 && c != '\n') {
            reply += c;
        }
    }
    EXPECT_EQ(json::parse(reply)["status"], 0u);
    EXPECT_EQ(g_DeviceExtension->OpenHandleCount, 1);

    const sim::Ticks before = sim::Now();
    simulation_.RunFor(sim::Seconds(60));
    EXPECT_GE(sim::Now() - before, sim::Seconds(60));

    {
        sim::OutsideSimulation outside;
        server->Stop();
    }
    EXPECT_EQ(g_DeviceExtension->OpenHandleCount, 0); // closed for the client that never did
    EXPECT_EQ(server->stats().requests, 1u);
    close(fd);
    server.reset();
    EXPECT_EQ(rmdir(dir), 0); // the socket went with the server
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

    template <typename F>
    static std::string ErrorOf(F&& f)
    {
        try {
            f();
        } catch (const std::exception& e) {
            return e.what();
        }
        return "(no error)";
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
