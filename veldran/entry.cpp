// Life-cycle requests from the host: Init, DeInstall and SetMode, and the
// controller state that decides whether the instructions may touch the I/O.
#include <string.h>

#include "TLMUSR.h"
#include "comm.h"
#include "protocol.h"

int32_t Mode = 1;
int32_t TopDoc = 0;
const char DriverName[10] = "VELDRAN  "; // seven letters, two blanks, terminator
static_assert(sizeof "VELDRAN  " == sizeof DriverName, "the name fills all ten characters");

char rcvBuf[COM_QUEUE_SIZE];
char xmitBuf[COM_QUEUE_SIZE];

namespace {

// The port number that the last successful _COMsetup opened, 0 when no port
// is open.  The option string of a later Init may change `port`, but the
// serial library still holds our two buffers for the port it opened.
int32_t openPort = 0;

void closeOpenPort()
{
    if (openPort != 0) {
        _COMdisable(openPort);
        openPort = 0;
    }
}

} // namespace

ERRCODE Init(void)
{
    // Never hand the two queue buffers to the library a second time.
    closeOpenPort();
    int32_t rc = _COMsetup(port, COM_QUEUE_SIZE, rcvBuf, COM_QUEUE_SIZE, xmitBuf, BaudRate, 'N', 1, 8);
    if (rc != 0) {
        HlpPrintf("\n%s: Cannot open COM%d.  ec=%d", DriverName, port, rc);
        return EC_PORT_OPEN;
    }
    openPort = port;
    _COMxmitclear(port);
    _COMrcvclear(port);
    // The line is left as it was: a module that was still sending goes on
    // whatever the port does, so after an exchange that gave up early the
    // first line after Init waits for it as any other line would.
    return EC_OK;
}

ERRCODE DeInstall(void)
{
    if (openPort != 0)
        closeOpenPort();
    else
        _COMdisable(port);
    return EC_OK;
}

ERRCODE SetMode(const struct req_setmode *r)
{
    Mode = r->mode;
    return EC_OK;
}

namespace {

ERRCODE initRequest(const void *reqp, const char *options)
{
    uint32_t flags;
    memcpy(&flags, static_cast<const char *>(reqp) + offsetof(struct req_init, flags), sizeof flags);
    TopDoc = static_cast<int32_t>(flags & INIT_FLAG_TOPDOC);

    if (options) {
        HlpPrintf("\n%s: initializing: \"%s\"...", DriverName, options);
        ERRCODE ec = CommandLine(options);
        if (ec != EC_OK) {
            HlpPrintf("\n%s: bad command line parameter, ec=%d", DriverName, static_cast<int>(ec));
            return ec;
        }
    } else {
        HlpPrintf("\n%s: initializing...", DriverName);
    }

    ERRCODE ec = Init();
    if (ec != EC_OK)
        HlpPrintf("\n%s: initialization FAILED. ec=%d", DriverName, static_cast<int>(ec));
    else
        HlpPrintf("\n%s: initialization completed OK.", DriverName);
    return ec;
}

} // namespace

ERRCODE dispatch(void *reqp, void *datap)
{
    int32_t cmdcode;
    memcpy(&cmdcode, reqp, sizeof cmdcode);
    switch (cmdcode) {
    case REQ_INIT:
        return initRequest(reqp, static_cast<const char *>(datap));
    case REQ_DEINSTALL:
        DeInstall();
        HlpPrintf("\n%s: Deinstalled OK.", DriverName);
        return EC_OK;
    case REQ_SETMODE:
        return SetMode(static_cast<const struct req_setmode *>(reqp));
    case REQ_NOP3:
    case REQ_NOP5:
        return EC_OK;
    default:
        return EC_BAD_REQUEST;
    }
}
