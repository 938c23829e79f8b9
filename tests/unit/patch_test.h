// Shared fixture for tests of the patch's operations on the simulated machine.
#pragma once

#include "main/main.h"
#include "misc/misc.h"
#include "sim/sim.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

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

// The file tree below path as sim::dump_directory gives it, without the
// patch's log and its folder when that holds nothing else: every run
// writes the log and no run reads it, so two machine states are the same
// whatever their logs say.
inline std::string files_but_log(const std::string& path)
{
    const std::string dump = sim::dump_directory(path);
    const std::string folder = "Kestova Patch\\";
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < dump.size();) {
        const std::size_t end = dump.find('\n', start);
        const std::size_t next = end == std::string::npos ? dump.size() : end + 1;
        const std::string line = dump.substr(start, next - start);
        if (line.find(folder + "kestova-patch.log") == std::string::npos) {
            lines.push_back(line);
        }
        start = next;
    }
    std::string kept;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const bool is_folder_line =
            lines[i].size() > folder.size() &&
            lines[i].compare(lines[i].size() - folder.size() - 1, folder.size(), folder) == 0;
        const bool holds_more = i + 1 < lines.size() && lines[i + 1].find(folder) != std::string::npos;
        if (!is_folder_line || holds_more) {
            kept += lines[i];
        }
    }
    return kept;
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
