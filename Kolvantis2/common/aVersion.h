// Packed 32-bit firmware version words (legacy and new layout) and the library's own version.
//
// legacy: major in bits 31-28, minor in bits 27-24, a 24-bit patch below;
// new:    0x2F in the top byte, then major, minor and patch bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#define aVERSION_MAJOR 2
#define aVERSION_MINOR 12
#define aVERSION_PATCH 4
// Text between minor and patch in the library's version string.
#define aVERSION_PHASE "."

struct aVersionFeature {
  const char* name;
  const char* description;
};

#define NUM_FEATS 1
extern const aVersionFeature FEATS[NUM_FEATS];

// New layout when major > 2, or major 2 with minor > 14; otherwise legacy (minor cut to 4 bits).
uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);
bool aVersion_IsLegacyFormat(uint32_t word);
uint8_t aVersion_ParseMajor(uint32_t word);
uint8_t aVersion_ParseMinor(uint32_t word);
uint32_t aVersion_ParsePatch(uint32_t word);
// Writes "major.minor.patch" of the word into buffer, cut to size (always terminated when
// size > 0).
void aVersion_ParseString(uint32_t word, char* buffer, size_t size);
// True when version a.b.c is at least d.e.f.
bool aVersion_IsAtLeastCompare(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint8_t e, uint8_t f);

uint8_t aVersion_GetMajor(void);
uint8_t aVersion_GetMinor(void);
uint8_t aVersion_GetPatch(void);
// The library's version text "2.12.4"; built once, safe to call from any thread.
const char* aVersion_GetString(void);
// True when the library is at least major.minor.patch.
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

// True when name is one of the feature list's names.
bool aVersion_HasFeature(const char* name);
// New heap text, one "NAME - description" line per feature joined by "\n"; null when memory is
// short. Free it with aVersion_DestroyFeatureList.
char* aVersion_GetFeatureList(void);
void aVersion_DestroyFeatureList(char** list);
