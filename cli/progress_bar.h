// A one-line progress bar on stderr, drawn only when stderr is a terminal so
// that pipes and logs stay clean.
#pragma once

#include <string>

namespace kovra62386::cli {

bool stderr_is_terminal();

class ProgressBar {
 public:
  // Draws nothing unless `enabled` and stderr is a terminal.
  ProgressBar(std::string label, int total, bool enabled = true);
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  void update(int done, const std::string& note = {});
  // For a total learnt on the way (0 keeps the one given).
  void update(int done, int total, const std::string& note);
  // Clears the line for a line of ordinary output; the next update draws
  // the bar again.
  void clear();
  // Clears the line, so that ordinary output follows on a clean line.
  void finish();

 private:
  std::string label_;
  int total_;
  bool active_;
};

}  // namespace kovra62386::cli
