// The scripted serial library: the eight _COM functions of comm.dll, backed
// by a script instead of a port, plus a control interface for tests.
//
// Replies are queued in advance; each _COMwrite starts the next queued
// reply (if any).  Every character of a reply has a due count: it becomes
// available once _COMrcvqueue has been polled that many times since the
// write (0: available at the first poll).  A reply can so arrive at once, in
// pieces, late or never.  Characters of an earlier reply that have not yet
// arrived when the next _COMwrite comes are dropped; scommInject() puts
// characters straight into the receive queue (a late reply that arrived
// between two exchanges).
//
// Every call except the polls (_COMrcvqueue, _COMgetc, _COMxmitqueue) is
// logged as one text line, e.g.
//     setup 1 128 128 19200 N 1 8
//     xmitclear 1
//     rcvclear 1
//     write 1 #01\r
//     disable 1
// where written bytes appear as they are, except \r, \n, \\ and anything not
// printable (\xNN).
//
// The same source is linked into the native tests and built as a comm.dll
// (exporting the control functions too) for the tests under wine.
#ifndef TOOLS_COMM_SCRIPTED_COMM_H
#define TOOLS_COMM_SCRIPTED_COMM_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#if defined(_WIN32)
#if defined(SCOMM_BUILDING_DLL)
#define SCOMM_API __declspec(dllexport)
#else
#define SCOMM_API __declspec(dllimport)
#endif
#else
#define SCOMM_API
#endif

extern "C" {
// Back to the initial state: nothing queued, nothing logged, port closed,
// setup succeeds, writes succeed, the transmit queue drains at once.
SCOMM_API void scommReset(void);

// Queues a reply for a later _COMwrite.  due[i] is the number of receive
// polls after the write at which byte i becomes available; due may be null
// (all available at once).
SCOMM_API void scommQueueReply(const char *bytes, int32_t len, const int32_t *due);
// Queues "no reply" for the next write (the module stays silent).
SCOMM_API void scommQueueSilence(void);
// Puts bytes into the receive queue now.
SCOMM_API void scommInject(const char *bytes, int32_t len);

SCOMM_API void scommSetSetupResult(int32_t result);
SCOMM_API void scommSetWriteResult(int32_t result);
// Transmit queue: after a write, _COMxmitqueue reports the line's length
// until it has been polled `polls` times, then 0.  -1: it never drains.
SCOMM_API void scommSetXmitDrain(int32_t polls);

// The call log (see above); returns its full length, copies at most cap - 1
// bytes and terminates.
SCOMM_API int32_t scommLog(char *buf, int32_t cap);
SCOMM_API void scommClearLog(void);
// The bytes of the most recent _COMwrite.
SCOMM_API int32_t scommLastWrite(char *buf, int32_t cap);

SCOMM_API int32_t scommRcvqueuePolls(void);
SCOMM_API int32_t scommGetcCalls(void);
SCOMM_API int32_t scommXmitqueuePolls(void);
SCOMM_API int32_t scommPending(void);   // bytes not yet arrived
SCOMM_API int32_t scommRxWaiting(void); // bytes in the receive queue
SCOMM_API int32_t scommIsOpen(void);
SCOMM_API int32_t scommOpenPort(void);
// _COMsetup calls made while the port was already open.
SCOMM_API int32_t scommSetupWhileOpen(void);
// The buffers handed over by the last _COMsetup.
SCOMM_API void scommSetupBuffers(void **rcv, void **xmit);
}

// A reply in pieces for a later _COMwrite: each piece's characters become
// available at the piece's due count.
inline void scommQueuePieces(const std::vector<std::pair<int32_t, std::string>> &pieces)
{
    std::string bytes;
    std::vector<int32_t> due;
    for (const auto &p : pieces) {
        bytes += p.second;
        due.insert(due.end(), p.second.size(), p.first);
    }
    scommQueueReply(bytes.data(), static_cast<int32_t>(bytes.size()), due.data());
}

#endif
