// The service ends in order, with tokens attached and the scan busy announcing and
// removing them: on a quit from outside (a signal) and when its session bus goes.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "private_bus.h"
#include "token_sim.h"

using namespace std::chrono;

namespace {

// Ends the exit status of a child, or nothing when it still runs after the limit.
std::optional<int> WaitForExit(pid_t pid, milliseconds limit) {
  for (auto end = steady_clock::now() + limit; steady_clock::now() < end;) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return status;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return std::nullopt;
}

struct BriselShutdown : ::testing::Test {
  void SetUp() override {
    char folder[] = "/tmp/zarn-shutdown-XXXXXX";
    ASSERT_TRUE(::mkdtemp(folder));
    registry = folder;
    for (unsigned port : {40u, 41u, 42u}) rack.Plug(port, 7000 + port);
    bus.emplace();
  }
  void TearDown() override {
    stop = true;
    if (churn.joinable()) churn.join();
    if (pid > 0 && !WaitForExit(pid, milliseconds(0))) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    std::filesystem::remove_all(registry);
  }

  // Starts the service with a scan every few milliseconds, and a token that keeps
  // coming and going, so that a pass is often waiting in a sent message.
  void StartBusyService() {
    pid = ::fork();
    if (pid == 0) {
      ::setenv("ZARN_REGISTRY_DIR", registry.c_str(), 1);
      ::setenv("ZARN_TOKEN_SCAN_PERIOD_MS", "2", 1);
      ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
      ::execl(BRISEL_PATH, BRISEL_PATH, static_cast<char*>(nullptr));
      ::_exit(127);
    }
    churn = std::thread([this] {
      while (!stop) {
        rack.Unplug(42);
        std::this_thread::sleep_for(milliseconds(3));
        rack.Plug(42, 7042);
        std::this_thread::sleep_for(milliseconds(3));
      }
    });
    std::this_thread::sleep_for(milliseconds(600));
    ASSERT_FALSE(WaitForExit(pid, milliseconds(0))) << "the service did not start";
  }

  void ExpectOrderlyEnd() {
    auto status = WaitForExit(pid, milliseconds(5000));
    ASSERT_TRUE(status) << "the service did not end";
    pid = -1;
    EXPECT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status);
    EXPECT_EQ(WEXITSTATUS(*status), 0);
  }

  std::string registry;
  sim::TokenRack rack;
  std::optional<sim::PrivateSessionBus> bus;
  pid_t pid = -1;
  std::atomic<bool> stop{false};
  std::thread churn;
};

}  // namespace

TEST_F(BriselShutdown, AQuitFromOutsideEndsTheServiceInOrder) {
  for (int round = 0; round < 3; ++round) {
    StartBusyService();
    ::kill(pid, round == 1 ? SIGINT : SIGTERM);
    ExpectOrderlyEnd();
    stop = true;
    churn.join();
    stop = false;
  }
}

TEST_F(BriselShutdown, LosingTheSessionBusEndsTheServiceInOrder) {
  for (int round = 0; round < 3; ++round) {
    if (!bus) bus.emplace();
    StartBusyService();
    bus.reset();
    ExpectOrderlyEnd();
    stop = true;
    churn.join();
    stop = false;
  }
}
