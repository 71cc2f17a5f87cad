// What the reliability tests share: a host with its gates, the driver called through
// DrvMain, and a simulated station on a pseudo-terminal (serial mode) or behind the
// modem pool (modem mode), in a private working directory with the driver's waits
// shortened; the station's journal and the check that each of its events reached its
// gate exactly once; and the process's own threads, descriptors and memory.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "entry/Entry.h"
#include "host/Host.h"
#include "sim/Simulator.h"
#include "support/Support.h"

namespace reliability {

constexpr uint16_t kDialRef = 12;
extern const char kJournalDone[];   // the end line of every journal read
extern const char kJournalFailed[]; // the line of a read that stopped early

// Event i of a test journal, with times in `year`: resources 1 (analog), 2 (digital) and
// 3 (text) in turn.
trs::sim::Event MakeEvent(int i, int year = 2003);
trs::sim::StationConfig Plc5(int events = 0);

using trs_test::WaitUntil;

// Entries of the process: threads, open descriptors, resident memory (KiB).
size_t ThreadCount();
size_t DescriptorCount();
size_t ResidentKiB();

class Rig : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts drv number 1 for station 5 ('PLC5', '1234') with these extra lines of the
    // initialisation file, on the simulator's pseudo-terminal or, in modem mode, with the
    // simulator behind dial reference 12. The journal gates are always there.
    void StartSerial(const std::string &keys = "");
    void StartModem(const std::string &keys = "");
    uint32_t AddGate(const std::string &address, uint16_t type);
    uint32_t Gate(const std::string &address) const { return gates_.at(address); }
    DriverInstance *Instance() const { return static_cast<DriverInstance *>(host_.Instance()); }

    // Starts a journal read with a write of the JR gate and waits for its end line and for
    // its reader to let go of the station, which comes just after: a write in between is
    // refused ("already reading journal").
    void ReadJournal(size_t runs);
    bool JournalIdle() const; // station 5 has no journal reader
    size_t JournalRuns() const { return trs_test::Count(32, kJournalDone); }
    double LastEvent() const;
    // Each of `events` in its gate once, in order, with its own time; nothing else there.
    void ExpectStoredOnce(const std::vector<trs::sim::Event> &events) const;
    std::vector<std::string> JournalRequests() const;

    static kiv::Runtime &Runtime() { return kiv::Runtime::Get(); }

    trs::sim::Simulator simulator_;
    kiv::DriverHost host_;
    std::map<std::string, uint32_t> gates_;
    std::string port_;

private:
    void Start(const std::string &init, const char *portName);
    std::filesystem::path directory_, previous_;
};

} // namespace reliability
