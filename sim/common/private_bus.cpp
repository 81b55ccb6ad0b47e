#include "private_bus.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace sim {

PrivateSessionBus::PrivateSessionBus() {
  char pattern[] = "/tmp/zarn-bus-XXXXXX";
  if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  folder_ = pattern;
  services_ = folder_ + "/services";
  std::filesystem::create_directory(services_);
  std::string config = folder_ + "/session.conf";
  std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                           "<busconfig>\n  <type>session</type>\n"
                           "  <listen>unix:path=" << folder_ << "/bus</listen>\n"
                           "  <servicedir>" << services_ << "</servicedir>\n"
                           "  <policy context=\"default\">\n"
                           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                           "    <allow eavesdrop=\"true\"/>\n    <allow own=\"*\"/>\n  </policy>\n"
                           "  <limit name=\"service_start_timeout\">10000</limit>\n"
                           // As many calls awaiting an answer as a desktop's session bus lets
                           // through, not the daemon's much lower built-in limit.
                           "  <limit name=\"max_replies_per_connection\">50000</limit>\n"
                           "</busconfig>\n";
  // Set before the daemon starts, so the programs it starts find this bus too.
  address_ = "unix:path=" + folder_ + "/bus";
  ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
  int ready[2];
  if (::pipe(ready) != 0) throw std::runtime_error("pipe failed");
  daemon_ = ::fork();
  if (daemon_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // a test that dies takes its bus with it
    ::dup2(ready[1], 1);
    ::close(ready[0]);
    ::execlp("dbus-daemon", "dbus-daemon", ("--config-file=" + config).c_str(), "--print-address=1", "--nofork",
             static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(ready[1]);
  // The daemon prints its address once it listens.
  char buffer[512];
  std::string line;
  ssize_t n;
  while (line.find('\n') == std::string::npos && (n = ::read(ready[0], buffer, sizeof buffer)) > 0)
    line.append(buffer, size_t(n));
  ::close(ready[0]);
  if (line.find('\n') == std::string::npos) throw std::runtime_error("dbus-daemon did not start");
}

PrivateSessionBus::~PrivateSessionBus() {
  if (daemon_ > 0) {
    ::kill(daemon_, SIGTERM);
    ::waitpid(daemon_, nullptr, 0);
  }
  std::error_code ec;
  std::filesystem::remove_all(folder_, ec);
}

void PrivateSessionBus::AddService(const std::string& name, const std::string& command) const {
  std::string file = services_ + "/" + name + ".service";
  std::ofstream(file) << "[D-BUS Service]\nName=" << name << "\nExec=" << command << "\n";
}

}  // namespace sim
