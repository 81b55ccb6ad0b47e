#pragma once
// The world that tests of the crypto service's clients run in: a private session bus that
// starts the real brisel by activation, a private registry and ODBC configuration with
// an SQLite key database, and a rack for simulated crypto tokens. Made once per process
// in main, before anything connects to the bus: everything the service inherits is set
// before the bus starts it.

#include <memory>
#include <string>

#include "keydb_test_support.h"
#include "token_sim.h"

namespace brisel_test {

class ServiceWorld {
 public:
  ServiceWorld();
  ~ServiceWorld();
  ServiceWorld(const ServiceWorld&) = delete;
  ServiceWorld& operator=(const ServiceWorld&) = delete;

  static ServiceWorld& Get();
  // The key database's backend: an SQLite file through the SQLite ODBC driver.
  static const keydb_test::Backend& Database();
  sim::TokenRack& Tokens();
  const std::string& ServiceDirectory() const;
  const std::string& BusAddress() const;

  // What an activated service is started with from now on (with the key database, the
  // first); the running one keeps what it was started with until EndService.
  void ServeKeyDatabase(bool withDatabase);
  // Ends the running service, so that the next client starts one afresh. Also to be
  // called before the process's QCoreApplication goes.
  void EndService();

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
};

}  // namespace brisel_test
