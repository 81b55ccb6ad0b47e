#include <chrono>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "com_device.h"
#include "token_sim.h"

extern char** environ;

using namespace std::chrono;
using sim::TokenFault;

namespace {

const std::string Start = " Erasing crypto token...";
const std::string Usage = " Error!\n Usage: sodrin [virtual COM-port number]";

struct Outcome {
  std::string output;
  int exitCode = -1;
  long long startShownBeforeEnd = -1;  // ms from the start text to the end of the output
};

// Runs the program with the test's port map and collects what it prints.
Outcome Sodrin(const std::vector<std::string>& args) {
  int out[2];
  if (::pipe(out) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  std::vector<std::string> all{SODRIN_PROGRAM};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  int spawned = posix_spawn(&pid, SODRIN_PROGRAM, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  Outcome run;
  if (spawned != 0) {
    ::close(out[0]);
    return run;
  }
  char buffer[256];
  steady_clock::time_point shown;
  bool seen = false;
  for (;;) {
    pollfd p{out[0], POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) break;
    ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    run.output.append(buffer, size_t(n));
    if (!seen && run.output.find(Start) != std::string::npos) {
      seen = true;
      shown = steady_clock::now();
    }
  }
  if (seen) run.startShownBeforeEnd = duration_cast<milliseconds>(steady_clock::now() - shown).count();
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

struct SodrinTest : ::testing::Test {
  sim::TokenRack rack;
  sim::TokenSimulator& token = rack.Plug(7);

  void SetUp() override {
    sim::SimKeyset k;
    k.number = 74565;
    token.SetKeysets({k, k});
  }
};

TEST_F(SodrinTest, ErasesTheToken) {
  for (const char* arg : {"7", "7x"}) {
    token.SetKeysets({sim::SimKeyset{}});
    Outcome run = Sodrin({arg});
    EXPECT_EQ(run.output, Start + "Done!\n") << arg;
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(token.Keysets().empty());
  }
  // Neither the lock nor a Ping stand in the way.
  token.SetPassword({1}, {2}, {3});
  token.ClearRequests();
  token.SetKeysets({sim::SimKeyset{}});
  EXPECT_EQ(Sodrin({"7"}).output, Start + "Done!\n");
  ASSERT_EQ(token.Requests().size(), 1u);
  EXPECT_EQ(token.Requests()[0].command, 15);
}

TEST_F(SodrinTest, WrongCommandLinesOpenNothing) {
  for (const auto& args : std::vector<std::vector<std::string>>{{}, {"7", "8"}, {"abc"}, {"16"}, {"9"},
                                                                   // would wrap onto 7 if not saturated
                                                                   {"4294967303"}, {"-4294967289"}}) {
    Outcome run = Sodrin(args);
    EXPECT_EQ(run.output, Usage) << testing::PrintToString(args);
    EXPECT_EQ(run.exitCode, 0);
  }
  EXPECT_TRUE(token.Requests().empty());
  EXPECT_EQ(token.Keysets().size(), 2u);
}

TEST_F(SodrinTest, AHeldPortFailsAtTheOpen) {
  platform::ComDevice held;
  ASSERT_EQ(held.Open("COM7"), 0);
  EXPECT_EQ(Sodrin({"7"}).output, Usage);
  EXPECT_EQ(token.Keysets().size(), 2u);
}

TEST_F(SodrinTest, ARefusalFails) {
  token.InjectFault({TokenFault::ErrorBit});
  Outcome run = Sodrin({"7"});
  EXPECT_EQ(run.output, Start + "Failed!" + Usage);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(token.Keysets().size(), 2u);
}

TEST_F(SodrinTest, ASilentPortFailsAfterTheTimeout) {
  rack.PlugSilent(8);
  auto start = steady_clock::now();
  Outcome run = Sodrin({"8"});
  auto took = duration_cast<milliseconds>(steady_clock::now() - start).count();
  EXPECT_EQ(run.output, Start + "Failed!" + Usage);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_GE(run.startShownBeforeEnd, 2500);  // shown before the wait, not at the exit
  EXPECT_GE(took, 2900);
  EXPECT_LT(took, 6000);
}

}  // namespace
