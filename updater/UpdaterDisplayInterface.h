#pragma once

// Console sink through which the controller and the upgrade conversation talk to
// the user: messages, a progress bar and a spinner.
class UpdaterDisplayInterface {
 public:
  enum Level {
    INFO = 0,   // information, standard output on a console
    ERROR = 1,  // error, standard error on a console
  };

  UpdaterDisplayInterface();

  virtual void display_progress(bool on) = 0;
  virtual void update_progress(double fraction, const char* label) = 0;
  virtual void update_spinner(bool on, const char* label) = 0;
  virtual void info_message(const char* text) = 0;
  virtual void error_message(const char* text) = 0;

  // Silences message() only; the bar and the spinner still draw.
  void mute_messages(bool on);

  // Formats a message (cut to 2047 characters) and hands it to error_message
  // for ERROR and to info_message for every other level.
  void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));

 protected:
  // Displays are owned by value and never deleted through this interface.
  ~UpdaterDisplayInterface() = default;

 private:
  bool muted;
};
