#include "shipped_reader.h"

#include <QGuiApplication>
#include <QJsonValue>
#include <QPixmap>
#include <QProcessEnvironment>
#include <QScreen>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "x_input.h"

namespace fs = std::filesystem;

ReservedPort::ReservedPort() {
  socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int reuse = 1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (socket_ < 0 || ::setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0 ||
      ::bind(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return;
  number_ = ntohs(address.sin_port);
}

ReservedPort::~ReservedPort() {
  if (socket_ >= 0) ::close(socket_);
}

void Screenshot(const std::string& name) {
  const std::string path = std::string(BUILD_DIR) + "/" + name + ".png";
  EXPECT_TRUE(QGuiApplication::primaryScreen()->grabWindow(0).save(QString::fromStdString(path))) << path;
}

std::vector<std::string> Requests(const std::string& world, uint32_t serial) {
  std::vector<std::string> requests;
  for (const char* file : {"com-seals", "net-seals"}) {
    std::ifstream in(fs::path(world) / file);
    for (std::string line; std::getline(in, line);) {
      std::istringstream words(line);
      std::string word, type, command, rest;
      uint32_t of = 0;
      if (!(words >> word >> of) || word != "request" || of != serial || !(words >> type)) continue;
      std::string request = type;
      if (type == "Q" && words >> command) request += " " + command;
      std::getline(words, rest);
      if (rest.find("refused") != std::string::npos || rest.find("mac bad") != std::string::npos)
        request += " (" + rest + ")";
      requests.push_back(request);
    }
  }
  return requests;
}

std::vector<std::string> Steps(const std::vector<std::string>& requests) {
  std::vector<std::string> steps;
  for (const std::string& r : requests)
    if (steps.empty() || steps.back() != r) steps.push_back(r);
  return steps;
}

std::string Join(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

void ShippedReader::SetUp() {
  // The browser here refuses port 0, which would have it pick one itself.
  ASSERT_NE(debugging_.Number(), 0) << "no port for the browser's remote debugging";
  QProcessEnvironment extra;
  extra.insert("QTWEBENGINE_REMOTE_DEBUGGING", QString("127.0.0.1:%1").arg(debugging_.Number()));
  script_ = std::make_unique<TryZarn>(extra);
  ASSERT_TRUE(script_->Started()) << script_->Output().toStdString();
  const auto window = x_input::WindowTitled("ZARN", 60000);
  ASSERT_TRUE(window) << "the reader's window did not come up";
  window_ = *window;
  ASSERT_TRUE(page_.Connect(debugging_.Number(), 60000)) << page_.Error().toStdString();
}

std::pair<std::string, std::string> ShippedReader::Operate(const QString& button) {
  if (!page_.Click("#" + button)) return {"not clicked", page_.Error().toStdString()};
  return Result();
}

std::pair<std::string, std::string> ShippedReader::Result() {
  if (!page_.WaitFor("!document.body.classList.contains('working') && document.getElementById('message').dataset.kind",
                     OperationTime))
    return {"not ended", page_.Error().toStdString()};
  const QJsonValue result = page_.Evaluate(
      "[document.getElementById('message').dataset.kind, document.getElementById('message').innerText]");
  return {result[0].toString().toStdString(), result[1].toString().simplified().toStdString()};
}

std::string ShippedReader::Text(const QString& id) {
  return page_.Evaluate("document.getElementById('" + id + "').innerText").toString().trimmed().toStdString();
}

void ShippedReader::OpenFromView(const QString& entry) {
  ASSERT_TRUE(x_input::ClickAt(window_.x() + 60, window_.bottom() - 70));
  ASSERT_TRUE(x_input::Keys({"Home"}));
  ASSERT_TRUE(x_input::Type(entry));
  ASSERT_TRUE(x_input::Keys({"Return"}));
}

void ShippedReader::ShowView(const QString& key) { ASSERT_TRUE(x_input::Keys({"alt+v", key})); }

void ShippedReader::Tell(const std::string& simulator, const std::string& command) {
  // The simulator's answers so far, in order.
  const auto answers = [&] {
    std::ifstream in(fs::path(script_->World()) / simulator);
    std::vector<std::string> said;
    for (std::string line; std::getline(in, line);)
      if (line == "ok" || line == "error") said.push_back(line);
    return said;
  };
  const size_t before = answers().size();
  ASSERT_TRUE(script_->Tell(simulator, command)) << command;
  ASSERT_TRUE(QTest::qWaitFor([&] { return answers().size() > before; }, 10000)) << command << ": no answer";
  ASSERT_EQ(answers()[before], "ok") << command;
}
