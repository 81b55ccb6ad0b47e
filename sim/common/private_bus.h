#pragma once
// A session bus of the test's own: a dbus-daemon with a short start time-out and an
// activation folder of its own, set as the session bus of this process (before any
// Qt object connects to it) and ended with the object.

#include <string>
#include <sys/types.h>

namespace sim {

class PrivateSessionBus {
 public:
  PrivateSessionBus();
  ~PrivateSessionBus();
  PrivateSessionBus(const PrivateSessionBus&) = delete;
  PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

  const std::string& Address() const { return address_; }
  // The folder the bus reads activation files from.
  const std::string& ServiceDirectory() const { return services_; }
  // Writes an activation file: the bus starts command when name is asked for.
  void AddService(const std::string& name, const std::string& command) const;

 private:
  std::string folder_;
  std::string services_;
  std::string address_;
  pid_t daemon_ = -1;
};

}  // namespace sim
