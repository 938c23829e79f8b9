// Shared fixture for tests of the patch's operations on the simulated machine.
#pragma once

#include "main/main.h"
#include "misc/misc.h"
#include "sim/sim.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace sim = platform::sim;

// How a run of an operation ended: by returning, or through the process's
// end (fatal_error), with the exit code.
struct run_outcome {
    bool process_ended;
    int exit_code;
};

inline run_outcome run_operation(const std::function<void()>& body)
{
    bool returned = false;
    const int code = sim::run_process([&] {
        body();
        returned = true;
        return 0;
    });
    return {!returned, code};
}

inline std::string last_box_text()
{
    const auto& boxes = sim::message_boxes();
    return boxes.empty() ? std::string("<no box>") : boxes.back().text;
}

class patch_test : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        sim::reset();
        reset_process_state();
    }
    void TearDown() override { EXPECT_EQ(sim::open_handle_count(), 0) << "a handle was left open"; }

    // Runs body, expects the process to end through fatal_error with text.
    static void expect_fatal(const std::function<void()>& body, const std::string& text)
    {
        const run_outcome outcome = run_operation(body);
        EXPECT_TRUE(outcome.process_ended) << "expected the process to end with: " << text;
        EXPECT_EQ(outcome.exit_code, 0);
        EXPECT_EQ(last_box_text(), text);
    }
};
