#include "aVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

const aVersionFeature FEATS[NUM_FEATS] = {
    {"VERSION", "Version Query API"},
};

namespace {

constexpr uint32_t sNEW_LAYOUT_TAG = 0x2F000000u;
// Size of the library's version text buffer, terminator included.
constexpr size_t sVERSION_TEXT_SIZE = 15;
const char* const sFEATURE_SEPARATOR = " - ";

uint8_t sTopNibble(uint32_t word) { return static_cast<uint8_t>(word >> 28); }
uint8_t sSecondNibble(uint32_t word) { return static_cast<uint8_t>((word >> 24) & 0xFu); }

struct sVersionText {
  char text[sVERSION_TEXT_SIZE];
  sVersionText() {
    std::memset(text, 0, sizeof(text));
    std::snprintf(text, sizeof(text), "%d.%d%s%d", aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PHASE,
                  aVERSION_PATCH);
  }
};

}  // namespace

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch) {
  if (major > 2 || (major == 2 && minor > 14)) {
    return sNEW_LAYOUT_TAG | static_cast<uint32_t>(major) << 16 |
           static_cast<uint32_t>(minor) << 8 | patch;
  }
  return static_cast<uint32_t>(major) << 28 | static_cast<uint32_t>(minor & 0xFu) << 24 | patch;
}

bool aVersion_IsLegacyFormat(uint32_t word) {
  const uint8_t top = sTopNibble(word);
  return top < 2 || (top == 2 && sSecondNibble(word) < 15);
}

uint8_t aVersion_ParseMajor(uint32_t word) {
  if (aVersion_IsLegacyFormat(word)) return sTopNibble(word);
  return static_cast<uint8_t>((word >> 16) & 0xFFu);
}

uint8_t aVersion_ParseMinor(uint32_t word) {
  if (aVersion_IsLegacyFormat(word)) return sSecondNibble(word);
  return static_cast<uint8_t>((word >> 8) & 0xFFu);
}

uint32_t aVersion_ParsePatch(uint32_t word) {
  if (aVersion_IsLegacyFormat(word)) return word & 0xFFFFFFu;
  return word & 0xFFu;
}

void aVersion_ParseString(uint32_t word, char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return;
  std::snprintf(buffer, size, "%d.%d.%d", aVersion_ParseMajor(word), aVersion_ParseMinor(word),
                static_cast<int>(aVersion_ParsePatch(word)));
}

bool aVersion_IsAtLeastCompare(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint8_t e, uint8_t f) {
  if (a != d) return a > d;
  if (b != e) return b > e;
  return c >= f;
}

uint8_t aVersion_GetMajor(void) { return aVERSION_MAJOR; }
uint8_t aVersion_GetMinor(void) { return aVERSION_MINOR; }
uint8_t aVersion_GetPatch(void) { return aVERSION_PATCH; }

const char* aVersion_GetString(void) {
  // Initialised exactly once even when several threads make the first call together.
  static const sVersionText version;
  return version.text;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
  return aVersion_IsAtLeastCompare(aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PATCH, major, minor,
                                   patch);
}

bool aVersion_HasFeature(const char* name) {
  if (name == nullptr) return false;
  for (const aVersionFeature& feature : FEATS) {
    if (std::strcmp(feature.name, name) == 0) return true;
  }
  return false;
}

char* aVersion_GetFeatureList(void) {
  size_t length = 0;
  for (size_t i = 0; i < NUM_FEATS; ++i) {
    if (i > 0) length += 1;
    length += std::strlen(FEATS[i].name) + std::strlen(sFEATURE_SEPARATOR) +
              std::strlen(FEATS[i].description);
  }
  char* list = static_cast<char*>(std::malloc(length + 1));
  if (list == nullptr) return nullptr;
  char* end = list;
  for (size_t i = 0; i < NUM_FEATS; ++i) {
    const char* parts[] = {i > 0 ? "\n" : "", FEATS[i].name, sFEATURE_SEPARATOR,
                           FEATS[i].description};
    for (const char* part : parts) {
      const size_t n = std::strlen(part);
      std::memcpy(end, part, n);
      end += n;
    }
  }
  *end = '\0';
  return list;
}

void aVersion_DestroyFeatureList(char** list) {
  if (list == nullptr) return;
  std::free(*list);
  *list = nullptr;
}
