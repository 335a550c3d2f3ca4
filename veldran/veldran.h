// Records and types shared between the veldran.tlm module and its host.
//
// Everything here is laid out exactly as the host expects it on the 32-bit
// Windows build (little-endian, packed, 32-bit pointers).  The native Linux
// build of the same sources uses the same declarations; there the pointer
// fields are 64 bits wide, so the records that hold a pointer are larger
// (checked below for both targets).
#ifndef VELDRAN_H
#define VELDRAN_H

#include <stddef.h>
#include <stdint.h>

#include "instructions.h"

// Width types of the host interface.
typedef uint8_t UBYTE;    // unsigned 8-bit
typedef uint16_t WORD;    // unsigned 16-bit
typedef int16_t SSHORT;   // signed 16-bit
typedef uint32_t ULONG;   // unsigned 32-bit
typedef uint32_t BOOL;    // 0 false, non-zero true
typedef uint32_t ERRCODE; // 0 for success

#ifndef FALSE
#define FALSE 0u
#endif
#ifndef TRUE
#define TRUE 1u
#endif

// The module's exported functions use the standard Windows convention on the
// i686 build (callee pops its arguments); the native build has only one.
#if defined(_WIN32) && defined(__i386__)
#define TLMCALL __attribute__((stdcall))
#else
#define TLMCALL
#endif

// Names under which the host finds the two exports: those of the Windows
// DLL (sdk/veldran.def), which a native host that runs the DLL in an
// emulator looks for too, and those of this build's module.
#define VELDRAN_DLL_ENTRY_EXPORT "__main@8"
#define VELDRAN_DLL_TABLE_EXPORT "_FUNCTION_TABLE"
#if defined(_WIN32)
#define VELDRAN_ENTRY_EXPORT VELDRAN_DLL_ENTRY_EXPORT
#define VELDRAN_TABLE_EXPORT VELDRAN_DLL_TABLE_EXPORT
#else
#define VELDRAN_ENTRY_EXPORT "_main"
#define VELDRAN_TABLE_EXPORT "function_table"
#endif

// ---------------------------------------------------------------------------
// Request codes of the entry point.
enum : int32_t {
    REQ_INIT = 1,
    REQ_DEINSTALL = 2,
    REQ_NOP3 = 3,
    REQ_SETMODE = 4,
    REQ_NOP5 = 5,
};

// Bit 0 of the Init request's flags word becomes TopDoc.
constexpr uint32_t INIT_FLAG_TOPDOC = 1u;

// ---------------------------------------------------------------------------
// Error codes.  An instruction stores the low 16 bits in its "ErrCode:".
enum : ERRCODE {
    EC_OK = 0,
    EC_BAD_REQUEST = 999,     // unrecognised request code
    EC_BAD_COMPORT = 1001,    // "COMPORT=" outside 1 to 4
    EC_BAD_OPTION = 1002,     // unrecognised start-up option
    EC_BAD_TIMEOUT = 1003,    // "TIMEOUT=" outside 5 to 500
    EC_PORT_OPEN = 1004,      // the serial port could not be opened
    EC_TIMEOUT = 1005,        // no complete reply in time (host-OK: queue did not drain)
    EC_REFUSED = 1006,        // "?" before the reply's start character
    EC_BAD_ADDRESS = 1007,    // "Addr:" outside 0 to 255
    EC_BAD_LENGTH = 1008,     // reply over 80 characters or of the wrong length
    EC_BAD_BAUD = 1009,       // "BAUD=" not 96, 192, 384, 576 or 1152
    EC_WRITE_FAILED = 1010,   // the serial library did not accept the line
    EC_BAD_CHECKSUM = 1011,   // reply checksum wrong
    EC_BANG = 1012,           // "!" where ">" was expected
    EC_BAD_WIDTH = 1013,      // output field width outside 1 to 4 digits
    EC_BAD_AOUT = 1014,       // "AOUT:" outside -11.0 to 22.0, or NaN
    EC_BAD_FORMAT = 1015,     // "Format:" not 0, 1, 2; hex analog reply too long
    EC_BAD_CHANNEL = 1016,    // "Chan:" out of range
    EC_BAD_AIN_TYPE = 1017,   // "AIN:" operand type does not fit the format
    EC_AIN_LENGTH = 1018,     // analog reply of unexpected length (values delivered)
    EC_BAD_HSECS = 1019,      // "HSecs:" outside 0 to 255
    EC_BAD_SUBCOMMAND = 1020, // status/watchdog sub-command outside 0 to 3
    EC_BAD_LATENCY = 1021,    // "LATENCY=" outside 0 to 255
};

// Operand kinds (prm_argtype).
enum : WORD {
    ARG_WORD_IN = 0x0005,   // input, val.wd
    ARG_WORD_OUT = 0x0006,  // output, one word through ptr.wptr
    ARG_FLOAT_IN = 0x0009,  // input, val.fl
    ARG_NUM_OUT = 0x000e,   // output, float or word by isfloat
    ARG_ARRAY_OUT = 0x001e, // output array of 8, float or word by isfloat
};

// The channels of an analog read: the length of its "AIN:" array.
constexpr int AIN_CHANNELS = 8;

// ---------------------------------------------------------------------------
#pragma pack(push, 1)

// Host element records that an operand's ptr may point to (unused here).
struct TIMER_ {
    WORD ctl;
    SSHORT pre;
    SSHORT acc;
};
typedef struct TIMER_ TIMER;
struct COUNTER_ {
    WORD ctl;
    SSHORT pre;
    SSHORT acc;
};
typedef struct COUNTER_ COUNTER;
struct CONTROL_ {
    WORD ctl;
    SSHORT len;
    SSHORT pos;
};
typedef struct CONTROL_ CONTROL;

// One operand at an instruction call.
struct tliparam {
    union {
        SSHORT wd;
        float fl;
        ULONG hls;
    } val;
    union {
        SSHORT *wptr;
        float *fptr;
        TIMER *ptmr;
        COUNTER *pcnt;
        CONTROL *pctl;
        ULONG hms;
    } ptr;
    BOOL isfloat;
};
typedef struct tliparam TLIPARAM;

typedef BOOL(TLMCALL *TLIPTR)(int32_t rungState, int32_t argc, TLIPARAM *params);

// One parameter descriptor of an instruction.
struct parm {
    char prm_name[9];
    WORD prm_argtype;
    WORD prm_len;
};
typedef struct parm PARMDEF;

// One instruction table entry.
struct funcdef {
    char fnc_name[16];
    char fnc_desc[32];
    TLIPTR fnc_ptr;
    UBYTE fnc_numoptionalargs;
    UBYTE fnc_type;
    UBYTE fnc_numargs;
    PARMDEF p[9];
};
typedef struct funcdef FUNCDEF;

// The Init request as the module reads it: the command code, the host's
// service dispatcher at byte 4 and the flags word at byte 24.  On the 32-bit
// build the dispatcher is the 32-bit word at bytes 4-7; on the 64-bit native
// build it occupies bytes 4-11.  The host owns the rest of the record.
struct req_init {
    int32_t cmdcode;
    void *dispatcher;
    char reserved[24 - 4 - sizeof(void *)];
    uint32_t flags;
};

#pragma pack(pop)

// The SetMode request.
struct req_setmode {
    int32_t cmdcode;
    WORD *stsFile;
    int32_t mode;
};

// The I/O gate: in modes 1, 0 and -1 every instruction returns without an
// exchange, unless Init had INIT_FLAG_TOPDOC.  The module applies it; the
// host tells its user when it is shut.  By reference: the module reads its
// mode only when TopDoc is 0.
constexpr bool ioGateClosed(const int32_t &topDoc, const int32_t &mode)
{
    return topDoc == 0 && (mode == 1 || mode == 0 || mode == -1);
}

constexpr int FUNCTION_TABLE_ENTRIES = INSTRUCTION_COUNT + 1; // the instructions and an all-zero terminator

// ---------------------------------------------------------------------------
// Layout checks.  The pointer-free records are the same on both targets.
static_assert(sizeof(TIMER) == 6 && sizeof(COUNTER) == 6 && sizeof(CONTROL) == 6, "element records");
static_assert(sizeof(PARMDEF) == 13, "PARMDEF is 13 bytes");
static_assert(offsetof(PARMDEF, prm_argtype) == 9 && offsetof(PARMDEF, prm_len) == 11, "PARMDEF offsets");
static_assert(offsetof(FUNCDEF, fnc_desc) == 16 && offsetof(FUNCDEF, fnc_ptr) == 48, "FUNCDEF head");
static_assert(offsetof(TLIPARAM, ptr) == 4, "TLIPARAM.ptr");
static_assert(offsetof(struct req_init, dispatcher) == 4 && offsetof(struct req_init, flags) == 24,
              "Init request layout");
static_assert(offsetof(struct req_setmode, cmdcode) == 0, "req_setmode layout");

constexpr size_t PTR_BYTES = sizeof(void *);
static_assert(offsetof(FUNCDEF, fnc_numoptionalargs) == 48 + PTR_BYTES, "FUNCDEF counts");
static_assert(offsetof(FUNCDEF, fnc_type) == 49 + PTR_BYTES, "FUNCDEF type");
static_assert(offsetof(FUNCDEF, fnc_numargs) == 50 + PTR_BYTES, "FUNCDEF numargs");
static_assert(offsetof(FUNCDEF, p) == 51 + PTR_BYTES, "FUNCDEF descriptors");
static_assert(sizeof(FUNCDEF) == 51 + PTR_BYTES + 9 * 13, "FUNCDEF size");
static_assert(offsetof(TLIPARAM, isfloat) == 4 + PTR_BYTES && sizeof(TLIPARAM) == 8 + PTR_BYTES, "TLIPARAM");

// What the host relies on: the 32-bit layout of the records that hold a
// pointer.  It is named on both builds, for a native host that lays the
// records out for the DLL itself (in an emulator); the i386 build checks
// the names against the records.
constexpr size_t PTR32_BYTES = 4;
constexpr size_t FUNCDEF32_COUNTS = 48 + PTR32_BYTES; // fnc_numoptionalargs, fnc_type, fnc_numargs
constexpr size_t FUNCDEF32_PARMS = FUNCDEF32_COUNTS + 3;
constexpr size_t FUNCDEF32_BYTES = FUNCDEF32_PARMS + 9 * sizeof(PARMDEF);
constexpr size_t TLIPARAM32_ISFLOAT = 4 + PTR32_BYTES;
constexpr size_t TLIPARAM32_BYTES = TLIPARAM32_ISFLOAT + 4;
constexpr size_t SETMODE32_STSFILE = 4, SETMODE32_MODE = SETMODE32_STSFILE + PTR32_BYTES;
static_assert(FUNCDEF32_BYTES == 172 && FUNCDEF32_PARMS == 55, "FUNCDEF is 172 bytes, FUNCDEF.p at 55");
static_assert(TLIPARAM32_BYTES == 12 && TLIPARAM32_ISFLOAT == 8, "TLIPARAM is 12 bytes, TLIPARAM.isfloat at 8");
static_assert(sizeof(struct req_init) == 28, "Init request: 28 bytes on both targets");

#if defined(__i386__)
static_assert(sizeof(FUNCDEF) == FUNCDEF32_BYTES, "FUNCDEF is 172 bytes");
static_assert(offsetof(FUNCDEF, fnc_numoptionalargs) == FUNCDEF32_COUNTS, "FUNCDEF counts at 52");
static_assert(offsetof(FUNCDEF, p) == FUNCDEF32_PARMS, "FUNCDEF.p at 55");
static_assert(sizeof(TLIPARAM) == TLIPARAM32_BYTES, "TLIPARAM is 12 bytes");
static_assert(offsetof(TLIPARAM, isfloat) == TLIPARAM32_ISFLOAT, "TLIPARAM.isfloat at 8");
static_assert(offsetof(struct req_setmode, stsFile) == SETMODE32_STSFILE &&
                  offsetof(struct req_setmode, mode) == SETMODE32_MODE,
              "req_setmode layout");
#endif

#endif
