// ScriptedFaults: the in-process server's test scripting, the hooks that
// make it misbehave on command (a withheld or late Greeting, slow or
// scripted replies, an odd enumeration, injected frames and bytes, dropped
// connections, silent gear, collisions). The program never uses them;
// ServerCore inherits them so that a test scripts the server it runs
// (server.set_reply_script(...)), and serves through the settings they
// leave.
//
// Threads: as ServerCore's (server_core.h). Settings apply to what happens
// after they return; actions have taken effect when they return.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "kovra62386/kovra62386.h"
#include "protocol/message.h"
#include "server/bus_interface.h"
#include "server/client_session.h"

namespace kovra62386::sim {

// How the server answers an EnumerateRequest.
struct EnumerationScript {
  bool silent = false;        // send nothing at all
  bool send_list_end = true;  // false: never send InterfaceListEnd
  // Sent after every InterfaceEntry (frames, DeviceClosed, anything).
  std::vector<Message> interleave;
};

// What a reply script is given: a decoded TransmitFrame from a client that
// has the interface open.
struct TransmitContext {
  uint32_t client = 0;
  uint8_t index = 0;
  WriteFrameRecord frame{};
};

// Returns the messages to send to the sending client instead of the bus's
// reports (each a whole message, or any bytes), or nullopt to let the bus
// answer. Runs on the I/O thread.
using ReplyScript =
    std::function<std::optional<std::vector<Message>>(const TransmitContext&)>;

class ScriptedFaults {
 public:
  ScriptedFaults(const ScriptedFaults&) = delete;
  ScriptedFaults& operator=(const ScriptedFaults&) = delete;

  // ---- Settings ----
  // Withheld: new connections get no Greeting until release_greetings().
  void set_greeting_withheld(bool withheld);
  // New connections get their Greeting this long after they were accepted.
  void set_greeting_delay(std::chrono::milliseconds delay);
  // Every reply (enumeration, reports of transmitted frames, bus state)
  // leaves this long after its cause; order is kept.
  void set_reply_delay(std::chrono::milliseconds delay);
  // Off: TransmitFrame gets no report at all unless a reply script answers.
  void set_auto_reply(bool on);
  // Replaces the reply script; an empty function removes it.
  void set_reply_script(ReplyScript script);
  void set_enumeration(EnumerationScript script);

  // ---- Actions ----
  // Greets every connection that has not had its Greeting yet.
  void release_greetings();
  // A ReceivedFrame with `record` to every client that opened `index`.
  void send_frame(uint8_t index, const ReadFrameRecord& record);
  // Bytes as they are to every connected client.
  void send_raw(const Message& bytes);
  // DeviceClosed to every client that opened `index`; the interface counts
  // as closed for them afterwards.
  void send_device_closed(uint8_t index);
  // Closes every client connection at once (the listener stays).
  void drop_connections();
  // Gear that stop answering.
  void set_gear_silent(uint8_t index, uint8_t short_address, bool silent);
  // The next frame on the bus that gets an answer collides instead.
  void force_collision_next_answer(uint8_t index);

 protected:
  // The settings as they stand; the defaults serve faithfully.
  struct Script {
    bool greeting_withheld = false;
    std::chrono::milliseconds greeting_delay{0};
    std::chrono::milliseconds reply_delay{0};
    bool auto_reply = true;
    ReplyScript reply_script;
    EnumerationScript enumeration;
  };

  ScriptedFaults() = default;
  ~ScriptedFaults() = default;

  Script script() const;

  // What the actions need of the server.
  // Runs `action` on the I/O thread and waits for it; directly when called
  // there. False when the server is not running.
  virtual bool run_on_io(const std::function<void()>& action) = 0;
  // I/O thread: every connected client; `visit` may close sessions.
  virtual void for_each_session(
      const std::function<void(ClientSession&)>& visit) = 0;
  // I/O thread.
  virtual BusInterface* find_interface(uint8_t index) = 0;
  virtual void greet(ClientSession& session,
                     std::chrono::milliseconds delay) = 0;
  // Where injected bus records go.
  virtual BusSink& bus_sink() = 0;

 private:
  mutable std::mutex mutex_;
  Script script_;
};

}  // namespace kovra62386::sim
