// Inflating the compressed payloads of requests: a few kilobytes may stand for the whole
// request limit, so what the inflations under way may make has a budget of bytes. A
// request whose payload may inflate past a small allowance is started only when what it
// may make (1032 bytes for each compressed one, at most the request limit) fits what
// the others left, or when no other is under way. Light payloads thus inflate side by
// side, bombs one after the other; a request waiting for that holds no worker.
#include "tcp_server_records.h"

using Impl = CL_TCPServer::Impl;

namespace {

// The most that zlib makes of one compressed byte.
constexpr uint64 kMaxInflateRatio = 1032;
// Never less than this, however small the request limit.
constexpr uint64 kMinInflateBudget = 1u << 20;

// An inflation of that reach fits what the others left, or none is under way.
bool Fits(uint64 inflating, uint64 reach, uint64 budget) {
    return reach == 0 || inflating == 0 || inflating + reach <= budget;
}

// Counts the reach in when it fits.
bool TryReserve(std::atomic<uint64>* inflating, uint64 reach, uint64 budget) {
    uint64 now = *inflating;
    do {
        if (!Fits(now, reach, budget)) return false;
    } while (!inflating->compare_exchange_weak(now, now + reach));
    return true;
}

}  // namespace

uint64 Impl::GetInflateBudget() const {
    uint64 budget = fMaxRequestSize;
    return budget > kMinInflateBudget ? budget : kMinInflateBudget;
}

// A payload that is refused without inflating (compression not granted) reaches
// nothing.
uint64 Impl::InflateReach(const Incoming& request) const {
    if (request.fHeader.fType != CL_PACKET_TYPE_DATA ||
        !(request.fHeader.fFlags & CL_IPC_COMPRESS) || request.fRefused ||
        !(fServer.GetFlags() & CL_IPC_COMPRESS))
        return 0;
    uint64 reach = uint64(request.fInput.GetSize()) * kMaxInflateRatio;
    if (reach > fMaxRequestSize) reach = fMaxRequestSize;
    return reach > kFreeInflation ? reach : 0;
}

// A request that does not fit is held, and looked at again: an inflation that ended
// meanwhile either shows in the second look or finds the flag set and wakes the
// dispatcher (all four steps are sequentially consistent), so no wake-up is lost.
bool Impl::InflationFits(uint64 reach) {
    if (Fits(fInflating, reach, GetInflateBudget())) return true;
    fInflateHeld = true;
    return Fits(fInflating, reach, GetInflateBudget());
}

bool Impl::ReserveInflation(uint64 reach) {
    if (reach == 0 || TryReserve(&fInflating, reach, GetInflateBudget())) return true;
    fInflateHeld = true;
    return TryReserve(&fInflating, reach, GetInflateBudget());
}

// A request held back for the inflations is taken as soon as there is room.
void Impl::EndInflation(Exchange& x) {
    if (x.fInflateReach == 0) return;
    fInflating -= x.fInflateReach;
    x.fInflateReach = 0;
    if (fInflateHeld.exchange(false)) WakeDispatcher();
}
