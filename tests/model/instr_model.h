// The reference model of the fifteen instructions, on top of the protocol
// model: operand checks in their order, the operations they call, and the
// bytes that each operand area must hold afterwards.  Shared by the
// instruction fuzz harness and the soak.
#ifndef TESTS_MODEL_INSTR_MODEL_H
#define TESTS_MODEL_INSTR_MODEL_H

#include <cstdint>
#include <cstring>
#include <vector>

#include "model.h"
#include "module.h"

namespace imodel {

constexpr size_t AREA = 8 * sizeof(float); // bytes of one operand area

inline int16_t wd(const TLIPARAM &p) { return p.val.wd; }

inline void putWord(uint8_t *area, int index, long v)
{
    uint16_t w = static_cast<uint16_t>(v & 0xFFFF);
    memcpy(area + 2 * index, &w, 2);
}

inline void putFloat(uint8_t *area, int index, float v) { memcpy(area + 4 * index, &v, 4); }

struct Expect {
    uint32_t code = 0;
    int32_t polls = 0;
    int errCode = 0;                         // operand index of "ErrCode:"
    bool addressed = true;                   // has "Addr:" (and so the debug trace)
    std::vector<std::vector<uint8_t>> areas; // expected area contents
};

inline const std::vector<uint32_t> &allowedCodes(int ins)
{
    static const std::vector<uint32_t> analogIn = {
        model::OK,           model::TIMEOUT,      model::REFUSED,    model::BAD_ADDRESS,  model::BAD_LENGTH,
        model::WRITE_FAILED, model::BAD_CHECKSUM, model::BAD_FORMAT, model::BAD_AIN_TYPE, model::AIN_LENGTH};
    static const std::vector<uint32_t> analogOut = {
        model::OK,           model::TIMEOUT,      model::REFUSED, model::BAD_ADDRESS, model::BAD_LENGTH,
        model::WRITE_FAILED, model::BAD_CHECKSUM, model::BANG,    model::BAD_AOUT,    model::BAD_CHANNEL};
    static const std::vector<uint32_t> digitalIn = {model::OK,          model::TIMEOUT,    model::REFUSED,
                                                    model::BAD_ADDRESS, model::BAD_LENGTH, model::WRITE_FAILED,
                                                    model::BAD_CHECKSUM};
    static const std::vector<uint32_t> digitalOut = {model::OK,           model::TIMEOUT,    model::REFUSED,
                                                     model::BAD_ADDRESS,  model::BAD_LENGTH, model::WRITE_FAILED,
                                                     model::BAD_CHECKSUM, model::BANG};
    static const std::vector<uint32_t> counter = {model::OK,           model::TIMEOUT,    model::REFUSED,
                                                  model::BAD_ADDRESS,  model::BAD_LENGTH, model::WRITE_FAILED,
                                                  model::BAD_CHECKSUM, model::BAD_CHANNEL};
    static const std::vector<uint32_t> status = {model::OK,          model::TIMEOUT,    model::REFUSED,
                                                 model::BAD_ADDRESS, model::BAD_LENGTH, model::WRITE_FAILED,
                                                 model::BAD_CHECKSUM};
    static const std::vector<uint32_t> watchdog = {model::OK,           model::TIMEOUT,    model::REFUSED,
                                                   model::BAD_ADDRESS,  model::BAD_LENGTH, model::WRITE_FAILED,
                                                   model::BAD_CHECKSUM, model::BAD_HSECS};
    static const std::vector<uint32_t> hostOk = {model::OK, model::TIMEOUT, model::WRITE_FAILED};
    static const std::vector<uint32_t> *table[15] = {&analogIn,  &analogIn,  &analogOut,  &digitalIn,  &digitalOut,
                                                     &digitalIn, &digitalIn, &digitalOut, &digitalOut, &counter,
                                                     &counter,   &status,    &status,     &watchdog,   &hostOk};
    return *table[ins];
}

inline int32_t toInt(float v) { return (v > -2147483648.0f && v < 2147483648.0f) ? static_cast<int32_t>(v) : 0; }

// The model of instruction `ins` once it has passed the rung test and the
// gate.
inline Expect modelOf(int ins, const TLIPARAM *rec, const model::Env &env, const model::Script &s1,
                      const model::Script &s2, int32_t drain, const std::vector<std::vector<uint8_t>> &areas)
{
    Expect e;
    e.areas = areas;
    int addr = wd(rec[0]);
    bool badAddr = addr < 0 || addr > 255;
    auto area = [&](int i) -> uint8_t * { return e.areas[static_cast<size_t>(i)].data(); };
    auto take = [&](const model::Result &r) {
        e.code = r.code;
        e.polls += r.polls;
    };
    switch (ins) {
    case 0:
    case 1: { // I7017, I7018: Addr, Format, AIN, ErrCode (, ErrChan)
        e.errCode = 3;
        uint32_t mask = 255;
        int format = wd(rec[1]);
        bool isfloat = rec[2].isfloat != 0;
        if (badAddr)
            e.code = model::BAD_ADDRESS;
        else if (format < 0 || format > 2)
            e.code = model::BAD_FORMAT;
        else if (isfloat ? format == 2 : format != 2)
            e.code = model::BAD_AIN_TYPE;
        else {
            model::Result r = model::readAIN(env, addr, format, 8, s1);
            take(r);
            mask = r.mask;
            if (r.code == model::OK || r.code == model::AIN_LENGTH)
                for (int i = 0; i < 8; ++i) {
                    float v = r.values[static_cast<size_t>(i)];
                    if (isfloat)
                        putFloat(area(2), i, v);
                    else
                        putWord(area(2), i, toInt(v));
                }
        }
        if (ins == 1)
            putWord(area(4), 0, static_cast<long>(mask));
        break;
    }
    case 2: { // I7024: Addr, Chan, AOUT, ErrCode
        e.errCode = 3;
        int chan = wd(rec[1]);
        float v = rec[2].val.fl;
        if (badAddr)
            e.code = model::BAD_ADDRESS;
        else if (chan < 0 || chan > 3)
            e.code = model::BAD_CHANNEL;
        else if (!(v >= -11.0f && v <= 22.0f))
            e.code = model::BAD_AOUT;
        else
            take(model::writeAO(env, addr, chan, v, s1));
        break;
    }
    case 3:
    case 5:
    case 6: { // I7041, I7052, I7053: Addr, (XORmask,) DIN, ErrCode
        int din = ins == 5 ? 1 : 2;
        e.errCode = din + 1;
        if (badAddr) {
            e.code = model::BAD_ADDRESS;
            break;
        }
        model::Result r = model::readDIO(env, addr, s1);
        take(r);
        if (r.code != model::OK)
            break;
        int xm = ins == 5 ? 0 : wd(rec[1]);
        long v = ins == 3 ? ((r.value ^ xm) & 0x3FFF) : ins == 5 ? (r.value >> 8) : ((r.value ^ xm) & 0xFFFF);
        putWord(area(din), 0, v);
        break;
    }
    case 4: // I7043: Addr, DOUT, ErrCode
        e.errCode = 2;
        if (badAddr)
            e.code = model::BAD_ADDRESS;
        else
            take(model::writeDO(env, addr, wd(rec[1]), 4, s1));
        break;
    case 7:
    case 8: { // I7060, I7065: Addr, DOUT, DIN, ErrCode
        e.errCode = 3;
        if (badAddr) {
            e.code = model::BAD_ADDRESS;
            break;
        }
        model::Result w = model::writeDO(env, addr, wd(rec[1]) & 0x1F, ins == 7 ? 1 : 2, s1);
        take(w);
        if (w.code != model::OK)
            break;
        model::Result r = model::readDIO(env, addr, s2);
        take(r);
        if (r.code == model::OK)
            putWord(area(2), 0, ~r.value & 0x0F);
        break;
    }
    case 9:
    case 10: { // I7RDC: Addr, Chan, Count, ErrCode; I7CDC: Addr, Chan, ErrCode
        e.errCode = ins == 9 ? 3 : 2;
        int chan = wd(rec[1]);
        if (badAddr)
            e.code = model::BAD_ADDRESS;
        else if (chan < 0 || chan > 15)
            e.code = model::BAD_CHANNEL;
        else if (ins == 10)
            take(model::clearDICounter(env, addr, chan, s1));
        else {
            model::Result r = model::readDICounter(env, addr, chan, s1);
            take(r);
            if (r.code == model::OK) {
                if (rec[2].isfloat)
                    putFloat(area(2), 0, static_cast<float>(static_cast<uint32_t>(r.value)));
                else
                    putWord(area(2), 0, r.value);
            }
        }
        break;
    }
    case 11: // I7RSMS: Addr, ErrCode
        e.errCode = 1;
        if (badAddr)
            e.code = model::BAD_ADDRESS;
        else
            take(model::hostCmd(env, 1, addr, 0, 0, s1));
        break;
    case 12: { // I7RDMS: Addr, Status, ErrCode
        e.errCode = 2;
        if (badAddr) {
            e.code = model::BAD_ADDRESS;
            break;
        }
        model::Result r = model::hostCmd(env, 0, addr, 0, 0, s1);
        take(r);
        if (r.code == model::OK)
            putWord(area(1), 0, r.value);
        break;
    }
    case 13: { // I7SHWV: Addr, HSecs, ErrCode
        e.errCode = 2;
        int hsecs = wd(rec[1]);
        if (badAddr)
            e.code = model::BAD_ADDRESS;
        else if (hsecs < 0 || hsecs > 255)
            e.code = model::BAD_HSECS;
        else
            take(model::hostCmd(env, 3, addr, hsecs, 1, s1));
        break;
    }
    case 14: // I7HOK: ErrCode
        e.errCode = 0;
        e.addressed = false;
        take(model::hostOk(env, drain));
        break;
    }
    putWord(area(e.errCode), 0, static_cast<long>(e.code));
    return e;
}

inline const char *const NAMES[15] = {"I7017", "I7018", "I7024", "I7041",  "I7043",  "I7052",  "I7053", "I7060",
                                      "I7065", "I7RDC", "I7CDC", "I7RSMS", "I7RDMS", "I7SHWV", "I7HOK"};

} // namespace imodel

#endif
