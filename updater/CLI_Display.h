#pragma once

#include "UpdaterDisplayInterface.h"

// Terminal display: messages always, the bar and the spinner only when standard
// output is a terminal.
class CLI_Display final : public UpdaterDisplayInterface {
 public:
  // Makes standard output and standard error unbuffered.
  CLI_Display();

  void display_progress(bool on) override;
  void update_progress(double fraction, const char* label) override;
  void update_spinner(bool on, const char* label) override;
  void info_message(const char* text) override;
  void error_message(const char* text) override;
};
