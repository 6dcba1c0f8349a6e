// Shared definitions of the device library core: model names and the record-check helper
// behind every aVALID... test.
#pragma once

#include <cstdint>

// Name of a module model number ("Unknown" for numbers without a name).
const char* aDefs_GetModelName(uint32_t model);

// True when the record pointer is non-null and its check word holds the expected value.
// Every checked library record names its check word `check`.
template <typename Record, typename Word>
inline bool aDefs_ValidRecord(const Record* record, Word checkWord) {
  return record != nullptr && record->check == checkWord;
}
