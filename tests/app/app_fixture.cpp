// The quillan.exe fixture and the loopback helpers of the window tests.
#include "tests/app/app_fixture.h"

#include <chrono>
#include <span>

#include "resources/resource.h"

using namespace windriver;

namespace {

constexpr std::chrono::milliseconds kPoll{100};

UniqueSocket listenOnLoopback(std::uint16_t& port) {
  UniqueSocket listener(openTcpSocket(kFamilyIpv4));
  if (!listener || !bindIpv4(listener.get(), {127, 0, 0, 1}, 0) || !listenOn(listener.get(), 8))
    return UniqueSocket();
  port = localPortOf(listener.get());
  return listener;
}

}  // namespace

void AppTest::SetUp() {
  ASSERT_TRUE(deleteKey());
}

void AppTest::TearDown() {
  app.terminate();
  deleteKey();
}

void AppTest::launch() {
  ASSERT_TRUE(app.launch(QUILLAN_EXE)) << "cannot start " << QUILLAN_EXE;
  dialog = waitMainDialog(app.processId());
  ASSERT_NE(dialog, nullptr) << "no visible dialog; output:\n" << app.output();
}

WindowFields AppTest::readFields() const {
  return {itemText(dialog, IDC_LOCAL_ADDRESS), itemText(dialog, IDC_LOCAL_PORT),
          itemText(dialog, IDC_TARGET_SERVER), itemText(dialog, IDC_TARGET_PORT),
          itemText(dialog, IDC_PROXY_SERVER),  itemText(dialog, IDC_PROXY_PORT),
          itemText(dialog, IDC_PROXY_USER),    itemText(dialog, IDC_PROXY_PASSWORD)};
}

void AppTest::fill(const WindowFields& fields) const {
  EXPECT_TRUE(setItemText(dialog, IDC_LOCAL_PORT, fields.localPort));
  EXPECT_TRUE(setItemText(dialog, IDC_TARGET_SERVER, fields.targetServer));
  EXPECT_TRUE(setItemText(dialog, IDC_TARGET_PORT, fields.targetPort));
  EXPECT_TRUE(setItemText(dialog, IDC_PROXY_SERVER, fields.proxyServer));
  EXPECT_TRUE(setItemText(dialog, IDC_PROXY_PORT, fields.proxyPort));
  EXPECT_TRUE(setItemText(dialog, IDC_PROXY_USER, fields.proxyUser));
  EXPECT_TRUE(setItemText(dialog, IDC_PROXY_PASSWORD, fields.proxyPassword));
}

std::string AppTest::startExpectingBox() {
  EXPECT_TRUE(click(dialog, IDC_START));
  HWND box = waitMessageBox(dialog);
  if (box == nullptr) {
    ADD_FAILURE() << "no message box; output:\n" << app.output();
    return {};
  }
  EXPECT_EQ(windowText(box), kDialogTitle);
  EXPECT_FALSE(IsWindowEnabled(dialog)) << "the box is modal to the window";
  std::string text = messageBoxText(box);
  EXPECT_TRUE(answerMessageBox(box, IDOK));
  EXPECT_TRUE(waitUntil([&] { return findMessageBox(dialog) == nullptr; }));
  return text;
}

HeldPort::HeldPort() {
  listener_ = listenOnLoopback(port_);
  EXPECT_TRUE(listener_) << "cannot listen on loopback";
}

EchoTarget::EchoTarget() {
  listener_ = listenOnLoopback(port_);
  EXPECT_TRUE(listener_) << "cannot listen on loopback";
  if (listener_) acceptor_ = std::thread([this] { acceptLoop(); });
}

EchoTarget::~EchoTarget() {
  stopping_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::thread& connection : connections_) connection.join();
}

void EchoTarget::acceptLoop() {
  while (!stopping_) {
    WaitItem item{listener_.get(), true};
    if (waitSockets(std::span(&item, 1), kPoll) <= 0 || !item.readable) continue;
    Socket accepted = acceptConnection(listener_.get());
    if (accepted == noSocket) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    connections_.emplace_back([this, accepted] { echo(accepted); });
  }
}

void EchoTarget::echo(Socket socket) {
  UniqueSocket connection(socket);
  std::array<char, 4096> buffer{};
  while (!stopping_) {
    WaitItem item{connection.get(), true};
    if (waitSockets(std::span(&item, 1), kPoll) <= 0 || !item.readable) continue;
    int got = recvSome(connection.get(), buffer.data(), buffer.size());
    if (got <= 0) return;
    for (int sent = 0; sent < got;) {
      int n =
          sendSome(connection.get(), buffer.data() + sent, static_cast<std::size_t>(got - sent));
      if (n <= 0) return;
      sent += n;
    }
  }
}

std::string roundTrip(std::uint16_t port, const std::string& line) {
  ResolvedAddresses addresses;
  std::string service = std::to_string(port);
  if (resolveStreamAddresses("127.0.0.1", service.c_str(), addresses) != 0 || addresses.empty())
    return {};
  UniqueSocket client(openTcpSocket(kFamilyIpv4));
  if (!client || !connectTo(client.get(), addresses.front())) return {};
  for (std::size_t sent = 0; sent < line.size();) {
    int n = sendSome(client.get(), line.data() + sent, line.size() - sent);
    if (n <= 0) return {};
    sent += static_cast<std::size_t>(n);
  }
  std::string echoed;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (echoed.size() < line.size() && std::chrono::steady_clock::now() < deadline) {
    WaitItem item{client.get(), true};
    if (waitSockets(std::span(&item, 1), kPoll) <= 0 || !item.readable) continue;
    std::array<char, 1024> buffer{};
    int got = recvSome(client.get(), buffer.data(), buffer.size());
    if (got <= 0) break;
    echoed.append(buffer.data(), static_cast<std::size_t>(got));
  }
  return echoed;
}
