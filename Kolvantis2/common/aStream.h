// Byte streams: one handle over every transport (USB, serial, COBS framing, TCP, files).
#ifndef KV_ASTREAM_H
#define KV_ASTREAM_H

#include <cstddef>
#include <cstdint>

#include "aError.h"

typedef aErr (*aStreamGetProc)(uint8_t* byte, void* reference);
typedef aErr (*aStreamPutProc)(const uint8_t* byte, void* reference);
typedef aErr (*aStreamWriteProc)(const uint8_t* data, size_t length, void* reference);
typedef aErr (*aStreamDeleteProc)(void* reference);
// Optional: block until input may be there or the time-out ends. aErrNone when input may be
// ready, aErrTimeout when nothing arrived; any other code reports a failed transport.
typedef aErr (*aStreamWaitProc)(uint32_t timeoutMs, void* reference);

#define aSTREAMCHECK 0x4321
#define aSTREAMBUFCHUNK 512

struct aStream {
  aStreamGetProc getProc;
  aStreamPutProc putProc;
  aStreamWriteProc writeProc;
  aStreamDeleteProc deleteProc;
  void* procRef;
  uint8_t* buffer;
  size_t count;
  size_t capacity;
  size_t head;
  size_t tail;
  uint16_t check;
  aStreamWaitProc waitProc;  // null: the transport's get is its own wait
};

#define aVALIDSTREAM(s) ((s) != nullptr && (s)->check == aSTREAMCHECK)

aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc del, void* reference);
aErr aStream_Read(aStream* stream, uint8_t* buffer, size_t n);
aErr aStream_Write(aStream* stream, const uint8_t* data, size_t n);
aErr aStream_Destroy(aStream** stream);

// Installs the transport's wait operation (see aStreamWaitProc).
aErr aStream_SetWaitProc(aStream* stream, aStreamWaitProc wait);
// Waits up to timeoutMs for input: aErrNone at once when pushed-back bytes are held, the
// transport's wait result otherwise; a transport without a wait operation answers aErrNone.
aErr aStream_WaitForInput(aStream* stream, uint32_t timeoutMs);

aErr aStream_CreateFileInput(const char* path, aStream** out);
aErr aStream_CreateFileOutput(const char* path, aStream** out);

aErr aStream_ReadRecord(aStream* stream, uint8_t* out, size_t* count, size_t maxLength,
                        const uint8_t* delimiter, size_t delimiterLength);
aErr aStream_WriteRecord(aStream* stream, const uint8_t* data, size_t n, const uint8_t* delimiter,
                         size_t delimiterLength);
aErr aStream_ReadCString(aStream* stream, char* buffer, size_t size);
aErr aStream_WriteCString(aStream* stream, const char* text);
aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t size, const char* delimiter);
aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* delimiter);
aErr aStream_Flush(aStream* from, aStream* to);

#endif
