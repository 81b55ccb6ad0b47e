#pragma once
// A simulated tester entered as COM 7 of a port map of the test's own.

#include <gtest/gtest.h>

#include "pseudo_terminal.h"
#include "tester_sim.h"

inline constexpr uint8_t TesterCom = 7;

class TesterFixture : public ::testing::Test {
 protected:
  sim::TesterSimulator tester_;
  sim::ScopedPortMap map_{{{TesterCom, tester_.Path(), false}}};
};
