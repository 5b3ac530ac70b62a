// ControlChannel: a person's hand on the running simulation. A Unix socket
// (see protocol/control_socket.h for its place and line protocol) that
// only the server's own user may reach: the folder is private, the socket
// 0600, and each connection's peer user is checked. A request presses a
// button, changes occupancy or a light level, fails a lamp, cuts bus power
// or silences a gear; the effects reach the clients as on a real bus.
// `interfaces` answers what `kovra62386 list` shows beyond the names: each
// interface's driver, place, state, firmware and why it is lost.
//
// It runs its own thread and acts through ServerCore's public functions.
// At most kMaxConnections connections at once; a line longer than
// kMaxLine ends its connection.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <memory>
#include <string>
#include <thread>

#include "server/server_core.h"

namespace kovra62386::sim {

class ControlChannel {
 public:
  static constexpr int kMaxConnections = 8;

  ControlChannel(ServerCore& core, std::string path);
  ~ControlChannel();
  ControlChannel(const ControlChannel&) = delete;
  ControlChannel& operator=(const ControlChannel&) = delete;

  // Creates the private folder and listens. Empty on success, else why not
  // (another live server owns the socket, the folder is not private...).
  std::string start();
  // Closes the socket and removes it; safe to call twice.
  void stop();
  const std::string& path() const { return path_; }

  // One request line, without its newline; the answer without its last
  // newline (one line, or several for `interfaces`). Runs on the caller's
  // thread.
  std::string execute(const std::string& line);

 private:
  class Connection;

  void accept_next();
  std::string list_interfaces();

  ServerCore& core_;
  const std::string path_;
  boost::asio::io_context io_;
  boost::asio::local::stream_protocol::acceptor acceptor_;
  std::thread thread_;
  std::shared_ptr<int> connections_ = std::make_shared<int>(0);
  bool listening_ = false;
};

}  // namespace kovra62386::sim
