// The arguments a peer sends to a served object: hostile message bodies reach the
// broker's call handling and the conversion of every argument kind through a real bus.
// The process runs a bus daemon of its own, serves the test class on it as the servers
// do, and talks to it as a raw peer over a Unix socket: each input is a method call
// whose member, body signature and body come from the input. Every call must be
// answered; a call the server does not answer within a few seconds is a finding.
//
// The peer answers the server's calls to objects it named as the input says: the
// replies to the server's proxies are hostile too. Bodies that are no valid message (as the
// bus library checks them) are not sent: the daemon would only drop the peer for them.
#include <dbus/dbus.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QProcess>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "com_test_variants.h"
#include "dbus_marshal.h"
#include "object_broker.h"

using namespace platform::dbus;

namespace {

constexpr auto ReplyCap = std::chrono::seconds(5);

// Member names of ITestVariants that take arguments.
const char* const Members[] = {"Echo", "Describe", "put_Value", "CallBack", "Typed"};

// A message in the bus's little-endian wire form: a method call, or the return of one.
class WireMessage {
 public:
  WireMessage(uint32_t serial, const std::string& destination, const std::string& path, const std::string& interface,
              const std::string& member, const std::string& signature, const std::string& body)
      : serial_(serial) {
    const size_t fieldsLength = Start(DBUS_MESSAGE_TYPE_METHOD_CALL, body);
    Field(DBUS_HEADER_FIELD_PATH, 'o', path);
    if (!interface.empty()) Field(DBUS_HEADER_FIELD_INTERFACE, 's', interface);
    Field(DBUS_HEADER_FIELD_MEMBER, 's', member);
    Field(DBUS_HEADER_FIELD_DESTINATION, 's', destination);
    Finish(fieldsLength, signature, body);
  }
  WireMessage(uint32_t serial, uint32_t replyTo, const std::string& destination, const std::string& signature,
              const std::string& body)
      : serial_(serial) {
    const size_t fieldsLength = Start(DBUS_MESSAGE_TYPE_METHOD_RETURN, body);
    Align(8);
    bytes_ += std::string("\5\1u\0", 4);
    U32(replyTo);
    Field(DBUS_HEADER_FIELD_DESTINATION, 's', destination);
    Finish(fieldsLength, signature, body);
  }
  const std::string& Bytes() const { return bytes_; }
  uint32_t Serial() const { return serial_; }

  // Strings and paths as a body carries them.
  static void PutString(std::string& body, const std::string& s) {
    while (body.size() % 4) body += '\0';
    uint32_t n = uint32_t(s.size());
    body.append(reinterpret_cast<const char*>(&n), 4);
    body += s;
    body += '\0';
  }

 private:
  // The fixed part of the header; where the length of its fields goes.
  size_t Start(int type, const std::string& body) {
    bytes_ = {'l', char(type), 0, 1};
    U32(uint32_t(body.size()));
    U32(serial_);
    const size_t fieldsLength = bytes_.size();
    U32(0);
    return fieldsLength;
  }
  void Finish(size_t fieldsLength, const std::string& signature, const std::string& body) {
    if (!signature.empty()) {
      Align(8);
      bytes_ += char(DBUS_HEADER_FIELD_SIGNATURE);
      bytes_ += std::string("\1g\0", 3);
      bytes_ += char(uint8_t(signature.size()));
      bytes_ += signature;
      bytes_ += '\0';
    }
    const uint32_t length = uint32_t(bytes_.size() - fieldsLength - 4);
    std::memcpy(&bytes_[fieldsLength], &length, 4);
    Align(8);
    bytes_ += body;
  }
  void Align(size_t n) {
    while (bytes_.size() % n) bytes_ += '\0';
  }
  void U32(uint32_t v) {
    Align(4);
    bytes_.append(reinterpret_cast<const char*>(&v), 4);
  }
  void Field(int code, char type, const std::string& value) {
    Align(8);
    bytes_ += char(code);
    bytes_ += '\1';
    bytes_ += type;
    bytes_ += '\0';
    PutString(bytes_, value);
  }

  const uint32_t serial_;
  std::string bytes_;
};

// A peer that speaks the bus protocol by hand. A thread of its own reads what comes:
// the replies to its calls, and the server's calls to objects the peer named, which it
// answers with an error at once (the server may be waiting for them inside our call).
class RawPeer {
 public:
  explicit RawPeer(std::string socketPath) : socketPath_(std::move(socketPath)) {}
  ~RawPeer() { Disconnect(); }

  bool Connect() {
    Disconnect();
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath_.c_str(), sizeof address.sun_path - 1);
    if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return false;
    const std::string uid = std::to_string(getuid());
    std::string hex;
    for (char c : uid) {
      char two[3];
      std::snprintf(two, sizeof two, "%02x", unsigned(uint8_t(c)));
      hex += two;
    }
    if (!Write(std::string("\0AUTH EXTERNAL ", 15) + hex + "\r\n")) return false;
    std::string line;
    char c;
    while (line.size() < 512 && read(fd_, &c, 1) == 1 && c != '\n') line += c;
    if (line.rfind("OK ", 0) != 0 || !Write("BEGIN\r\n")) return false;
    disconnected_ = false;
    reader_ = std::thread([this] { Read(); });
    DBusMessage* hello = Call(WireMessage(NextSerial(), DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS,
                                          "Hello", "", ""));
    const char* name = nullptr;
    if (hello && dbus_message_get_args(hello, nullptr, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID)) name_ = name;
    if (hello) dbus_message_unref(hello);
    return !name_.empty();
  }

  void Disconnect() {
    if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
    if (reader_.joinable()) reader_.join();
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    name_.clear();
  }

  // How the peer answers the server's calls from now on; without an answer, with an error.
  void SetAnswer(bool answer, std::string signature, std::string body) {
    std::lock_guard lock(mutex_);
    answer_ = answer;
    answerSignature_ = std::move(signature);
    answerBody_ = std::move(body);
  }

  bool Disconnected() const { return disconnected_; }
  const std::string& Name() const { return name_; }
  uint32_t NextSerial() { return ++serial_; }

  // Sends the call and runs the application's events until its reply comes or the
  // daemon drops the peer; the reply, or null.
  DBusMessage* Call(const WireMessage& message) {
    {
      std::lock_guard lock(mutex_);
      awaited_ = message.Serial();
      reply_ = nullptr;
    }
    if (!Write(message.Bytes())) return nullptr;
    const auto end = std::chrono::steady_clock::now() + ReplyCap;
    for (;;) {
      {
        std::lock_guard lock(mutex_);
        if (reply_ || disconnected_) {
          DBusMessage* reply = reply_;
          reply_ = nullptr;
          awaited_ = 0;
          return reply;
        }
      }
      if (std::chrono::steady_clock::now() > end) {
        std::fprintf(stderr, "the server did not answer a call within %lld s\n",
                     static_cast<long long>(ReplyCap.count()));
        std::abort();
      }
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
  }

 private:
  bool Write(const std::string& bytes) {
    std::lock_guard lock(writeMutex_);
    for (size_t at = 0; at < bytes.size();) {
      ssize_t n = send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
      if (n <= 0) return false;
      at += size_t(n);
    }
    return true;
  }

  void Wake() {
    if (auto* dispatcher = QAbstractEventDispatcher::instance(QCoreApplication::instance()->thread()))
      dispatcher->wakeUp();
  }

  void Read() {
    std::string buffer;
    char chunk[65536];
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 200) == 0) {
        Wake();  // lets the waiting call look at its clock
        continue;
      }
      ssize_t n = read(fd_, chunk, sizeof chunk);
      if (n <= 0) break;
      buffer.append(chunk, size_t(n));
      while (buffer.size() >= 16) {
        int needed = dbus_message_demarshal_bytes_needed(buffer.data(), int(buffer.size()));
        if (needed <= 0) goto gone;
        if (size_t(needed) > buffer.size()) break;
        DBusMessage* message = dbus_message_demarshal(buffer.data(), needed, nullptr);
        buffer.erase(0, size_t(needed));
        if (!message) goto gone;
        Take(message);
      }
    }
  gone:
    {
      std::lock_guard lock(mutex_);
      disconnected_ = true;
    }
    Wake();
  }

  void Take(DBusMessage* message) {
    const int type = dbus_message_get_type(message);
    if (type == DBUS_MESSAGE_TYPE_METHOD_CALL) {
      if (!dbus_message_get_no_reply(message)) Answer(message);
      dbus_message_unref(message);
      return;
    }
    if (type == DBUS_MESSAGE_TYPE_METHOD_RETURN || type == DBUS_MESSAGE_TYPE_ERROR) {
      std::lock_guard lock(mutex_);
      if (awaited_ && dbus_message_get_reply_serial(message) == awaited_ && !reply_) {
        reply_ = message;
        Wake();
        return;
      }
    }
    dbus_message_unref(message);
  }

  // The server calls an object the peer named: the type information is that of IPeer;
  // a call is answered with the input's reply when it has one, else with an error.
  void Answer(DBusMessage* call) {
    std::string bytes;
    if (dbus_message_is_method_call(call, ObjectInterface, "GetTypeInfo")) {
      std::string body;
      WireMessage::PutString(body, PeerDescription());
      bytes = WireMessage(NextSerial(), dbus_message_get_serial(call), dbus_message_get_sender(call), "s", body).Bytes();
    } else {
      std::lock_guard lock(mutex_);
      if (answer_)
        bytes = WireMessage(NextSerial(), dbus_message_get_serial(call), dbus_message_get_sender(call),
                            answerSignature_, answerBody_)
                    .Bytes();
    }
    if (DBusMessage* valid = bytes.empty() ? nullptr : dbus_message_demarshal(bytes.data(), int(bytes.size()), nullptr)) {
      dbus_message_unref(valid);
      Write(bytes);
      return;
    }
    DBusMessage* error = dbus_message_new_error(call, DBUS_ERROR_UNKNOWN_OBJECT, "no such object");
    dbus_message_set_serial(error, NextSerial());
    char* marshalled = nullptr;
    int length = 0;
    if (dbus_message_marshal(error, &marshalled, &length)) Write(std::string(marshalled, size_t(length)));
    dbus_free(marshalled);
    dbus_message_unref(error);
  }

  static std::string PeerDescription() {
    static const InterfaceInfo info{
        MakeGuid("{00000000-0000-0000-0000-0000000000AA}"),
        "IPeer",
        "",
        {{1, "Describe", MemberKind::Method, {{"Value", VT_VARIANT}}, VT_BSTR}}};
    return SerializeInterface(info).toStdString();
  }

  const std::string socketPath_;
  int fd_ = -1;
  std::string name_;
  std::thread reader_;
  std::atomic<uint32_t> serial_{0};
  std::mutex writeMutex_;
  std::mutex mutex_;
  uint32_t awaited_ = 0;
  DBusMessage* reply_ = nullptr;
  bool answer_ = false;
  std::string answerSignature_;
  std::string answerBody_;
  bool disconnected_ = true;
};

pid_t daemonPid = 0;

void StopDaemon() {
  if (daemonPid > 0) kill(daemonPid, SIGTERM);
}

// The daemon, the server on it and the peer; made once, kept for the whole run.
class Harness {
 public:
  Harness() {
    static int argc = 1;
    static char name[] = "fuzz_dbus_arguments";
    static char* argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
    auto* daemon = new QProcess;
    daemon->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // A finding ends the fuzzer without its exit handlers: the daemon goes with it.
    daemon->setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
    daemon->start("dbus-daemon", {"--session", "--nofork", "--print-address"});
    if (!daemon->waitForReadyRead(10000)) Fail("no bus daemon");
    daemonPid = pid_t(daemon->processId());
    std::atexit(StopDaemon);
    const QString address = QString::fromUtf8(daemon->readLine()).trimmed();
    // unix:path=... or unix:abstract=... is not what tmpdir gives on every system; the
    // peer needs a socket path.
    QString path;
    for (const QString& part : address.section(':', 1).split(','))
      if (part.startsWith("path=")) path = part.mid(5);
    if (path.isEmpty()) Fail("the bus daemon gives no socket path");
    bus_ = new QDBusConnection(QDBusConnection::connectToBus(address, "zarn-fuzz"));
    if (!bus_->isConnected() || !ObjectBroker::For(*bus_).AddFactory(CLSID_TestVariants, new CTestVariantsFactory))
      Fail("cannot serve on the bus");
    // The server's bounds on the peer's answers lie well under the cap, so that a call is
    // answered within it however the peer answers (two objects to describe and a call to one).
    ObjectBroker::For(*bus_).SetClientTimeouts({1000, 1500});
    peer_ = new RawPeer(path.toStdString());
  }

  // The peer connected with an object of its own to call; reconnects when the daemon dropped it.
  bool Ready() {
    if (!peer_->Disconnected() && !objectPath_.empty()) return true;
    objectPath_.clear();
    if (!peer_->Connect()) Fail("the peer cannot connect");
    std::string body;
    WireMessage::PutString(body, IID_ITestVariants.ToString());
    DBusMessage* reply = peer_->Call(WireMessage(peer_->NextSerial(), Server(), FactoryPath(CLSID_TestVariants).toStdString(),
                                                 FactoryInterface, "CreateInstance", "s", body));
    dbus_int32_t hr = -1;
    const char* path = nullptr;
    const char* iid = nullptr;
    if (!reply || !dbus_message_get_args(reply, nullptr, DBUS_TYPE_INT32, &hr, DBUS_TYPE_OBJECT_PATH, &path,
                                         DBUS_TYPE_STRING, &iid, DBUS_TYPE_INVALID) || hr != 0)
      Fail("the server made no object");
    objectPath_ = path;
    dbus_message_unref(reply);
    return true;
  }

  std::string Server() const { return bus_->baseService().toStdString(); }
  RawPeer& Peer() { return *peer_; }
  const std::string& ObjectPath() const { return objectPath_; }

 private:
  [[noreturn]] static void Fail(const char* what) {
    std::fprintf(stderr, "dbus_arguments: %s\n", what);
    std::exit(1);
  }

  QDBusConnection* bus_ = nullptr;
  RawPeer* peer_ = nullptr;
  std::string objectPath_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Harness* harness = new Harness;
  // The input: a byte that picks the member (and, its top bit set, that the peer answers
  // the server's calls with the reply), the call's body signature and the reply's, each
  // ended by a NUL byte, the call body's length (two bytes, little-endian), the call
  // body, and the reply body.
  if (size == 0) return 0;
  const char* const member = Members[(data[0] & 0x7f) % std::size(Members)];
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const size_t signatureEnd = rest.find('\0');
  const size_t answerEnd = signatureEnd == std::string::npos ? signatureEnd : rest.find('\0', signatureEnd + 1);
  if (answerEnd == std::string::npos || rest.size() < answerEnd + 3) return 0;
  const std::string signature = rest.substr(0, signatureEnd);
  const std::string answerSignature = rest.substr(signatureEnd + 1, answerEnd - signatureEnd - 1);
  const size_t bodyLength = uint8_t(rest[answerEnd + 1]) | size_t(uint8_t(rest[answerEnd + 2])) << 8;
  const std::string body = rest.substr(answerEnd + 3, bodyLength);
  const std::string answerBody = rest.substr(std::min(rest.size(), answerEnd + 3 + bodyLength));
  if (signature.size() > 255 || answerSignature.size() > 255) return 0;
  harness->Ready();
  RawPeer& peer = harness->Peer();
  const WireMessage call(peer.NextSerial(), harness->Server(), harness->ObjectPath(),
                         InterfaceName(TestVariantsInfo()).toStdString(), member, signature, body);
  // Only what the bus library takes as a message would reach the server at all.
  DBusMessage* valid = dbus_message_demarshal(call.Bytes().data(), int(call.Bytes().size()), nullptr);
  if (!valid) return 0;
  dbus_message_unref(valid);
  peer.SetAnswer(data[0] & 0x80, answerSignature, answerBody);
  // Every call is answered: a result (its HRESULT first) or arguments that do not match.
  if (DBusMessage* reply = peer.Call(call)) {
    const bool answered = dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_ERROR
                              ? dbus_message_is_error(reply, DBUS_ERROR_INVALID_ARGS)
                              : dbus_message_get_signature(reply)[0] == 'i';
    if (!answered) {
      std::fprintf(stderr, "a call got the reply %s\n", dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_ERROR
                                                            ? dbus_message_get_error_name(reply)
                                                            : dbus_message_get_signature(reply));
      std::abort();
    }
    dbus_message_unref(reply);
  }
  return 0;
}
