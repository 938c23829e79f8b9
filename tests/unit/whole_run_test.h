// The fixture of tests that start the patch through its entry point, as the
// user or the logon does, on the machine the stage matrices start from.
#pragma once

#include "stage_scenarios.h"

#include <string>

class whole_run_test : public patch_test
{
  protected:
    void SetUp() override
    {
        patch_test::SetUp();
        stage_scenarios::arrange_common();
        sim::create_key(platform::HKEY_LOCAL_MACHINE, stage_scenarios::RUN_ONCE);
        sim::add_directory("C:\\ProgramData"); // as on every Windows
    }

    // One start of the patch from module with the arguments after its
    // quoted name.
    static void start(const std::string& module = stage_scenarios::INSTALL_MODULE,
                      const std::string& arguments = "")
    {
        reset_process_state();
        sim::set_module_file_name(module);
        sim::set_command_line("\"" + module + "\"" + (arguments.empty() ? "" : " " + arguments));
        sim::run_process([] { return patch_main(); });
    }
};
