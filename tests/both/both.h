// Tests that run on both backends: natively against the simulated machine,
// and built for Windows against the real registry (run under Wine). They
// set up and inspect state through the platform seam only.
#pragma once

#include "platform/platform.h"

#include <gtest/gtest.h>

// A scratch key under HKEY_LOCAL_MACHINE that the tests own; it is removed
// before and after each test.
extern const char SCRATCH_KEY[];

// Simulated machine: a fresh machine. Real registry: the scratch key removed.
void reset_test_machine();

class both_backends_test : public ::testing::Test
{
  protected:
    void SetUp() override { reset_test_machine(); }
    void TearDown() override { reset_test_machine(); }
};
