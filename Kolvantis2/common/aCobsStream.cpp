// COBS framing over any inner byte transport: each device packet goes out as
// COBS(packet bytes + CRC-8) and a closing zero byte; received frames are checked and handed
// back as packet bytes.
#include "aCobsStream.h"

#include <cstdlib>

#include "aCobs.h"
#include "aDefs.h"
#include "aPacket.h"

namespace {

constexpr uint16_t aCOBSSTREAMCHECK = 0xC0B5;
// Encoded bytes of the longest frame without its closing zero: 30 packet bytes and the CRC,
// plus the code byte.
constexpr size_t sMAXENCODEDFRAME = 32;
// A frame holds at least the address, the length and the CRC.
constexpr size_t sMINDECODEDFRAME = 3;

struct CobsStream {
  aStreamGetProc innerGet;
  aStreamPutProc innerPut;
  aStreamWriteProc innerWrite;
  aStreamDeleteProc innerDelete;
  void* innerRef;  // owned
  uint16_t check;
  uint8_t rxFrame[sMAXENCODEDFRAME];  // encoded bytes of the frame being received; decoded in place
  uint8_t rxReady;                    // 1 while a decoded packet is being handed out
  size_t rxLength;                    // encoded bytes held, or decoded packet bytes to hand out
  size_t rxIndex;                     // next packet byte to hand out
  aPacket* txPacket;                  // assembler of outgoing bytes
  uint8_t txFrame[sMAXENCODEDFRAME + 1];  // encoded packet and CRC, then the zero byte
  size_t txLength;
  aStreamWaitProc innerWait;  // may be null
  aStreamWakeProc innerWake;  // may be null
  bool rxOverlong;            // the frame being received has passed the longest frame
};

#define aVALIDCOBS(s) aDefs_ValidRecord((s), aCOBSSTREAMCHECK)

aErr sCobsHandOut(CobsStream* cobs, uint8_t* byte) {
  *byte = cobs->rxFrame[cobs->rxIndex++];
  if (cobs->rxIndex >= cobs->rxLength) {
    cobs->rxReady = 0;
    cobs->rxIndex = 0;
    cobs->rxLength = 0;
  }
  return aErrNone;
}

// A decoded frame is [address][length][data][CRC] with the CRC of the bytes before it.
bool sCobsFrameGood(const uint8_t* frame, size_t decoded) {
  if (decoded < sMINDECODEDFRAME) return false;
  if (decoded != static_cast<size_t>(frame[1]) + sMINDECODEDFRAME) return false;
  return crc8_check(frame, decoded - 1, frame[decoded - 1]);
}

// Takes inner bytes until a frame completes or the inner transport has none ready; a good
// frame's first packet byte is handed out at once, the rest with the next calls. aErrNotReady
// when no byte is ready, aErrPacket once for a frame that fails its checks, aErrConnection when
// the inner transport is gone.
aErr sCobsStreamGet(uint8_t* byte, void* reference) {
  CobsStream* cobs = static_cast<CobsStream*>(reference);
  if (!aVALIDCOBS(cobs) || byte == nullptr) return aErrParam;
  if (cobs->rxReady) return sCobsHandOut(cobs, byte);
  if (cobs->innerGet == nullptr) return aErrMode;

  for (;;) {
    uint8_t value = 0;
    // An inner transport that is gone (aErrConnection) is reported as such; any other inner
    // failure reads as no byte yet, and the caller keeps polling.
    const aErr got = cobs->innerGet(&value, cobs->innerRef);
    if (got == aErrConnection) return aErrConnection;
    if (got != aErrNone) return aErrNotReady;

    if (value != 0) {
      if (cobs->rxLength < sizeof(cobs->rxFrame)) {
        cobs->rxFrame[cobs->rxLength++] = value;
      } else {
        cobs->rxOverlong = true;
      }
      continue;
    }

    // A zero byte ends the frame. An over-long one is dropped whole: its first bytes could
    // otherwise pass for a packet.
    if (cobs->rxOverlong) {
      cobs->rxOverlong = false;
      cobs->rxLength = 0;
      return aErrPacket;
    }
    if (cobs->rxLength == 0) continue;  // empty frame
    const size_t decoded = cobs_decode_inplace(cobs->rxFrame, cobs->rxLength);
    cobs->rxLength = 0;
    if (!sCobsFrameGood(cobs->rxFrame, decoded)) return aErrPacket;
    cobs->rxReady = 1;
    cobs->rxIndex = 0;
    cobs->rxLength = decoded - 1;  // the CRC is not handed out
    return sCobsHandOut(cobs, byte);
  }
}

aErr sCobsInnerWrite(CobsStream* cobs, const uint8_t* data, size_t length) {
  if (cobs->innerWrite != nullptr) return cobs->innerWrite(data, length, cobs->innerRef);
  if (cobs->innerPut == nullptr) return aErrMode;
  for (size_t i = 0; i < length; ++i) {
    const aErr err = cobs->innerPut(&data[i], cobs->innerRef);
    if (err != aErrNone) return err;
  }
  return aErrNone;
}

// Frames the complete packet in the assembler, resets the assembler and sends the frame.
aErr sCobsSendPacket(CobsStream* cobs) {
  size_t length = 0;
  // Room is left for the CRC and the closing zero.
  const aErr got =
      aPacket_GetBytes(cobs->txPacket, cobs->txFrame, sizeof(cobs->txFrame) - 2, &length);
  aPacket_Reset(cobs->txPacket);
  if (got != aErrNone) return got;
  cobs->txFrame[length] = crc8_create(cobs->txFrame, length);
  ++length;
  const size_t encoded = cobs_encode_inplace(cobs->txFrame, length);
  if (encoded == 0) return aErrPacket;
  cobs->txFrame[encoded] = 0;
  cobs->txLength = encoded + 1;
  return sCobsInnerWrite(cobs, cobs->txFrame, cobs->txLength);
}

// Assembles the bytes into packets and sends each completed one as a frame; bytes of an
// unfinished packet wait for the next call. A byte the assembler refuses is dropped with the
// partial packet, so the next packet starts clean. The result is the last inner write error,
// else aErrPacket when bytes were dropped, else aErrNone.
aErr sCobsStreamWrite(const uint8_t* data, size_t length, void* reference) {
  CobsStream* cobs = static_cast<CobsStream*>(reference);
  if (!aVALIDCOBS(cobs) || (data == nullptr && length > 0)) return aErrParam;

  aErr result = aErrNone;
  bool dropped = false;
  for (size_t i = 0; i < length; ++i) {
    if (aPacket_AddByte(cobs->txPacket, data[i]) != aErrNone) {
      aPacket_Reset(cobs->txPacket);
      dropped = true;
      continue;
    }
    if (!aPacket_IsComplete(cobs->txPacket)) continue;
    const aErr sent = sCobsSendPacket(cobs);
    if (sent != aErrNone) result = sent;
  }
  if (result == aErrNone && dropped) result = aErrPacket;
  return result;
}

// One byte goes through the framing like a write of one byte.
aErr sCobsStreamPut(const uint8_t* byte, void* reference) {
  if (byte == nullptr) return aErrParam;
  return sCobsStreamWrite(byte, 1, reference);
}

aErr sCobsStreamWait(uint32_t timeoutMs, void* reference) {
  CobsStream* cobs = static_cast<CobsStream*>(reference);
  if (!aVALIDCOBS(cobs)) return aErrParam;
  if (cobs->rxReady || cobs->innerWait == nullptr) return aErrNone;
  return cobs->innerWait(timeoutMs, cobs->innerRef);
}

// The framing holds no wait of its own: a wake goes to the inner transport.
aErr sCobsStreamWake(void* reference) {
  CobsStream* cobs = static_cast<CobsStream*>(reference);
  if (!aVALIDCOBS(cobs)) return aErrParam;
  return cobs->innerWake != nullptr ? cobs->innerWake(cobs->innerRef) : aErrNone;
}

aErr sCobsStreamDelete(void* reference) {
  CobsStream* cobs = static_cast<CobsStream*>(reference);
  if (!aVALIDCOBS(cobs)) return aErrParam;
  const aErr result = cobs->innerDelete != nullptr ? cobs->innerDelete(cobs->innerRef) : aErrNone;
  aPacket_Destroy(&cobs->txPacket);
  cobs->check = 0;
  std::free(cobs);
  return result;
}

}  // namespace

aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                aStreamDeleteProc del, void* reference, aStream** out) {
  return aStream_CreateCobsEncodingWithWait(get, put, write, del, nullptr, reference, out);
}

aErr aStream_CreateCobsEncodingWithWait(aStreamGetProc get, aStreamPutProc put,
                                        aStreamWriteProc write, aStreamDeleteProc del,
                                        aStreamWaitProc wait, void* reference, aStream** out) {
  if (out == nullptr) return aErrParam;
  CobsStream* cobs = static_cast<CobsStream*>(std::calloc(1, sizeof(CobsStream)));
  if (cobs == nullptr) return aErrMemory;
  cobs->txPacket = aPacket_Create();
  if (cobs->txPacket == nullptr) {
    std::free(cobs);
    return aErrMemory;
  }
  cobs->innerGet = get;
  cobs->innerPut = put;
  cobs->innerWrite = write;
  cobs->innerDelete = del;
  cobs->innerWait = wait;
  cobs->innerRef = reference;
  cobs->check = aCOBSSTREAMCHECK;

  aStream* stream =
      aStream_Create(sCobsStreamGet, sCobsStreamPut, sCobsStreamWrite, sCobsStreamDelete, cobs);
  if (stream == nullptr) {
    aPacket_Destroy(&cobs->txPacket);
    cobs->check = 0;
    std::free(cobs);
    return aErrResource;
  }
  if (wait != nullptr) aStream_SetWaitProc(stream, sCobsStreamWait);
  *out = stream;
  return aErrNone;
}

aErr aStream_SetCobsInnerWake(aStream* stream, aStreamWakeProc wake) {
  if (!aVALIDSTREAM(stream) || stream->getProc != sCobsStreamGet) return aErrParam;
  CobsStream* cobs = static_cast<CobsStream*>(stream->procRef);
  if (!aVALIDCOBS(cobs)) return aErrParam;
  cobs->innerWake = wake;
  return aStream_SetWakeProc(stream, wake != nullptr ? sCobsStreamWake : nullptr);
}
