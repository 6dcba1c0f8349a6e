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
// Optional: makes a wait that runs on another thread return at once (a stop, a status change,
// a replaced connection). A wake that comes before the wait makes the next wait return.
typedef aErr (*aStreamWakeProc)(void* reference);
// Optional: hands out up to size bytes the transport already holds, in one go; *got is the
// count. aErrNone with *got of 1 or more, aErrNotReady with none, or the get's failure codes.
typedef aErr (*aStreamReadSomeProc)(uint8_t* buffer, size_t size, size_t* got, void* reference);
// Optional, for a transport that makes its connection again (the first one does not count):
// true once after a read that met a new connection. The bytes of that read, if any, are the
// new connection's first; nothing received before belongs with them. Asked by the reading
// thread only.
typedef bool (*aStreamNewConnectionProc)(void* reference);

// A wait time-out that never ends; a transport with a wake operation treats it as such.
#define aSTREAM_WAIT_FOREVER UINT32_MAX

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
  aStreamWaitProc waitProc;          // null: the transport's get is its own wait
  aStreamWakeProc wakeProc;          // null: the transport's waits are bounded on their own
  aStreamReadSomeProc readSomeProc;  // null: bytes are taken one get at a time
  aStreamNewConnectionProc newConnectionProc;  // null: one connection for the stream's life
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

// Installs the transport's wake operation (see aStreamWakeProc).
aErr aStream_SetWakeProc(aStream* stream, aStreamWakeProc wake);
// True when the transport has a wake operation, so that a wait may last for ever.
bool aStream_CanWake(const aStream* stream);
// Wakes a waiting reader; aErrNone also for a transport without a wake operation.
aErr aStream_Wake(aStream* stream);

// Installs the transport's read of what it holds (see aStreamReadSomeProc).
aErr aStream_SetReadSomeProc(aStream* stream, aStreamReadSomeProc readSome);
// Up to size bytes in one go, in the order a series of one-byte reads would give them:
// pushed-back bytes first, else what the transport holds (one get for a transport without the
// operation). aErrNone with *got of 1 or more; aErrNotReady with *got 0 when nothing is there;
// any other code is the transport's failure (*got 0). Unlike aStream_Read it hands out a part.
aErr aStream_ReadSome(aStream* stream, uint8_t* buffer, size_t size, size_t* got);

// Installs the transport's report of a new connection (see aStreamNewConnectionProc).
aErr aStream_SetNewConnectionProc(aStream* stream, aStreamNewConnectionProc newConnection);
// Asked after each aStream_ReadSome, before the bytes it handed out are used, by a reader that
// pushes nothing back: true once when that read met a new connection, so that what the reader
// holds of the earlier input is cut off and is not to be joined to them. False for an invalid
// stream and for a transport without the operation.
bool aStream_TakeNewConnection(aStream* stream);

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
