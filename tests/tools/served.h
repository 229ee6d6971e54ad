// quavsim's machine booted from the example configuration in virtual time, with one client session on
// the test's thread: what `quavsim serve` runs for each connection, without the socket.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include <nlohmann/json.hpp>

#include "default_config.h"
#include "serve_session.h"
#include "simulation.h"

class ServedTest : public ::testing::Test {
protected:
    ServedTest() : simulation_(Options()) {}

    static quavsim::SimulationOptions Options()
    {
        quavsim::SimulationOptions options;
        options.config_reg = DefaultConfig();
        return options;
    }

    void SetUp() override { ASSERT_EQ(simulation_.Boot(), STATUS_SUCCESS); }

    void TearDown() override
    {
        session_.CloseAll();
        EXPECT_EQ(simulation_.Shutdown(), STATUS_SUCCESS);
        for (const sim::VerifierReport& r : simulation_.machine().verifier().Take()) {
            ADD_FAILURE() << "verifier (" << r.source << "): " << r.text;
        }
    }

    nlohmann::json AskLine(const std::string& line)
    {
        return nlohmann::json::parse(session_.HandleLine(line));
    }
    nlohmann::json Ask(const nlohmann::json& request) { return AskLine(request.dump()); }

    board::SuperIo& superio() { return *simulation_.board().superio(); }

    quavsim::Simulation simulation_;
    quavsim::Session session_;
};
