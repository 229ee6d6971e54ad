// The install tree as a user gets it: `cmake --install` into a prefix, the tree then moved elsewhere, and
// the tools, their data, man pages and bash completion used from there.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "default_config.h"

namespace {

namespace fs = std::filesystem;

class InstallTree : public ScratchDirTest {
protected:
    void SetUp() override
    {
        ScratchDirTest::SetUp();
        const Outcome installed = Shell(std::string(QUAV_CMAKE " --install " QUAV_BUILD_DIR " --prefix ") +
                                        (dir_ / "staged").string());
        ASSERT_EQ(installed.exit, 0) << installed.out;
        // Moved after the install: nothing may depend on the prefix it was installed for.
        tree_ = dir_ / "moved";
        fs::rename(dir_ / "staged", tree_);
    }

    std::string In(const std::string& path) const { return (tree_ / path).string(); }

    fs::path tree_;
};

TEST_F(InstallTree, TheToolsRunFromTheMovedTree)
{
    const struct {
        std::string command;
        std::string output;
    } cases[] = {
        // The scenario's configuration is ../config/default.reg beside it.
        {In("bin/quavsim") + " run " + In("share/quav/scenarios/heatwave.json") + " --duration 10m --out " +
             (dir_ / "heatwave").string(),
         "polls"},
        {In("bin/quavsim") + " run --duration 1m --out " + (dir_ / "rest").string(), "polls"},
        {In("bin/quavctl") + " --help", "read-sensor"},
    };
    for (const auto& c : cases) {
        const Outcome o = Shell(c.command);
        EXPECT_EQ(o.exit, 0) << c.command << "\n" << o.out;
        EXPECT_NE(o.out.find(c.output), std::string::npos) << c.command << "\n" << o.out;
    }
#ifdef QUAV_MAN_PAGES
    // Each command's own help is in the page, not only the list of commands.
    EXPECT_NE(ReadText(In("share/man/man1/quavsim.1")).find("\\-\\-sample"), std::string::npos);
    EXPECT_NE(ReadText(In("share/man/man1/quavctl.1")).find("set\\-critical\\-upper"), std::string::npos);
#endif

    // The tree's own default.reg is the one read, by a run without a configuration and through a
    // scenario's relative path: broken, it is named in the error.
    std::ofstream(In("share/quav/config/default.reg"), std::ios::app) << "not a line of a .reg file\n";
    for (const std::string& scenario : {std::string(), In("share/quav/scenarios/fan-failure.json")}) {
        const Outcome o =
            Shell(In("bin/quavsim") + " run " + scenario + " --out " + (dir_ / "broken").string());
        EXPECT_EQ(o.exit, 1) << o.out;
        EXPECT_NE(o.out.find(In("share/quav/config/default.reg")), std::string::npos) << scenario << o.out;
    }
}

// What the completion offers after the words typed so far (the last one being completed): the replies it
// must include and those it must not.
TEST_F(InstallTree, BashCompletionOffersCommandsOptionsNamesAndFiles)
{
    // Loads the tool's completion as bash-completion would, checks it is registered, and prints the
    // replies for the command line given as arguments.
    std::ofstream(dir_ / "complete.sh") << R"(tool=$(basename "$1")
source ")" << In("share/bash-completion/completions/")
                                        << R"($tool" && complete -p "$tool" >/dev/null || exit 9
COMP_WORDS=("$@")
COMP_CWORD=$(($# - 1))
"_$tool"
printf '%s\n' "${COMPREPLY[@]}"
)";
    const std::string quavsim = In("bin/quavsim");
    const std::string quavctl = In("bin/quavctl");
    const struct {
        std::vector<std::string> words;
        std::vector<std::string> offered;
        std::vector<std::string> not_offered;
    } cases[] = {
        {{quavctl, ""}, {"read-sensor", "set-pwm", "wmi", "events", "fans"}, {"cpu"}},
        {{quavctl, "--socket", "/tmp/s", "read-sensor", "temperature", ""}, {"cpu", "12v", "1.8v"}, {"fan"}},
        {{quavctl, "set-pwm", ""}, {"rear-upper", "rear-bottom"}, {"cpu"}},
        {{quavctl, "wmi", "set-critical-lower", "v"}, {"vrm", "vccp"}, {"cpu"}},
        {{quavctl, "read-sensor", "--"}, {"--json", "--socket", "--help"}, {}},
        {{quavsim, ""}, {"run", "serve"}, {}},
        {{quavsim, "run", "--"}, {"--config", "--sample", "--out"}, {"--speed"}},
        {{quavsim, "serve", "--s"}, {"--speed", "--socket"}, {"--sample"}},
        {{quavsim, "run", In("share/quav/scenarios/heat")}, {In("share/quav/scenarios/heatwave.json")}, {}},
        {{quavsim, "run", "--config", In("share/quav/config/")}, {In("share/quav/config/default.reg")}, {}},
        {{quavsim, "run", In("share/quav/config/")}, {}, {In("share/quav/config/default.reg")}},
        {{quavsim, "run", "--out", (dir_ / "mo").string()}, {tree_.string()}, {}},
    };
    for (const auto& c : cases) {
        std::string command = "bash " + (dir_ / "complete.sh").string();
        for (const std::string& word : c.words) {
            command += " '" + word + "'";
        }
        const Outcome o = Shell(command);
        ASSERT_EQ(o.exit, 0) << command << "\n" << o.out;
        for (const std::string& reply : c.offered) {
            EXPECT_NE(o.out.find(reply + "\n"), std::string::npos) << command << " offers " << reply << "\n"
                                                                   << o.out;
        }
        for (const std::string& reply : c.not_offered) {
            EXPECT_EQ(o.out.find(reply + "\n"), std::string::npos) << command << " not " << reply << "\n"
                                                                   << o.out;
        }
    }
}

} // namespace
