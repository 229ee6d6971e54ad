// quavsim's machine booted from the example configuration in virtual time, with one client session on
// the test's thread: what `quavsim serve` runs for each connection, without the socket.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include <nlohmann/json.hpp>

#include "default_config.h"
#include "protocol.h"
#include "serve_session.h"
#include "simulation.h"

#include "quavpub.h" // after the platform's types

// A record naming one sensor, as a read-sensor request carries it, and its bytes in hex.
inline SENSOR_RECORD Sensor(ULONG type, ULONG id)
{
    SENSOR_RECORD record{};
    record.SensorType = type;
    record.SensorId = id;
    return record;
}

inline std::string RecordHex(const SENSOR_RECORD& record)
{
    return quavproto::ToHex({reinterpret_cast<const uint8_t*>(&record), sizeof record});
}

class ServedTest : public ::testing::Test {
protected:
    ServedTest() : simulation_(DefaultMachine()) {}

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
