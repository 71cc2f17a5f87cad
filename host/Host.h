// C++ API of the host runtime stand-in (libKIVRUN.so), for host programs, tools and tests.
//
// The runtime is one process-wide object: the Kiv* calls of the binary contract and this
// API see the same gates, clients, log and alerts. Every member is thread-safe: the
// driver calls the runtime from several threads at once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "entry/KivRun.h"
#include "entry/Records.h"

namespace kiv {

// Linear scaling of a gate: raw range to engineering range.
struct Scaling {
    double rawLow = 0, rawHigh = 1, engLow = 0, engHigh = 1;
};

struct GateSpec {
    std::optional<uint32_t> id;  // a chosen id (ids may have holes); the next free one otherwise
    std::string name;
    std::string address;         // gate address string
    uint16_t type = GATE_TYPE_U16; // 0 u16, 1 s16, 3 float, 6 digital, 7 text
    uint8_t drvNumber = 1;       // serving instance; the definition's driver index is drvNumber - 1
    uint8_t sourceKind = 1;      // 1 = fed by an I/O driver
    uint32_t recordSetting = 0;  // 0 = Record-Never
    uint32_t blockLength = 0;    // 0 = single gate (codes 3, 5, 7); n > 0 = block (codes 4, 6)
    bool sampling = true;        // the sampling loop reads the gate while this is on
    std::optional<Scaling> scaling;
};

// One value put into a gate (KivPutGateVal, KivPutGateStr, or a driver read by the host).
struct GateSample {
    double value = 0;
    std::string text;
    uint32_t timeStamp = 0;
    bool good = true;
    std::vector<double> elements; // the element values of a block read
};

struct GateState {
    GateSpec spec;
    GateSample current;          // the last value
    bool hasValue = false;
    bool samplingOff = false;    // flag 16 was set
    uint32_t flags = 0;
    std::vector<GateSample> history;   // values put, bounded (oldest dropped)
    std::vector<GateSample> forcedLog; // KivGateForceLogEx entries, bounded
    unsigned definitionChanges = 0;    // KivChangeGateDef calls
};

struct LogLine {
    int level = 0;
    std::string text;
};

struct Alert {
    uint8_t clientId = 0;
    std::string source, text;
    uint32_t severity = 0, flags = 0, zone = 0;
    uint16_t attributes = 0;
    uint32_t one = 0, mask = 0;
    KivAlertRef reference = 0;
    uint32_t startTime = 0;
    uint32_t endTime = 0;        // 0 while the alert is active
    uint32_t stampKind = 0;      // what the ending stamp asked for (the driver's is 6)
};

// The host calls whose status a test can force.
enum class Call {
    MkClient, RmClient, GetGateIdByAddressStr, GetGateCount, GetGateDef, ChangeGateDef, SetGateFlag,
    GetGateVal, GetGateStr, Cook, PutGateVal, PutGateStr, GateForceLogEx, StartAlert, StampAlert, WaitMsg
};

constexpr uint32_t kAllGates = 0xFFFFFFFFu;

class Runtime {
public:
    static Runtime &Get();

    // Clears gates, clients, log, alerts, failures and attached drivers.
    void Reset();

    // Gates.
    uint32_t AddGate(const GateSpec &spec);
    bool RemoveGate(uint32_t id);
    std::optional<GateState> Gate(uint32_t id) const;
    std::optional<uint32_t> FindGate(const std::string &address, uint8_t drvNumber) const;
    std::vector<uint32_t> GateIds() const;
    bool SetRecordSetting(uint32_t id, uint32_t setting);
    bool SetSampling(uint32_t id, bool on);
    // Loads gates from a gate-list file (format in docs/HOST.md). Returns the ids, or
    // nothing with *error set.
    std::optional<std::vector<uint32_t>> LoadGateList(const std::string &path, std::string *error);

    // Log: every KivErr line is kept in memory (the newest 100000, or fewer when set: a
    // host that runs for months and prints or subscribes needs none kept); lines whose
    // level is at or below the threshold are also printed (to standard error or a file).
    // Subscribers are called without the runtime's lock; Unsubscribe waits for calls in
    // progress on other threads, so a callback never runs after Unsubscribe returned.
    std::vector<LogLine> Log() const;
    void ClearLog();
    void SetLogKept(size_t lines); // at most 100000; 0 keeps none
    void SetLogThreshold(int maxLevelPrinted); // negative (-1, the default) prints nothing
    bool SetLogFile(const std::string &path);  // empty: standard error
    int Subscribe(std::function<void(const LogLine &)> callback);
    void Unsubscribe(int subscription);

    // Alerts: the newest 10000 are kept.
    std::vector<Alert> Alerts() const;
    void ClearAlerts();
    int SubscribeAlerts(std::function<void(const Alert &)> callback);
    void UnsubscribeAlerts(int subscription);

    // Clients.
    bool ClientExists(uint8_t clientId) const;
    std::vector<std::string> ClientNames() const;
    // How long KivWaitMsg waits for a message while its client exists (250 ms by default).
    void SetWaitMsgPeriod(unsigned ms);

    // Failure injection: `call` returns `status` for the gate (or kAllGates) until cleared.
    void InjectFailure(Call call, uint32_t gateId, uint16_t status);
    void ClearFailures();

    // Reads a gate through the driver serving its drv number (the request kind 14 of
    // KivGetGateVal/KivGetGateStr). Returns a runtime status (docs/HOST.md).
    uint16_t DeviceRead(uint32_t gateId);

    // Implementation, shared with the C entry points.
    struct State;
    State &Internal() const;

private:
    Runtime();
    std::unique_ptr<State> state_;
};

// Results of DriverHost calls that never reached the driver (the driver's own results are 0..3).
constexpr uint32_t kHostNoDriver = 1000;  // nothing loaded or attached
constexpr uint32_t kHostNoInstance = 1001; // ColdStart has not run, or EndDrv ended it
constexpr uint32_t kHostNoGate = 1002;     // no gate with this id, or no "$Add-nnn" gate
constexpr uint32_t kHostNotBound = 1003;   // the gate was never accepted by codes 3/4
constexpr uint32_t kHostWrongType = 1004;  // a number for a text gate or a text for a number gate

// One driver instance served by the host: loads the module (or takes a DrvMain already
// in the process), owns the instance block and speaks the function codes.
class DriverHost {
public:
    DriverHost();
    ~DriverHost(); // stops sampling and ends the instance (EndDrv) if still running

    bool Load(const std::string &modulePath, std::string *error); // dlopen + dlsym DrvMain
    void Attach(DrvMainFn drvMain);                                // in-process driver

    uint32_t GetDrvInfo(DrvInfo *info);
    // Allocates the instance block (not cleared, as a host does) and runs ColdStart.
    uint32_t ColdStart(uint32_t drvNumber, const ColdStartParams &params);
    uint32_t WarmStart(uint32_t station);
    uint32_t CloseCom();
    uint32_t ChangeDrvParams(const PortChangeParams &params);
    uint32_t EndDrv();
    uint32_t Call(uint32_t function, void *params, uint32_t *hostRequestAfter = nullptr);

    // Binds a runtime gate: codes 3 or 4 with the gate's GateAddress kept by the host.
    uint32_t Bind(uint32_t gateId);
    // Binds every gate of this drv number; returns how many were accepted.
    unsigned BindAll();
    // Reads a bound gate through codes 5 or 6 and stores the value in the runtime.
    uint32_t Read(uint32_t gateId);
    // Writes a bound gate through code 7. Numbers for numeric gates, text for text gates.
    uint32_t Write(uint32_t gateId, double value);
    uint32_t WriteText(uint32_t gateId, const std::string &text);
    // An alarm call reached the pool: writes the connection reference into the station's
    // alarm-call gate "$Add-nnn" (dd = drv number) through code 7. Returns the result.
    uint32_t DeliverAlarmCall(uint32_t station, uint16_t connRef);
    // The read a host makes for KivGetGateVal/KivGetGateStr with kind 14: code 5 with
    // blockLength 1 and a 500-byte value area, stored into the gate.
    uint32_t DeviceRead(uint32_t gateId);
    // The raw value area of the last read of a gate (for exact checks).
    std::vector<uint8_t> LastValueArea(uint32_t gateId) const;

    // Sampling loop on a host thread: reads every bound gate whose sampling is on.
    void StartSampling(unsigned periodMs);
    void StopSampling();

    uint32_t DrvNumber() const;
    void *Instance() const;
    DrvMainFn Entry() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace kiv
