#include "server/scripted_faults.h"

#include <utility>

#include "protocol/message.h"
#include "server/bus_model.h"

namespace kovra62386::sim {

ScriptedFaults::Script ScriptedFaults::script() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return script_;
}

// ---- Settings ----

void ScriptedFaults::set_greeting_withheld(bool withheld) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.greeting_withheld = withheld;
}

void ScriptedFaults::set_greeting_delay(std::chrono::milliseconds delay) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.greeting_delay = delay;
}

void ScriptedFaults::set_reply_delay(std::chrono::milliseconds delay) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.reply_delay = delay;
}

void ScriptedFaults::set_auto_reply(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.auto_reply = on;
}

void ScriptedFaults::set_reply_script(ReplyScript reply_script) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.reply_script = std::move(reply_script);
}

void ScriptedFaults::set_enumeration(EnumerationScript enumeration) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.enumeration = std::move(enumeration);
}

// ---- Actions ----

void ScriptedFaults::release_greetings() {
  run_on_io([this] {
    for_each_session([this](ClientSession& session) { greet(session, {}); });
  });
}

void ScriptedFaults::send_frame(uint8_t index, const ReadFrameRecord& record) {
  run_on_io(
      [this, index, record] { bus_sink().to_listeners(index, record, 0); });
}

void ScriptedFaults::send_raw(const Message& bytes) {
  run_on_io([this, bytes] {
    for_each_session([&bytes](ClientSession& session) { session.send(bytes); });
  });
}

void ScriptedFaults::send_device_closed(uint8_t index) {
  run_on_io([this, index] {
    const Message message = make_device_closed(index);
    BusInterface* interface = find_interface(index);
    for_each_session([&](ClientSession& session) {
      if (session.open_interfaces().erase(index) != 0) {
        session.send(message);
        if (interface) interface->drop_client(session.id());
      }
    });
  });
}

void ScriptedFaults::drop_connections() {
  run_on_io([this] {
    for_each_session([](ClientSession& session) { session.close(); });
  });
}

void ScriptedFaults::set_gear_silent(uint8_t index, uint8_t short_address,
                                     bool silent) {
  run_on_io([this, index, short_address, silent] {
    if (BusInterface* interface = find_interface(index)) {
      if (BusModel* model = interface->bus_model()) {
        model->set_gear_silent(short_address, silent);
      }
    }
  });
}

void ScriptedFaults::force_collision_next_answer(uint8_t index) {
  run_on_io([this, index] {
    if (BusInterface* interface = find_interface(index)) {
      if (BusModel* model = interface->bus_model()) {
        model->force_collision_next_answer();
      }
    }
  });
}

}  // namespace kovra62386::sim
