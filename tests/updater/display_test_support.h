// A display that records what the updater shows it, for tests.
#pragma once

#include <string>
#include <vector>

#include "UpdaterDisplayInterface.h"

namespace display_test {

class RecordingDisplay : public UpdaterDisplayInterface {
 public:
  void display_progress(bool on) override { progressSwitches.push_back(on); }
  void update_progress(double fraction, const char*) override { fractions.push_back(fraction); }
  void update_spinner(bool on, const char*) override { spinnerOn += on ? 1 : 0; }
  void info_message(const char* text) override { infos.emplace_back(text); }
  void error_message(const char* text) override { errors.emplace_back(text); }

  bool shows(const std::string& text) const {
    for (const std::string& line : infos)
      if (line == text) return true;
    return false;
  }

  std::vector<bool> progressSwitches;
  std::vector<double> fractions;
  int spinnerOn = 0;
  std::vector<std::string> infos;
  std::vector<std::string> errors;
};

}  // namespace display_test
