#pragma once
// scripts/try-zarn run on the prebuilt build folder as a person runs it, its world made
// under a folder of the test's own; what its programs print is kept for the test to read.
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>

#include <set>
#include <string>
#include <sys/types.h>

// The program's pid and the pids of all its descendants now.
std::set<pid_t> ProcessTree(pid_t root);
// Gone, or a zombie that nobody has reaped yet: either way it serves nothing any more.
bool Ended(pid_t pid);
bool AllEnded(const std::set<pid_t>& pids);

class TryZarn {
 public:
  // The script's environment is the test's, with these values added; offscreen unless
  // the test runs on an X display.
  explicit TryZarn(const QProcessEnvironment& extra = {});
  ~TryZarn();

  // Waits for the script's last line about its world; false when it never came.
  bool Started();

  pid_t Pid() const { return pid_t(process_.processId()); }
  // The programs the script runs now, together with the others it ran.
  const std::set<pid_t>& Programs(pid_t more = 0);
  const std::string& World() const { return world_; }
  const QString& Output() const { return output_; }
  std::string BusAddress() const { return "unix:path=" + world_ + "/bus"; }

  // A command line for the simulator of the seals on COM1 ("com-seals") or on the
  // network interface ("net-seals"); what it answers lands in the file of that name.
  bool Tell(const std::string& simulator, const std::string& command) const;

  // The programs of the world see what the script set up.
  void EnterWorld() const;

  bool Finished(int& exitCode);

 private:
  std::string temporary_;
  std::string world_;
  QString output_;
  QProcess process_;
  std::set<pid_t> programs_;
};
