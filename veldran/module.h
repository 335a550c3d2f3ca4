// The module's own declarations: settings (options.h), controller state,
// request handlers, protocol operations and instructions.  The exchange
// engine that the operations share, and the only code that talks to the
// line once the port is open, has its own interface (protocol.h).
#ifndef VELDRAN_MODULE_H
#define VELDRAN_MODULE_H

#include "hostcmd.h"
#include "options.h"
#include "veldran.h"

// ---------------------------------------------------------------------------
// Requests and controller state (entry.cpp).
extern int32_t Mode;
extern int32_t TopDoc;
extern const char DriverName[10];

ERRCODE dispatch(void *reqp, void *datap);
ERRCODE Init(void);
ERRCODE DeInstall(void);
ERRCODE SetMode(const struct req_setmode *r);

// The COM port's queue sizes and buffers, owned by the serial library while
// the port is open.
constexpr int32_t COM_QUEUE_SIZE = 128;
extern char rcvBuf[COM_QUEUE_SIZE];
extern char xmitBuf[COM_QUEUE_SIZE];

// ---------------------------------------------------------------------------
// Protocol operations (operations.cpp), each with the codes it can return.
// Every exchange can end in a time-out, a refusal, a reply of the wrong
// length, a line the serial library refused or a wrong checksum.
ERRCODE readDIO(int addr, int *result);
constexpr ERRCODE readDIOCodes[] = {EC_OK, EC_TIMEOUT, EC_REFUSED, EC_BAD_LENGTH, EC_WRITE_FAILED, EC_BAD_CHECKSUM};
ERRCODE writeDO(int addr, int data, int nchars);
constexpr ERRCODE writeDOCodes[] = {EC_OK,           EC_TIMEOUT,      EC_REFUSED, EC_BAD_LENGTH,
                                    EC_WRITE_FAILED, EC_BAD_CHECKSUM, EC_BANG,    EC_BAD_WIDTH};
ERRCODE readDICounter(int addr, int chan, unsigned *result);
constexpr ERRCODE readDICounterCodes[] = {EC_OK,         EC_TIMEOUT,      EC_REFUSED,
                                          EC_BAD_LENGTH, EC_WRITE_FAILED, EC_BAD_CHECKSUM};
ERRCODE clearDICounter(int addr, int chan);
constexpr ERRCODE clearDICounterCodes[] = {EC_OK,         EC_TIMEOUT,      EC_REFUSED,
                                           EC_BAD_LENGTH, EC_WRITE_FAILED, EC_BAD_CHECKSUM};
ERRCODE readAIN(int addr, int format, int numchannels, float *result, unsigned *status);
constexpr ERRCODE readAINCodes[] = {EC_OK,           EC_TIMEOUT,      EC_REFUSED,    EC_BAD_LENGTH,
                                    EC_WRITE_FAILED, EC_BAD_CHECKSUM, EC_BAD_FORMAT, EC_AIN_LENGTH};
ERRCODE writeAO(int addr, int chan, float fdata);
constexpr ERRCODE writeAOCodes[] = {EC_OK,           EC_TIMEOUT,      EC_REFUSED, EC_BAD_LENGTH,
                                    EC_WRITE_FAILED, EC_BAD_CHECKSUM, EC_BANG};
// `cmd` is one of the HostSubcommand values (hostcmd.h).
ERRCODE HostCmd(int cmd, int addr, int value, BOOL state, int *result);
constexpr ERRCODE HostCmdCodes[] = {EC_OK,           EC_TIMEOUT,      EC_REFUSED,       EC_BAD_LENGTH,
                                    EC_WRITE_FAILED, EC_BAD_CHECKSUM, EC_BAD_SUBCOMMAND};

// ---------------------------------------------------------------------------
// Instructions (instructions.cpp) and the table (table.cpp).
extern float fvalues[AIN_CHANNELS];
extern float *const fvalptr;

// One function per instruction of the list (instructions.h), named like it.
#define VELDRAN_INSTRUCTION_PROTOTYPE(name, ...) BOOL TLMCALL name(int32_t rungState, int32_t argc, TLIPARAM *params);

extern "C" {
VELDRAN_INSTRUCTIONS(VELDRAN_INSTRUCTION_PROTOTYPE)

extern FUNCDEF function_table[FUNCTION_TABLE_ENTRIES];

// The request entry (sdk/main.cpp), exported as __main@8.
ERRCODE TLMCALL _main(void *reqp, void *datap);
}

#endif
