// The bridge's MQTT client against a real mosquitto that the test starts
// on a free loopback port (in the test's own namespace) and ends by pid.
#if !defined(_WIN32)
#include "cli/bridge/mqtt_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>

extern char** environ;

namespace kovra62386::cli::bridge {
namespace {

using namespace std::chrono_literals;

int free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

// mosquitto on 127.0.0.1:port until destroyed.
class Broker {
 public:
  explicit Broker(int port) {
    config_ = std::filesystem::temp_directory_path() /
              ("mqtt_client_test_" + std::to_string(getpid()) + ".conf");
    std::ofstream(config_) << "listener " << port << " 127.0.0.1\n"
                           << "allow_anonymous true\npersistence false\n";
    const std::string config = config_.string();
    char* argv[] = {const_cast<char*>("mosquitto"), const_cast<char*>("-c"),
                    const_cast<char*>(config.c_str()), nullptr};
    if (::posix_spawnp(&pid_, "mosquitto", nullptr, nullptr, argv, environ) !=
        0) {
      pid_ = 0;
    }
  }
  ~Broker() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    std::filesystem::remove(config_);
  }
  bool running() const { return pid_ > 0; }

 private:
  pid_t pid_ = 0;
  std::filesystem::path config_;
};

bool mosquitto_installed() {
  return std::system("command -v mosquitto >/dev/null 2>&1") == 0;
}

MqttClient::Options options_for(int port) {
  MqttClient::Options options;
  options.host = "127.0.0.1";
  options.port = port;
  options.client_id = "mqtt-client-test-" + std::to_string(getpid());
  options.will_topic = "test/status";
  options.will_payload = "offline";
  return options;
}

// libmosquitto's own thread retries only after a first connection: the
// client must keep trying while the broker is not there yet.
TEST(MqttClient, ConnectsWhenTheBrokerComesAfterIt) {
  if (!mosquitto_installed()) GTEST_SKIP() << "no mosquitto broker";
  const int port = free_port();
  std::mutex mutex;
  std::condition_variable changed;
  int connects = 0;
  MqttClient client(
      options_for(port),
      [&] {
        {
          std::lock_guard<std::mutex> lock(mutex);
          ++connects;
        }
        changed.notify_all();
      },
      [](std::string_view, std::string_view) {});
  client.start();
  EXPECT_FALSE(client.publish("test/x", "nobody hears it", false));
  Broker broker(port);
  ASSERT_TRUE(broker.running());
  std::unique_lock<std::mutex> lock(mutex);
  ASSERT_TRUE(changed.wait_for(lock, 30s, [&] { return connects > 0; }))
      << "never connected";
  lock.unlock();
  EXPECT_TRUE(client.publish_confirmed("test/x", "heard", true, 10s));
  client.stop();
  EXPECT_FALSE(client.connected());
}

TEST(MqttClient, StopsWhileTheBrokerIsAway) {
  MqttClient client(
      options_for(free_port()), [] {},
      [](std::string_view, std::string_view) {});
  client.start();
  client.stop();  // must not wait out the back-off
  EXPECT_FALSE(client.connected());
  EXPECT_FALSE(client.publish_confirmed("test/x", "", false, 1s));
}

}  // namespace
}  // namespace kovra62386::cli::bridge
#endif
