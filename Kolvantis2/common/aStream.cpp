#include "aStream.h"

#include <cstring>
#include <new>

#include "aFile.h"

namespace {

// Reads up to this many bytes use a work area on the stack; longer ones take one from the heap.
constexpr size_t kStackReadBytes = 64;

// Takes the byte at head from the pushback ring; false when the ring is empty.
bool sStreamGetBufferedChar(aStream* stream, uint8_t* byte) {
  if (stream->count == 0) return false;
  *byte = stream->buffer[stream->head];
  stream->head = (stream->head + 1) % stream->capacity;
  --stream->count;
  return true;
}

// Makes room for `more` further bytes while keeping the ring from filling completely: the
// capacity grows in steps of aSTREAMBUFCHUNK, the held bytes move in order to the start of
// the new buffer. Nothing changes when memory is short.
aErr sStreamReserve(aStream* stream, size_t more) {
  const size_t needed = stream->count + more + 1;
  if (stream->buffer != nullptr && needed <= stream->capacity) return aErrNone;

  size_t capacity = stream->buffer != nullptr ? stream->capacity : 0;
  do {
    if (capacity > SIZE_MAX - aSTREAMBUFCHUNK) return aErrMemory;
    capacity += aSTREAMBUFCHUNK;
  } while (capacity < needed);

  uint8_t* grown = new (std::nothrow) uint8_t[capacity];
  if (grown == nullptr) return aErrMemory;
  for (size_t i = 0; i < stream->count; ++i) {
    grown[i] = stream->buffer[(stream->head + i) % stream->capacity];
  }
  delete[] stream->buffer;
  stream->buffer = grown;
  stream->capacity = capacity;
  stream->head = 0;
  stream->tail = stream->count;
  return aErrNone;
}

// Pushes one byte back at tail: it is handed out after the bytes already held.
aErr aStreamBufferChar(aStream* stream, uint8_t byte) {
  const aErr reserved = sStreamReserve(stream, 1);
  if (reserved != aErrNone) return reserved;
  stream->buffer[stream->tail] = byte;
  stream->tail = (stream->tail + 1) % stream->capacity;
  ++stream->count;
  return aErrNone;
}

// Pushes bytes back at tail in their order, all of them or (memory short) none.
aErr sStreamBufferBytes(aStream* stream, const uint8_t* bytes, size_t n) {
  const aErr reserved = sStreamReserve(stream, n);
  if (reserved != aErrNone) return reserved;
  for (size_t i = 0; i < n; ++i) aStreamBufferChar(stream, bytes[i]);
  return aErrNone;
}

// Puts bytes back in front of the held ones, so that they are handed out next, in order.
aErr sStreamUnreadBytes(aStream* stream, const uint8_t* bytes, size_t n) {
  const aErr reserved = sStreamReserve(stream, n);
  if (reserved != aErrNone) return reserved;
  for (size_t i = n; i > 0; --i) {
    stream->head = (stream->head + stream->capacity - 1) % stream->capacity;
    stream->buffer[stream->head] = bytes[i - 1];
    ++stream->count;
  }
  return aErrNone;
}

// File transport: the reference is an aFile owned by the stream.

aErr sFileStreamGet(uint8_t* byte, void* reference) {
  if (reference == nullptr) return aErrIO;
  return aFile_Read(static_cast<aFile*>(reference), byte, 1, nullptr);
}

aErr sFileStreamPut(const uint8_t* byte, void* reference) {
  if (reference == nullptr) return aErrIO;
  return aFile_Write(static_cast<aFile*>(reference), byte, 1, nullptr);
}

aErr sFileStreamWrite(const uint8_t* data, size_t length, void* reference) {
  if (reference == nullptr) return aErrIO;
  return aFile_Write(static_cast<aFile*>(reference), data, length, nullptr);
}

aErr sFileStreamDelete(void* reference) {
  if (reference == nullptr) return aErrIO;
  aFile* file = static_cast<aFile*>(reference);
  return aFile_Close(&file);
}

aErr sCreateFileStream(const char* path, uint32_t mode, aStream** out) {
  if (path == nullptr || out == nullptr) return aErrResource;
  aFile* file = aFile_Open(path, mode);
  if (file == nullptr) return aErrResource;

  aStream* stream =
      mode == aFileModeRead
          ? aStream_Create(sFileStreamGet, nullptr, nullptr, sFileStreamDelete, file)
          : aStream_Create(nullptr, sFileStreamPut, sFileStreamWrite, sFileStreamDelete, file);
  if (stream == nullptr) {
    aFile_Close(&file);
    return aErrResource;
  }
  *out = stream;
  return aErrNone;
}

// Longest suffix of matched[0..m) followed by `next` that is also a prefix of the delimiter,
// where matched holds the first m delimiter bytes.
size_t sDelimiterFallback(const uint8_t* delimiter, size_t m, uint8_t next) {
  for (size_t k = m; k > 0; --k) {
    // Candidate: the last k bytes of delimiter[0..m) + next, i.e. delimiter[m-k+1..m) + next.
    if (delimiter[k - 1] != next) continue;
    if (memcmp(delimiter + (m - k + 1), delimiter, k - 1) == 0) return k;
  }
  return 0;
}

}  // namespace

aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc del, void* reference) {
  aStream* stream = new (std::nothrow) aStream;
  if (stream == nullptr) return nullptr;
  stream->getProc = get;
  stream->putProc = put;
  stream->writeProc = write;
  stream->deleteProc = del;
  stream->procRef = reference;
  stream->buffer = nullptr;
  stream->count = 0;
  stream->capacity = 0;
  stream->head = 0;
  stream->tail = 0;
  stream->check = aSTREAMCHECK;
  stream->waitProc = nullptr;
  stream->wakeProc = nullptr;
  stream->readSomeProc = nullptr;
  stream->newConnectionProc = nullptr;
  return stream;
}

aErr aStream_Read(aStream* stream, uint8_t* buffer, size_t n) {
  if (!aVALIDSTREAM(stream) || buffer == nullptr) return aErrParam;
  if (n == 0) return aErrNone;
  if (stream->getProc == nullptr) return aErrMode;

  // The bytes are collected apart from the caller's buffer, which only sees a complete read.
  uint8_t onStack[kStackReadBytes];
  uint8_t* work = onStack;
  if (n > kStackReadBytes) {
    work = new (std::nothrow) uint8_t[n];
    if (work == nullptr) return aErrResource;
  }

  aErr status = aErrNone;
  size_t got = 0;
  while (status == aErrNone && got < n) {
    if (sStreamGetBufferedChar(stream, &work[got])) {
      ++got;
      continue;
    }
    status = stream->getProc(&work[got], stream->procRef);
    if (status == aErrNone) ++got;
  }

  if (status == aErrNotReady) {
    // The ring is empty whenever get runs, so pushing back at tail restores the order.
    const aErr pushed = sStreamBufferBytes(stream, work, got);
    if (pushed != aErrNone) status = pushed;
  } else if (status == aErrNone || status == aErrEOF) {
    memcpy(buffer, work, got);
  }

  if (work != onStack) delete[] work;
  return status;
}

aErr aStream_Write(aStream* stream, const uint8_t* data, size_t n) {
  if (!aVALIDSTREAM(stream) || data == nullptr) return aErrParam;
  if (stream->writeProc == nullptr && stream->putProc == nullptr) return aErrMode;

  if (stream->writeProc != nullptr && (n >= 2 || stream->putProc == nullptr)) {
    return n == 0 ? aErrNone : stream->writeProc(data, n, stream->procRef);
  }
  for (size_t i = 0; i < n; ++i) {
    const aErr result = stream->putProc(&data[i], stream->procRef);
    if (result != aErrNone) return result;
  }
  return aErrNone;
}

aErr aStream_Destroy(aStream** handle) {
  if (handle == nullptr) return aErrParam;
  aStream* stream = *handle;
  *handle = nullptr;
  if (!aVALIDSTREAM(stream)) return aErrParam;

  aErr result = aErrNone;
  if (stream->deleteProc != nullptr) result = stream->deleteProc(stream->procRef);
  delete[] stream->buffer;
  stream->buffer = nullptr;
  stream->check = 0;
  delete stream;
  return result;
}

aErr aStream_SetWaitProc(aStream* stream, aStreamWaitProc wait) {
  if (!aVALIDSTREAM(stream)) return aErrParam;
  stream->waitProc = wait;
  return aErrNone;
}

aErr aStream_WaitForInput(aStream* stream, uint32_t timeoutMs) {
  if (!aVALIDSTREAM(stream)) return aErrParam;
  if (stream->count > 0 || stream->waitProc == nullptr) return aErrNone;
  return stream->waitProc(timeoutMs, stream->procRef);
}

aErr aStream_SetWakeProc(aStream* stream, aStreamWakeProc wake) {
  if (!aVALIDSTREAM(stream)) return aErrParam;
  stream->wakeProc = wake;
  return aErrNone;
}

bool aStream_CanWake(const aStream* stream) {
  return aVALIDSTREAM(stream) && stream->wakeProc != nullptr;
}

aErr aStream_Wake(aStream* stream) {
  if (!aVALIDSTREAM(stream)) return aErrParam;
  return stream->wakeProc != nullptr ? stream->wakeProc(stream->procRef) : aErrNone;
}

aErr aStream_SetReadSomeProc(aStream* stream, aStreamReadSomeProc readSome) {
  if (!aVALIDSTREAM(stream)) return aErrParam;
  stream->readSomeProc = readSome;
  return aErrNone;
}

aErr aStream_ReadSome(aStream* stream, uint8_t* buffer, size_t size, size_t* got) {
  if (got != nullptr) *got = 0;
  if (!aVALIDSTREAM(stream) || buffer == nullptr || got == nullptr) return aErrParam;
  if (size == 0) return aErrNone;
  if (stream->getProc == nullptr) return aErrMode;

  if (stream->count > 0) {
    size_t taken = 0;
    while (taken < size && sStreamGetBufferedChar(stream, &buffer[taken])) ++taken;
    *got = taken;
    return aErrNone;
  }
  if (stream->readSomeProc != nullptr) {
    const aErr read = stream->readSomeProc(buffer, size, got, stream->procRef);
    if (read != aErrNone) *got = 0;
    return read;
  }
  const aErr read = stream->getProc(buffer, stream->procRef);
  if (read == aErrNone) *got = 1;
  return read;
}

aErr aStream_SetNewConnectionProc(aStream* stream, aStreamNewConnectionProc newConnection) {
  if (!aVALIDSTREAM(stream)) return aErrParam;
  stream->newConnectionProc = newConnection;
  return aErrNone;
}

bool aStream_TakeNewConnection(aStream* stream) {
  if (!aVALIDSTREAM(stream) || stream->newConnectionProc == nullptr) return false;
  return stream->newConnectionProc(stream->procRef);
}

aErr aStream_CreateFileInput(const char* path, aStream** out) {
  return sCreateFileStream(path, aFileModeRead, out);
}

aErr aStream_CreateFileOutput(const char* path, aStream** out) {
  return sCreateFileStream(path, aFileModeWrite, out);
}

aErr aStream_ReadRecord(aStream* stream, uint8_t* out, size_t* count, size_t maxLength,
                        const uint8_t* delimiter, size_t delimiterLength) {
  if (!aVALIDSTREAM(stream) || out == nullptr || delimiter == nullptr || delimiterLength == 0 ||
      maxLength == 0) {
    return aErrParam;
  }
  uint8_t* record = new (std::nothrow) uint8_t[maxLength];
  uint8_t* pending = new (std::nothrow) uint8_t[delimiterLength];
  if (record == nullptr || pending == nullptr) {
    delete[] record;
    delete[] pending;
    return aErrResource;
  }

  // Bytes taken from the stream are stored in the record or, while they may still begin the
  // delimiter, counted in `matched` (they are then delimiter[0..matched)). Bytes that drop out
  // of a match are data; data that no longer fits goes back to the front of the stream.
  size_t stored = 0;
  size_t matched = 0;
  // Stores pending[0..dataCount) and reports whether the record is full; what is left of
  // pending[0..total) then goes back to the stream.
  auto storePending = [&](size_t dataCount, size_t total, bool* full) -> aErr {
    size_t i = 0;
    while (i < dataCount && stored < maxLength) record[stored++] = pending[i++];
    *full = stored == maxLength;
    if (!*full || i == total) return aErrNone;
    return sStreamUnreadBytes(stream, pending + i, total - i);
  };

  aErr status = aErrNone;
  bool complete = false;
  while (!complete) {
    uint8_t byte = 0;
    status = aStream_Read(stream, &byte, 1);
    if (status != aErrNone) break;

    if (byte == delimiter[matched]) {
      if (++matched == delimiterLength) complete = true;
      continue;
    }
    memcpy(pending, delimiter, matched);
    pending[matched] = byte;
    const size_t total = matched + 1;
    const size_t keep = sDelimiterFallback(delimiter, matched, byte);
    status = storePending(total - keep, total, &complete);
    if (status != aErrNone) break;
    matched = keep;
  }

  if (status == aErrEOF) {
    // An unfinished delimiter at the end of the input is data.
    memcpy(pending, delimiter, matched);
    bool full = false;
    const aErr moved = storePending(matched, matched, &full);
    if (moved != aErrNone)
      status = moved;
    else if (stored > 0)
      status = aErrNone;
  } else if (status == aErrNotReady) {
    // Everything taken goes back (the ring is empty here), so the next call reads the record
    // from its start.
    if (sStreamReserve(stream, stored + matched) != aErrNone) {
      status = aErrMemory;
    } else {
      for (size_t i = 0; i < stored; ++i) aStreamBufferChar(stream, record[i]);
      for (size_t i = 0; i < matched; ++i) aStreamBufferChar(stream, delimiter[i]);
    }
  }

  if (status == aErrNone || status == aErrEOF) {
    memcpy(out, record, stored);
    if (count != nullptr) *count = stored;
  }
  delete[] pending;
  delete[] record;
  return status;
}

aErr aStream_WriteRecord(aStream* stream, const uint8_t* data, size_t n, const uint8_t* delimiter,
                         size_t delimiterLength) {
  if (!aVALIDSTREAM(stream) || data == nullptr || delimiter == nullptr || delimiterLength == 0) {
    return aErrParam;
  }
  const aErr result = aStream_Write(stream, data, n);
  if (result != aErrNone) return result;
  return aStream_Write(stream, delimiter, delimiterLength);
}

namespace {

// A text record of at most size - 1 characters, terminated in the buffer on success. A
// buffer below 2 bytes has no room for a character and is refused.
aErr sReadText(aStream* stream, char* buffer, size_t size, const uint8_t* delimiter,
               size_t delimiterLength) {
  if (!aVALIDSTREAM(stream) || buffer == nullptr || size < 2) return aErrParam;
  size_t count = 0;
  const aErr result = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &count,
                                         size - 1, delimiter, delimiterLength);
  if (result == aErrNone) buffer[count] = '\0';
  return result;
}

}  // namespace

aErr aStream_ReadCString(aStream* stream, char* buffer, size_t size) {
  static const uint8_t kTerminator = 0;
  return sReadText(stream, buffer, size, &kTerminator, 1);
}

aErr aStream_WriteCString(aStream* stream, const char* text) {
  static const uint8_t kTerminator = 0;
  if (text == nullptr) return aErrParam;
  return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(text), strlen(text),
                             &kTerminator, 1);
}

aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t size, const char* delimiter) {
  if (delimiter == nullptr) return aErrParam;
  return sReadText(stream, buffer, size, reinterpret_cast<const uint8_t*>(delimiter),
                   strlen(delimiter));
}

// The delimiter's characters alone end the record on both sides, so a written record reads
// back as it was.
aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* delimiter) {
  if (text == nullptr || delimiter == nullptr) return aErrParam;
  return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(text), strlen(text),
                             reinterpret_cast<const uint8_t*>(delimiter), strlen(delimiter));
}

aErr aStream_Flush(aStream* from, aStream* to) {
  if (!aVALIDSTREAM(from) || !aVALIDSTREAM(to)) return aErrParam;
  if (from->getProc == nullptr || to->putProc == nullptr) return aErrMode;

  // Pushed-back bytes come first: they were taken from the source before the rest.
  for (;;) {
    uint8_t byte = 0;
    if (!sStreamGetBufferedChar(from, &byte)) {
      const aErr got = from->getProc(&byte, from->procRef);
      if (got == aErrEOF) return aErrNone;
      if (got != aErrNone) return got;
    }
    const aErr put = to->putProc(&byte, to->procRef);
    if (put != aErrNone) return put;
  }
}
