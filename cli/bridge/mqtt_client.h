// The one place that speaks libmosquitto: a client with its own network
// thread, reconnecting with back-off, and a last will. Nothing else in the
// bridge touches mosquitto_*.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>

struct mosquitto;
struct mosquitto_message;

namespace kovra62386::cli::bridge {

class MqttClient {
 public:
  struct Options {
    std::string host = "localhost";
    int port = 1883;
    std::string client_id;
    std::optional<std::string> username;
    std::optional<std::string> password;
    std::optional<std::string> tls_ca;  // a CA file turns TLS on
    std::string will_topic;             // retained, QoS 1
    std::string will_payload;
    int keepalive_seconds = 60;
  };
  // Both run on the client's network thread; they must not block.
  using ConnectHandler = std::function<void()>;
  using MessageHandler =
      std::function<void(std::string_view topic, std::string_view payload)>;

  // Throws std::runtime_error when the options are refused (a CA file that
  // cannot be read, a client id the library rejects).
  MqttClient(const Options& options, ConnectHandler on_connect,
             MessageHandler on_message);
  ~MqttClient();
  MqttClient(const MqttClient&) = delete;
  MqttClient& operator=(const MqttClient&) = delete;

  // Connects in the background; a broker that is not there yet, or goes
  // away, is tried again with back-off (1 s doubling to 30 s).
  void start();

  // Publishes when connected; false when not (nothing is queued then: the
  // caller keeps what must survive). QoS 0 except where asked.
  bool publish(const std::string& topic, std::string_view payload, bool retain,
               int qos = 0);
  // Publishes at QoS 1 and waits up to `wait` for the broker's
  // acknowledgement; true when it came.
  bool publish_confirmed(const std::string& topic, std::string_view payload,
                         bool retain, std::chrono::milliseconds wait);
  bool subscribe(const std::string& pattern);

  bool connected() const;
  // A clean disconnect (no last will), then the network thread ends.
  void stop();

 private:
  void connect_until_stopped();
  static void on_connect(struct mosquitto*, void* self, int rc);
  static void on_disconnect(struct mosquitto*, void* self, int rc);
  static void on_publish(struct mosquitto*, void* self, int mid);
  static void on_message(struct mosquitto*, void* self,
                         const struct mosquitto_message* message);

  struct mosquitto* handle_ = nullptr;
  Options options_;
  ConnectHandler connect_handler_;
  MessageHandler message_handler_;
  mutable std::mutex mutex_;
  std::condition_variable acknowledged_;
  bool confirming_ = false;         // a publish_confirmed waits
  std::set<int> acknowledged_ids_;  // while it waits: few
  std::condition_variable stop_requested_;
  bool connected_ = false;
  bool stopping_ = false;
  bool loop_running_ = false;
  std::thread connector_;  // until the first connection attempt succeeds
};

}  // namespace kovra62386::cli::bridge
