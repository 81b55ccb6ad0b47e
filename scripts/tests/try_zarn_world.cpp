#include "try_zarn_world.h"

#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;

std::set<pid_t> ProcessTree(pid_t root) {
  std::multimap<pid_t, pid_t> children;
  std::error_code ec;
  for (fs::directory_iterator entry("/proc", ec), end; !ec && entry != end; entry.increment(ec)) {
    std::ifstream stat(entry->path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    // "pid (name) state ppid ...": the name may hold spaces and parentheses.
    const size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    pid_t parent = 0;
    if (std::sscanf(line.c_str() + close + 1, " %c %d", &state, &parent) == 2)
      children.emplace(parent, pid_t(std::atoi(line.c_str())));
  }
  std::set<pid_t> tree{root};
  std::vector<pid_t> next{root};
  while (!next.empty()) {
    const pid_t pid = next.back();
    next.pop_back();
    for (auto [it, end] = children.equal_range(pid); it != end; ++it)
      if (tree.insert(it->second).second) next.push_back(it->second);
  }
  return tree;
}

bool Ended(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  const size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

bool AllEnded(const std::set<pid_t>& pids) {
  return QTest::qWaitFor([&] {
    for (pid_t pid : pids)
      if (!Ended(pid)) return false;
    return true;
  }, 10000);
}

TryZarn::TryZarn(const QProcessEnvironment& extra) {
  char folder[] = "/tmp/zarn-try-test-XXXXXX";
  if (!::mkdtemp(folder)) throw std::runtime_error("mkdtemp failed");
  temporary_ = folder;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("TMPDIR", QString::fromStdString(temporary_));
  env.insert("ZARN_NO_BUILD", "1");
  env.insert("ZARN_BUILD_DIR", BUILD_DIR);
  // The programs draw where the test does.
  if (!std::getenv("DISPLAY")) env.insert("QT_QPA_PLATFORM", "offscreen");
  env.insert(extra);
  process_.setProcessEnvironment(env);
  process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  process_.start(TRY_ZARN, {});
}

TryZarn::~TryZarn() {
  if (process_.state() != QProcess::NotRunning) {
    process_.terminate();
    process_.waitForFinished(10000);
  }
  // A script that failed to take its world down must not leave it running.
  for (pid_t pid : programs_)
    if (!Ended(pid)) ::kill(pid, SIGKILL);
  std::error_code ec;
  fs::remove_all(temporary_, ec);
}

bool TryZarn::Started() {
  const QRegularExpression last("everything in (\\S+) until the reader closes");
  for (QDeadlineTimer deadline(30000); !deadline.hasExpired();) {
    if (!process_.canReadLine() && !process_.waitForReadyRead(int(deadline.remainingTime()))) break;
    while (process_.canReadLine()) {
      const QString line = QString::fromUtf8(process_.readLine());
      output_ += line;
      if (auto match = last.match(line); match.hasMatch()) {
        world_ = match.captured(1).toStdString();
        Programs();
        return true;
      }
    }
  }
  return false;
}

const std::set<pid_t>& TryZarn::Programs(pid_t more) {
  programs_.merge(ProcessTree(Pid()));
  if (more) programs_.insert(more);
  return programs_;
}

void TryZarn::EnterWorld() const {
  ::setenv("ZARN_REGISTRY_DIR", (world_ + "/registry").c_str(), 1);
  ::setenv("ZARN_PORT_MAP", (world_ + "/ports").c_str(), 1);
  ::setenv("ODBCINI", (world_ + "/odbc.ini").c_str(), 1);
  ::setenv("DBUS_SESSION_BUS_ADDRESS", BusAddress().c_str(), 1);
}

bool TryZarn::Tell(const std::string& simulator, const std::string& command) const {
  std::ofstream input(fs::path(world_) / (simulator + ".in"));
  input << command << std::endl;
  return bool(input);
}

bool TryZarn::Finished(int& exitCode) {
  if (!process_.waitForFinished(20000)) return false;
  exitCode = process_.exitCode();
  return process_.exitStatus() == QProcess::NormalExit;
}
