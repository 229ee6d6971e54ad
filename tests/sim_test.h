// The base of tests that run on a simulated machine: a fresh machine per test, the test's own thread
// attached as "test", and a failure for every verifier report the test leaves behind.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "sim/sim.h"

class SimTest : public ::testing::Test {
protected:
    explicit SimTest(sim::MachineOptions options = {}) : machine_(options) {}

    void SetUp() override { thread_.emplace("test"); }

    void TearDown() override
    {
        thread_.reset();
        for (const sim::VerifierReport& r : machine_.verifier().Take()) {
            ADD_FAILURE() << "verifier (" << r.source << "): " << r.text;
        }
    }

    // Takes the reports so far, for tests that provoke them on purpose.
    std::vector<sim::VerifierReport> TakeReports() { return machine_.verifier().Take(); }

    // True when exactly one report was made and its text contains `needle`.
    bool OneReportContaining(const std::string& needle)
    {
        auto reports = TakeReports();
        return reports.size() == 1 && reports[0].text.find(needle) != std::string::npos;
    }

    sim::Machine machine_;
    std::optional<sim::AttachedThread> thread_;
};
