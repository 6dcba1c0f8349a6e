#include "CLI_Display.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

constexpr int kClearWidth = 88;      // columns blanked when a bar or spinner goes away
constexpr int kBarWidth = 69;        // columns of the bar without a label
constexpr int kLabelDecoration = 4;  // " (" and ") " around a label
constexpr const char* kBarText =
    "=====================================================================";
constexpr const char* kSpinnerFrames[] = {".", "..", "...", "....", ".....", "....", "...", ".."};
constexpr uint8_t kSpinnerFrameCount = sizeof kSpinnerFrames / sizeof kSpinnerFrames[0];

bool drawing() { return isatty(fileno(stdout)) == 1; }

void clear_line() { fprintf(stdout, "\r%*s\r", kClearWidth, " "); }

// Out-of-range and NaN fractions would make the bar arithmetic meaningless (or
// undefined in the conversion to int), so they are pinned to the ends of the bar.
double clamp_fraction(double fraction) {
  if (std::isnan(fraction) || fraction < 0.0) return 0.0;
  if (fraction > 1.0) return 1.0;
  return fraction;
}

}  // namespace

CLI_Display::CLI_Display() {
  setvbuf(stdout, nullptr, _IONBF, 0);
  setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool on) {
  // Turning the bar on draws nothing; the first update_progress draws it.
  if (!on && drawing()) clear_line();
}

void CLI_Display::update_progress(double fraction, const char* label) {
  if (!drawing()) return;

  fraction = clamp_fraction(fraction);
  int width = kBarWidth;
  if (label) {
    // A label too long for the bar leaves a bar of width 0 rather than a negative one.
    size_t room = static_cast<size_t>(kBarWidth - kLabelDecoration);
    size_t length = strlen(label);
    width = length >= room ? 0 : static_cast<int>(room - length);
  }
  int filled = static_cast<int>(width * fraction);
  int percent = static_cast<int>(fraction * 100.0);
  int pad = width - filled - 1;

  if (label)
    fprintf(stdout, "\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, kBarText, pad, "", percent);
  else
    fprintf(stdout, "\r[%.*s>%*s] (%3d%% ) ", filled, kBarText, pad, "", percent);
}

void CLI_Display::update_spinner(bool on, const char* label) {
  // One spinner position for the whole program, shared by all displays.
  static uint8_t frame = 0;

  if (!drawing()) return;

  if (!on) {
    clear_line();
    return;
  }
  if (label)
    fprintf(stdout, "\r (%s) %s      \r", label, kSpinnerFrames[frame]);
  else
    fprintf(stdout, "\r %s      \r", kSpinnerFrames[frame]);
  frame = static_cast<uint8_t>((frame + 1) % kSpinnerFrameCount);
}

void CLI_Display::info_message(const char* text) { fprintf(stdout, "%s\n", text); }

void CLI_Display::error_message(const char* text) { fprintf(stderr, "%s\n", text); }
