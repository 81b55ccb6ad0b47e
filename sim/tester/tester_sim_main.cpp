// Serves a simulated seal tester for trying the tester control by hand or from a script.
//   zarn-tester-sim [--com N] [--log FILE]
// The tester's line is a pseudo-terminal entered as COM N (1 by default) in a port map
// of its own, whose file it prints ("map FILE": point ZARN_PORT_MAP at it). With --log,
// every command line received is appended to FILE as it arrived (CR included), then LF.
// Then it reads commands from stdin until their end or "quit":
//   values COMMAND [TEXT...]        what COMMAND answers with (numbers separated by blanks)
//   fault KIND [PARAM] [TEXT...]    KIND: none silence trickle nook omit trailer raw
//   log                             the lines received so far
#include <iostream>
#include <map>
#include <sstream>
#include <string>

#include "tester_sim.h"

int main(int argc, char** argv) {
  unsigned com = 1;
  std::string logFile;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--com" && i + 1 < argc) {
      com = unsigned(std::stoul(argv[++i]));
    } else if (a == "--log" && i + 1 < argc) {
      logFile = argv[++i];
    } else {
      std::cerr << "usage: zarn-tester-sim [--com N] [--log FILE]\n";
      return 2;
    }
  }
  sim::TesterSimulator tester;
  if (!logFile.empty()) tester.SetLogFile(logFile);
  sim::ScopedPortMap map({{com, tester.Path(), false}});
  std::cout << "map " << map.File() << "\nCOM" << com << ' ' << tester.Path() << std::endl;

  static const std::map<std::string, sim::TesterFault> kinds = {
      {"none", sim::TesterFault::None},         {"silence", sim::TesterFault::Silence},
      {"trickle", sim::TesterFault::Trickle},   {"nook", sim::TesterFault::NoOk},
      {"omit", sim::TesterFault::OmitValues},   {"trailer", sim::TesterFault::Trailer},
      {"raw", sim::TesterFault::Raw}};
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string word, rest;
    in >> word;
    bool ok = true;
    if (word == "quit") break;
    if (word == "values") {
      std::string command;
      ok = bool(in >> command);
      std::getline(in >> std::ws, rest);
      if (ok) tester.SetValues(command, rest);
    } else if (word == "fault") {
      std::string kind;
      uint32_t param = 0;
      ok = bool(in >> kind) && kinds.count(kind);
      if (ok && !(in >> param)) in.clear();
      std::getline(in >> std::ws, rest);
      if (ok) tester.SetFault(kinds.at(kind), param, rest);
    } else if (word == "log") {
      for (const std::string& l : tester.Received()) std::cout << l.substr(0, l.size() - 1) << "<CR>\n";
    } else if (!word.empty()) {
      ok = false;
    }
    std::cout << (ok ? "ok" : "?") << std::endl;
  }
  return 0;
}
