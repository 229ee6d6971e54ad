// quavsim serve and quavctl as separate processes: the server started with its socket in a fresh
// directory, the client run against it. Every wait is on a pipe or on a child's exit.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "default_config.h"

extern char** environ;

namespace {

using nlohmann::json;

struct Child {
    pid_t pid = -1;
    int out = -1; // its standard output
    int err = -1; // its standard error
};

Child Spawn(const std::vector<std::string>& args)
{
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe";
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    Child child;
    if (posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        ADD_FAILURE() << "cannot start " << args[0];
        child.pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    child.out = out[0];
    child.err = err[0];
    return child;
}

// One line of the child's output, without its newline; what there was when the output ended first.
std::string ReadLine(int fd)
{
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n') {
        line += c;
    }
    return line;
}

// Both outputs to their end, then the exit code (-1 for a child that did not exit normally).
int Finish(Child& child, std::string* out, std::string* err)
{
    pollfd fds[2] = {{child.out, POLLIN, 0}, {child.err, POLLIN, 0}};
    std::string* into[2] = {out, err};
    int open = 2;
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            break;
        }
        for (int i = 0; i < 2; i++) {
            if (fds[i].revents == 0) {
                continue;
            }
            char chunk[4096];
            const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                into[i]->append(chunk, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                open--;
            }
        }
    }
    int status = 0;
    waitpid(child.pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Result {
    int exit_code;
    std::string out;
    std::string err;
};

Result Quavctl(const std::string& socket, std::vector<std::string> args)
{
    args.insert(args.begin(), {QUAVCTL_PATH, "--socket", socket});
    Child child = Spawn(args);
    Result r{};
    r.exit_code = Finish(child, &r.out, &r.err);
    return r;
}

class ServeProcessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/quav-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        root_ = name;
        socket_ = (root_ / "run" / "quav.sock").string();
    }

    void TearDown() override
    {
        if (server_.pid > 0) { // a test that stopped early: do not leave the server behind
            kill(server_.pid, SIGKILL);
            std::string out, err;
            Finish(server_, &out, &err);
        }
        std::filesystem::remove_all(root_);
    }

    // Starts the server and waits for its "serving" line.
    void Serve(std::vector<std::string> extra = {})
    {
        std::vector<std::string> args{QUAVSIM_PATH, "serve", "--socket", socket_, "--speed", "100"};
        args.insert(args.end(), extra.begin(), extra.end());
        server_ = Spawn(args);
        const std::string line = ReadLine(server_.out);
        ASSERT_EQ(line.rfind("quavsim: serving " + socket_ + " ", 0), 0u) << "first line: " << line;
    }

    // Waits for the server to end (after a signal, or by itself); its exit code.
    int StopServer(int signal, std::string* out)
    {
        if (signal != 0) {
            kill(server_.pid, signal);
        }
        std::string err;
        const int code = Finish(server_, out, &err);
        server_.pid = -1;
        EXPECT_EQ(err, "");
        return code;
    }

    std::filesystem::path root_;
    std::string socket_;
    Child server_;
};

TEST_F(ServeProcessTest, QuavctlAgainstTheServer)
{
    Serve(); // the socket's directory and modes: ServeSocketTest
    // What the table holds: QuavctlTest.SensorsShowsEveryReadingWithItsLimitsAndState.
    Result r = Quavctl(socket_, {"sensors"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("\nAUX:"), std::string::npos) << r.out;

    r = Quavctl(socket_, {"read-sensor", "temperature", "cpu", "--json"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const json cpu = json::parse(r.out);
    EXPECT_EQ(cpu["name"], "CPU");
    // The default room, 25 degrees C and a light load, not the board's resting 45.
    EXPECT_GT(cpu["value"].get<int>(), 25);
    EXPECT_LT(cpu["value"].get<int>(), 40);
    EXPECT_EQ(cpu["status_name"], "STATUS_SUCCESS");

    r = Quavctl(socket_, {"--json", "set-pwm", "rear-bottom", "144"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(json::parse(r.out)["status"], 0);
    r = Quavctl(socket_, {"--json", "read-sensor", "fan", "rear-bottom"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(json::parse(r.out)["name"], "Rear Bottom"); // the speed it turns at: AScenarioPlaysWhileServing

    r = Quavctl(socket_, {"read-sensor", "6", "99"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "quavctl: read-sensor type 6 id 99: STATUS_INVALID_PARAMETER (0xC000000D)\n");

    std::string summary;
    EXPECT_EQ(StopServer(SIGTERM, &summary), 0);
    EXPECT_NE(summary.find("quavsim: stopped\n"), std::string::npos) << summary;
    EXPECT_NE(summary.find("connections     5 (0 refused)"), std::string::npos) << summary;
    EXPECT_FALSE(std::filesystem::exists(socket_));

    r = Quavctl(socket_, {"sensors"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err.rfind("quavctl: cannot connect to quavsim at " + socket_ + ": ", 0), 0u) << r.err;
}

// The first line of `out` that holds `text`, read as the child writes them; "" when its output ends first.
std::string LineWith(int out, const std::string& text)
{
    for (std::string line = ReadLine(out); !line.empty(); line = ReadLine(out)) {
        if (line.find(text) != std::string::npos) {
            return line;
        }
    }
    return "";
}

// A scenario plays while the device is served: its rail fault reaches the event log that quavctl follows,
// the room's fans follow the PWM a user sets, and the outputs are written when serving ends.
TEST_F(ServeProcessTest, AScenarioPlaysWhileServing)
{
    // A load too light for the fans' stage to rise, so nothing but the user changes their PWM.
    const std::string scenario = (root_ / "rail.json").string();
    std::ofstream(scenario) << R"({"duration": "1h", "plant": {"ambient": [{"at": 0, "value": 25}],
        "heat": [{"at": 0, "value": 5}]}, "sensors": {"12V": [{"at": 20, "value": 10000}]}})";
    Serve({scenario, "--out", (root_ / "out").string()});
    Child follow = Spawn({QUAVCTL_PATH, "--socket", socket_, "events", "--follow"});
    const std::string rail = LineWith(follow.out, "12V");
    EXPECT_NE(rail, "");

    Result r = Quavctl(socket_, {"fans", "--json"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const json fan = json::parse(r.out)["fans"][0];
    EXPECT_EQ(fan["stage"], 0);
    EXPECT_EQ(fan["pwm"], 0x30);
    EXPECT_GT(fan["rpm"].get<int>(), 1000);
    ASSERT_EQ(Quavctl(socket_, {"set-pwm", "rear-upper", "0"}).exit_code, 0);
    // The fan slows past its lower limits, and the driver logs it.
    EXPECT_NE(LineWith(follow.out, "Rear Upper"), "");
    r = Quavctl(socket_, {"read-sensor", "fan", "rear-upper", "--json"});
    EXPECT_LT(json::parse(r.out)["value"].get<int>(), 800) << r.out; // below its warning limit at least
    kill(follow.pid, SIGINT);
    std::string rest, err;
    Finish(follow, &rest, &err);

    std::string summary;
    EXPECT_EQ(StopServer(SIGTERM, &summary), 0);
    EXPECT_NE(summary.find("scenario        " + scenario), std::string::npos) << summary;
    // The signal ended the scenario under way, not its end an hour in.
    const size_t clock = summary.find("simulated time  ");
    ASSERT_NE(clock, std::string::npos) << summary;
    EXPECT_LT(std::stod(summary.substr(clock + 16)), 3600.0) << summary;
    EXPECT_NE(summary.find("outputs in      "), std::string::npos) << summary;
    const std::string events = ReadText((root_ / "out" / "events.txt").string());
    EXPECT_NE(events.find(rail + "\n"), std::string::npos) << events;
    for (const char* file : {"events.jsonl", "registry.reg", "trace.csv", "plot.svg", "reports.txt"}) {
        EXPECT_TRUE(std::filesystem::exists(root_ / "out" / file)) << file;
    }
}

TEST_F(ServeProcessTest, DurationEndsTheServer)
{
    Serve({"--duration", "30"});
    std::string summary;
    EXPECT_EQ(StopServer(0, &summary), 0);
    EXPECT_NE(summary.find("quavsim: stopped\n"), std::string::npos) << summary;
    EXPECT_FALSE(std::filesystem::exists(root_ / "run"));
}

} // namespace
