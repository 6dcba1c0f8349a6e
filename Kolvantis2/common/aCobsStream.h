// COBS-framed byte stream over an inner transport: each device packet [address][length][data]
// travels as the COBS encoding of its bytes and their CRC-8, followed by one zero byte (5 to 33
// bytes per frame for packets of 0 to 28 data bytes). Received frames are checked and handed
// back as packet bytes. An inner read failure reads as no byte yet, except aErrConnection (the
// inner transport is gone), which is passed on.
#pragma once

#include "aError.h"
#include "aStream.h"

// A framing stream over any inner transport; it owns the inner reference once made (its delete
// runs with the stream's destruction). aErrParam for a null out, aErrMemory when the record or
// its packet assembler cannot be had, aErrResource when the stream cannot be made (nothing is
// kept then, the inner reference stays the caller's).
aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                aStreamDeleteProc del, void* reference, aStream** out);

// aStream_CreateCobsEncoding with the inner transport's wait operation, which the framing
// stream then offers as its own (answering at once while a received packet is being handed
// out).
aErr aStream_CreateCobsEncodingWithWait(aStreamGetProc get, aStreamPutProc put,
                                        aStreamWriteProc write, aStreamDeleteProc del,
                                        aStreamWaitProc wait, void* reference, aStream** out);

// Gives a framing stream the inner transport's wake operation, which the framing stream then
// offers as its own. aErrParam for a stream that is not a framing stream.
aErr aStream_SetCobsInnerWake(aStream* stream, aStreamWakeProc wake);
