// A minimal serial library and host for measuring the module's own cost:
// the eight _COM functions over fixed reply buffers (every reply available
// at once) and a service dispatcher whose timer never expires.  Both do as
// little as a real library and host could; what remains is the module.
#ifndef BENCH_STUB_H
#define BENCH_STUB_H

#include <cstdint>
#include <cstring>

namespace stub {

// Replies handed out in turn, one per _COMwrite (an instruction that makes
// two exchanges gets two).  The pointers must outlive the run.
struct Script {
    const char *reply[2];
    int32_t len[2];
    int count;
};

void load(const Script &s);
// The bytes of the last _COMwrite.
const char *lastWrite(int32_t *len);
long writes();
// Write i (0 or 1) since the last load(); length 0 if there was none.
const char *writeAt(int i, int32_t *len);
// Whether writes are kept for writeAt() (off: _COMwrite only copies).
void record(bool on);

// The host: services handled without formatting or clock reads, except
// HlpSprintf, which formats as the host's would.
void *dispatcher();

// The equivalent of _COMwrite for the floor: copy into the same transmit
// buffer the stub uses.
void floorWrite(const char *buf, int32_t len);

} // namespace stub

#endif
