// EndDrv while every kind of worker runs, and starts and ends over and over without a
// thread, a descriptor or (under LeakSanitizer) a byte left behind. Many things at once
// over a long run are the soak's (SoakTest.cpp).
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <future>
#include <memory>

#include "Rig.h"
#include "dialx/Pool.h"
#include "entry/DialX.h"
#include "platform/Platform.h"

namespace reliability {
namespace {

trs::sim::HistoryTrace Trace(const char *resource, size_t values, uint32_t tickMs = 0)
{
    trs::sim::HistoryTrace trace{.resource = resource, .periodCount = 1,
                                 .newest = trs::sim::MakeStationTime(2003, 12, 15, 12), .tickMs = tickMs};
    for (size_t i = 0; i < values; i++)
        trace.values.push_back(std::to_string(i % 100) + ",5");
    return trace;
}

// EndDrv while a read-all (journal, history, current states), a journal reader, a
// current-states reader and a history read on a host thread all run: it returns, every
// thread and connection of the instance is gone, and the host's read comes back.
TEST_F(Rig, EndDrvWhileEveryKindOfWorkerRuns)
{
    const size_t threads = ThreadCount(), descriptors = DescriptorCount();
    auto plc6Owner = std::make_unique<trs::sim::Simulator>();
    trs::sim::Simulator &plc6 = *plc6Owner;
    {
        trs::sim::StationConfig five = Plc5(2000), six = Plc5(2000);
        six.identity = 6;
        six.name = "PLC6";
        five.traces[1] = six.traces[1] = Trace("RA1", 4096);
        simulator_.AddStation(five);
        plc6.AddStation(six);
    }
    auto port = plc6.ListenTcp(0);
    ASSERT_TRUE(port);
    ASSERT_EQ("", dialx::AddDialEntry({kDialRef + 1, "127.0.0.1", *port, 3000}));
    for (const char *gate : {"005M_CONNECT", "006M_SAMPLE", "006JR", "006EC", "006HS", "005_START_DATE", "006_START_DATE"})
        AddGate(gate, gate[4] == 'S' && gate[3] == '_' ? GATE_TYPE_TEXT : GATE_TYPE_U16);
    StartModem("006 = 'PLC6' , '1234'\n");
    ASSERT_EQ(host_.WriteText(Gate("005_START_DATE"), "01/01/2003"), 0u);
    ASSERT_EQ(host_.WriteText(Gate("006_START_DATE"), "01/01/2003"), 0u);
    ASSERT_EQ(host_.Write(Gate("005M_CONNECT"), kDialRef), 0u) << trs_test::Dump();
    ASSERT_EQ(host_.Write(Gate("006M_SAMPLE"), kDialRef + 1), 0u) << trs_test::Dump();
    ASSERT_EQ(host_.Write(Gate("006JR"), 1), 0u);
    ASSERT_EQ(host_.Write(Gate("006EC"), 1), 0u);
    auto history = std::async(std::launch::async, [&] { return host_.Read(Gate("006HS")); });
    StationRecord *five = StationOf(Instance(), 5), *six = StationOf(Instance(), 6);
    ASSERT_TRUE(WaitUntil([&] {
        const auto telegrams = plc6.Telegrams();
        return five->journalBusy && five->readAllBusy && six->journalBusy && six->statesBusy &&
               std::count(telegrams.begin(), telegrams.end(), "TP?\t1\t80\t") == 1;
    })) << trs_test::Dump();

    auto end = std::async(std::launch::async, [&] { return host_.EndDrv(); });
    ASSERT_EQ(end.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "EndDrv hangs";
    EXPECT_EQ(end.get(), 0u);
    ASSERT_EQ(history.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "the host's read hangs";
    history.get();
    EXPECT_EQ(Instance()->workers.load(), 0u);
    EXPECT_EQ(dialx::GetCounters().openConnections, 0u);
    simulator_.Stop();
    plc6Owner.reset();
    dialx::Reset();
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == threads; })) << ThreadCount() << " threads, " << threads << " before";
    EXPECT_EQ(DescriptorCount(), descriptors);
}

// Started and ended a hundred times, each time with a read and a journal read under way.
TEST_F(Rig, StartedAndEndedAHundredTimes)
{
    simulator_.AddStation(Plc5(50));
    auto port = simulator_.OpenPty();
    ASSERT_TRUE(port);
    port_ = *port;
    AddGate("005AI012", GATE_TYPE_U16);
    AddGate("005JR", GATE_TYPE_U16);
    std::ofstream("TRSLNK01.INT") << "CLOCK_SYNC = NEVER\nCOM_TIMEOUT = 10\n005 = 'PLC5' , '1234'\n";
    host_.Attach(DrvMain);
    size_t threads = 0, descriptors = 0;
    for (int cycle = 0; cycle < 100; cycle++) {
        SCOPED_TRACE(cycle);
        ASSERT_EQ(host_.ColdStart(1, trs_test::StartParams(port_)), 0u) << trs_test::Dump();
        ASSERT_EQ(host_.BindAll(), 2u);
        EXPECT_EQ(host_.Read(Gate("005AI012")), 0u);
        EXPECT_EQ(host_.Write(Gate("005JR"), 1), 0u);
        ASSERT_EQ(host_.EndDrv(), 0u);
        if (cycle == 0) {
            threads = ThreadCount();
            descriptors = DescriptorCount();
        }
        trs_test::ClearLog();
    }
    EXPECT_EQ(ThreadCount(), threads);
    EXPECT_EQ(DescriptorCount(), descriptors);
}

} // namespace
} // namespace reliability
