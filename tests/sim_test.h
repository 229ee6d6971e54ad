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
        // WMI asks a registered device for its registration information from a thread of its own: one
        // that has not run yet runs now, while the machine is whole, and not after the test's thread left.
        if (thread_ && machine_.wmi().PendingRegInfo() > 0) {
            sim::Yield();
        }
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

    // Takes the reports so far: exactly one per needle, in order, each from `source` and containing its
    // needle.
    ::testing::AssertionResult ReportedBy(const std::string& source, const std::vector<std::string>& needles)
    {
        const auto reports = TakeReports();
        std::string all;
        for (const auto& r : reports) {
            all += "\n  " + r.source + ": " + r.text;
        }
        if (reports.size() != needles.size()) {
            return ::testing::AssertionFailure()
                   << reports.size() << " reports, expected " << needles.size() << all;
        }
        for (size_t i = 0; i < needles.size(); i++) {
            if (reports[i].source != source || reports[i].text.find(needles[i]) == std::string::npos) {
                return ::testing::AssertionFailure()
                       << "report " << i << " lacks \"" << needles[i] << "\"" << all;
            }
        }
        return ::testing::AssertionSuccess();
    }

    sim::Machine machine_;
    std::optional<sim::AttachedThread> thread_;
};
