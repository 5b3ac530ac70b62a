#include "cli/bridge/mqtt_client.h"

#include <mosquitto.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace kovra62386::cli::bridge {
namespace {

// libmosquitto's global set-up, once per process, before any client.
struct Library {
  Library() { mosquitto_lib_init(); }
  ~Library() { mosquitto_lib_cleanup(); }
};

void require(int rc, const char* what) {
  if (rc != MOSQ_ERR_SUCCESS) {
    throw std::runtime_error(std::string(what) + ": " + mosquitto_strerror(rc));
  }
}

// Reconnect back-off: 1 s, doubling, at most 30 s.
constexpr unsigned kReconnectFirst = 1;
constexpr unsigned kReconnectMost = 30;

}  // namespace

MqttClient::MqttClient(const Options& options, ConnectHandler on_connect,
                       MessageHandler on_message)
    : options_(options),
      connect_handler_(std::move(on_connect)),
      message_handler_(std::move(on_message)) {
  static Library library;
  handle_ = mosquitto_new(options_.client_id.c_str(), true, this);
  if (handle_ == nullptr) {
    throw std::runtime_error("cannot create an MQTT client with id '" +
                             options_.client_id + "'");
  }
  try {
    if (options_.username) {
      require(mosquitto_username_pw_set(
                  handle_, options_.username->c_str(),
                  options_.password ? options_.password->c_str() : nullptr),
              "MQTT user name");
    }
    if (options_.tls_ca) {
      require(mosquitto_tls_set(handle_, options_.tls_ca->c_str(), nullptr,
                                nullptr, nullptr, nullptr),
              "TLS CA file");
    }
    require(mosquitto_will_set(handle_, options_.will_topic.c_str(),
                               static_cast<int>(options_.will_payload.size()),
                               options_.will_payload.data(), 1, true),
            "last will");
    require(mosquitto_reconnect_delay_set(handle_, kReconnectFirst,
                                          kReconnectMost, true),
            "reconnect delay");
  } catch (...) {
    mosquitto_destroy(handle_);
    throw;
  }
  mosquitto_connect_callback_set(handle_, &MqttClient::on_connect);
  mosquitto_disconnect_callback_set(handle_, &MqttClient::on_disconnect);
  mosquitto_publish_callback_set(handle_, &MqttClient::on_publish);
  mosquitto_message_callback_set(handle_, &MqttClient::on_message);
}

MqttClient::~MqttClient() {
  stop();
  mosquitto_destroy(handle_);
}

void MqttClient::start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (connector_.joinable()) return;
  stopping_ = false;
  connector_ = std::thread([this] { connect_until_stopped(); });
}

// libmosquitto's network thread reconnects after a connection is lost, but
// not when the very first attempt fails (2.0.11): until that succeeds this
// thread tries, with the same back-off.
void MqttClient::connect_until_stopped() {
  std::chrono::seconds delay(kReconnectFirst);
  for (;;) {
    if (mosquitto_connect_async(handle_, options_.host.c_str(), options_.port,
                                options_.keepalive_seconds) ==
        MOSQ_ERR_SUCCESS) {
      const bool running = mosquitto_loop_start(handle_) == MOSQ_ERR_SUCCESS;
      std::lock_guard<std::mutex> lock(mutex_);
      loop_running_ = running;
      return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (stop_requested_.wait_for(lock, delay, [this] { return stopping_; })) {
      return;
    }
    delay = std::min(delay * 2, std::chrono::seconds(kReconnectMost));
  }
}

void MqttClient::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  stop_requested_.notify_all();
  if (connector_.joinable()) connector_.join();
  bool running = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    running = std::exchange(loop_running_, false);
  }
  if (running) {
    mosquitto_disconnect(handle_);
    mosquitto_loop_stop(handle_, false);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  connected_ = false;
}

bool MqttClient::connected() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connected_;
}

bool MqttClient::publish(const std::string& topic, std::string_view payload,
                         bool retain, int qos) {
  if (!connected()) return false;
  return mosquitto_publish(handle_, nullptr, topic.c_str(),
                           static_cast<int>(payload.size()), payload.data(),
                           qos, retain) == MOSQ_ERR_SUCCESS;
}

bool MqttClient::publish_confirmed(const std::string& topic,
                                   std::string_view payload, bool retain,
                                   std::chrono::milliseconds wait) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!connected_) return false;
    confirming_ = true;
    acknowledged_ids_.clear();
  }
  // Not under our lock: the network thread may hold the library's locks
  // while it waits for ours in on_publish.
  int mid = 0;
  const bool sent =
      mosquitto_publish(handle_, &mid, topic.c_str(),
                        static_cast<int>(payload.size()), payload.data(), 1,
                        retain) == MOSQ_ERR_SUCCESS;
  std::unique_lock<std::mutex> lock(mutex_);
  const bool acknowledged = sent && acknowledged_.wait_for(lock, wait, [&] {
    return acknowledged_ids_.contains(mid) || !connected_;
  }) && acknowledged_ids_.contains(mid);
  confirming_ = false;
  acknowledged_ids_.clear();
  return acknowledged;
}

bool MqttClient::subscribe(const std::string& pattern) {
  return mosquitto_subscribe(handle_, nullptr, pattern.c_str(), 0) ==
         MOSQ_ERR_SUCCESS;
}

void MqttClient::on_connect(struct mosquitto*, void* self, int rc) {
  auto* client = static_cast<MqttClient*>(self);
  if (rc != 0) return;  // refused: the network thread tries again
  {
    std::lock_guard<std::mutex> lock(client->mutex_);
    client->connected_ = true;
  }
  if (client->connect_handler_) client->connect_handler_();
}

void MqttClient::on_disconnect(struct mosquitto*, void* self, int) {
  auto* client = static_cast<MqttClient*>(self);
  {
    std::lock_guard<std::mutex> lock(client->mutex_);
    client->connected_ = false;
  }
  client->acknowledged_.notify_all();
}

void MqttClient::on_publish(struct mosquitto*, void* self, int mid) {
  auto* client = static_cast<MqttClient*>(self);
  {
    std::lock_guard<std::mutex> lock(client->mutex_);
    if (!client->confirming_) return;
    client->acknowledged_ids_.insert(mid);
  }
  client->acknowledged_.notify_all();
}

void MqttClient::on_message(struct mosquitto*, void* self,
                            const struct mosquitto_message* message) {
  auto* client = static_cast<MqttClient*>(self);
  if (message == nullptr || message->topic == nullptr ||
      !client->message_handler_) {
    return;
  }
  const std::string_view payload(
      static_cast<const char*>(message->payload),
      message->payload == nullptr
          ? 0
          : static_cast<std::size_t>(message->payloadlen));
  client->message_handler_(message->topic, payload);
}

}  // namespace kovra62386::cli::bridge
