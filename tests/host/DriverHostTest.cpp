// DriverHost against a small fake driver that records every request and fills values:
// the instance block, binding, reads and writes per gate type, kind-14 reads, sampling.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "host/Host.h"

namespace {

kiv::Runtime &Rt() { return kiv::Runtime::Get(); }

constexpr uint32_t kInstanceSize = 96;

struct Seen {
    uint32_t function = 0, drvNumber = 0;
    bool instanceWasNull = false;
    std::string gas;
    uint32_t gateIndex = 0, gateType = 0, blockLength = 0;
    GateAddress address{};
    std::vector<uint8_t> valueIn; // the value area as the host handed it (first 500 bytes)
    std::thread::id thread;
};

// The fake's script and record; the sampling thread calls it too.
struct Fake {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Seen> calls;
    std::vector<uint8_t> blockAtColdStart;
    ColdStartParams coldStart{};
    uint32_t station = 0;
    uint32_t result = 0;        // for codes 5, 6 and 7
    std::vector<uint8_t> reply; // copied into the value area of reads at byte replyAt
    size_t replyAt = 0;

    void Reset()
    {
        std::lock_guard lock(mutex);
        calls.clear();
        blockAtColdStart.clear();
        result = 0;
        Reply({}, 0);
    }
    size_t Count(uint32_t function)
    {
        std::lock_guard lock(mutex);
        return CountLocked(function);
    }
    size_t CountLocked(uint32_t function)
    {
        return std::count_if(calls.begin(), calls.end(), [&](const Seen &s) { return s.function == function; });
    }
    void Reply(std::vector<uint8_t> bytes, size_t at)
    {
        reply = std::move(bytes);
        replyAt = at;
    }
    Seen Last(uint32_t function)
    {
        std::lock_guard lock(mutex);
        for (auto it = calls.rbegin(); it != calls.rend(); ++it)
            if (it->function == function)
                return *it;
        return {};
    }
} fake;

uint32_t FakeDrvMain(RequestBlock *request)
{
    Seen seen;
    seen.function = request->function;
    seen.drvNumber = request->drvNumber;
    seen.instanceWasNull = request->instance == nullptr;
    seen.thread = std::this_thread::get_id();
    // Calls back into the runtime, as the driver does: the host must not hold its lock.
    KivErr(64, "FAKE code %u", request->function);
    uint32_t probe;
    (void)KivGetGateIdByAddressStr(1, 1, "PROBE", &probe);

    std::unique_lock lock(fake.mutex);
    uint32_t result = 0;
    switch (request->function) {
    case FN_GET_DRV_INFO: {
        auto *info = static_cast<DrvInfo *>(request->params);
        info->version = 70;
        info->shortName = "Fake";
        info->instanceSize = kInstanceSize;
        break;
    }
    case FN_COLD_START: {
        auto *block = static_cast<uint8_t *>(request->instance);
        fake.blockAtColdStart.assign(block, block + kInstanceSize);
        fake.coldStart = *static_cast<ColdStartParams *>(request->params);
        memset(block, 0, kInstanceSize);
        break;
    }
    case FN_WARM_START:
        fake.station = *static_cast<uint32_t *>(request->params);
        break;
    case FN_SINGLE_ADDRESS_PARSER:
    case FN_BLOCK_ADDRESS_PARSER: {
        auto *parse = static_cast<AddressParseBlock *>(request->params);
        seen.gas = parse->gas;
        seen.gateIndex = parse->gateIndex;
        seen.gateType = parse->gateType;
        seen.blockLength = parse->blockLength;
        if (seen.gas == "BAD") { // codes 3/4 refuse this address
            result = 1;
            break;
        }
        parse->address = GateAddress{parse->gateIndex + 100, 0x4941, 12, -1, 16};
        break;
    }
    case FN_SINGLE_READ:
    case FN_BLOCK_READ:
    case FN_SINGLE_WRITE: {
        auto *gate = static_cast<GateRequest *>(request->params);
        seen.gas = gate->gas;
        seen.gateType = gate->gateType;
        seen.blockLength = gate->blockLength;
        seen.address = gate->address;
        auto *area = static_cast<uint8_t *>(gate->value);
        seen.valueIn.assign(area, area + VALUE_AREA_TEXT);
        if (request->function != FN_SINGLE_WRITE)
            memcpy(area + fake.replyAt, fake.reply.data(), fake.reply.size());
        result = fake.result;
        break;
    }
    default:
        break;
    }
    fake.calls.push_back(seen);
    lock.unlock();
    fake.changed.notify_all();
    return result;
}

std::vector<uint8_t> Bytes(std::initializer_list<int> list) { return std::vector<uint8_t>(list.begin(), list.end()); }

template <typename T> std::vector<uint8_t> BytesOf(T value)
{
    std::vector<uint8_t> out(sizeof value);
    memcpy(out.data(), &value, sizeof value);
    return out;
}

class DriverHostTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Rt().Reset();
        fake.Reset();
        host_.Attach(FakeDrvMain);
    }
    void TearDown() override
    {
        host_.StopSampling();
        Rt().Reset();
    }

    uint32_t Add(const std::string &address, uint16_t type, uint32_t block = 0, uint8_t drv = 2, bool sampling = true)
    {
        kiv::GateSpec spec;
        spec.name = address;
        spec.address = address;
        spec.type = type;
        spec.blockLength = block;
        spec.drvNumber = drv;
        spec.sampling = sampling;
        return Rt().AddGate(spec);
    }
    uint32_t AddBound(const std::string &address, uint16_t type, uint32_t block = 0)
    {
        uint32_t id = Add(address, type, block);
        EXPECT_EQ(host_.Bind(id), 0u) << address;
        return id;
    }

    void Start()
    {
        ColdStartParams params{};
        strcpy(params.portName, "ttyS1");
        params.enabled = 1;
        params.hostTimeout = 1500;
        params.lineSettings = {9600, 8, 0, 0};
        ASSERT_EQ(host_.ColdStart(2, params), 0u);
    }

    kiv::DriverHost host_;
};

TEST_F(DriverHostTest, LifecycleHandsAGarbageFilledBlockOfTheReportedSize)
{
    DrvInfo info{};
    ASSERT_EQ(host_.GetDrvInfo(&info), 0u);
    EXPECT_EQ(info.instanceSize, kInstanceSize);
    EXPECT_TRUE(fake.Last(FN_GET_DRV_INFO).instanceWasNull) << "GetDrvInfo comes before any block";
    Start();
    EXPECT_EQ(fake.blockAtColdStart, std::vector<uint8_t>(kInstanceSize, 0xA5));
    EXPECT_STREQ(fake.coldStart.portName, "ttyS1");
    EXPECT_EQ(fake.coldStart.hostTimeout, 1500u);
    EXPECT_EQ(fake.coldStart.lineSettings.baudRate, 9600);
    EXPECT_EQ(fake.Last(FN_COLD_START).drvNumber, 2u);
    ASSERT_NE(host_.Instance(), nullptr);
    EXPECT_EQ(static_cast<uint8_t *>(host_.Instance())[0], 0) << "the block the driver cleared is kept";
    EXPECT_EQ(host_.DrvNumber(), 2u);
    EXPECT_EQ(host_.Entry(), &FakeDrvMain);

    EXPECT_EQ(host_.WarmStart(17), 0u);
    EXPECT_EQ(fake.station, 17u);
    PortChangeParams change{};
    EXPECT_EQ(host_.CloseCom(), 0u);
    EXPECT_EQ(host_.ChangeDrvParams(change), 0u);
    EXPECT_EQ(host_.EndDrv(), 0u);
    EXPECT_EQ(host_.EndDrv(), kiv::kHostNoInstance) << "a second EndDrv never reaches the driver";
    for (uint32_t code : {FN_CLOSE_COM, FN_CHANGE_DRV_PARAMS, FN_END_DRV})
        EXPECT_EQ(fake.Count(code), 1u) << "code " << code;
    EXPECT_NE(host_.Instance(), nullptr) << "the block lives as long as the DriverHost";
    EXPECT_EQ(kiv::Runtime::Get().Log().front().text, "FAKE code 14");

    // The destructor ends a running instance, and only a running one.
    fake.Reset();
    {
        kiv::DriverHost other, idle;
        other.Attach(FakeDrvMain);
        idle.Attach(FakeDrvMain);
        ASSERT_EQ(other.ColdStart(5, ColdStartParams{}), 0u);
    }
    EXPECT_EQ(fake.Count(FN_END_DRV), 1u);
    EXPECT_EQ(fake.Last(FN_END_DRV).drvNumber, 5u);
}

TEST_F(DriverHostTest, CallsThatCannotReachADriverSayWhy)
{
    kiv::DriverHost none;
    DrvInfo info{};
    uint32_t gate = Add("002AI001", GATE_TYPE_U16);
    EXPECT_EQ(none.GetDrvInfo(&info), kiv::kHostNoDriver);
    EXPECT_EQ(none.ColdStart(2, ColdStartParams{}), kiv::kHostNoDriver);
    EXPECT_EQ(none.Bind(gate), kiv::kHostNoDriver);
    EXPECT_EQ(none.Read(gate), kiv::kHostNoDriver);
    EXPECT_EQ(none.EndDrv(), kiv::kHostNoDriver);
    // Attached but never started.
    EXPECT_EQ(host_.Bind(gate), kiv::kHostNoInstance);
    EXPECT_EQ(host_.Read(gate), kiv::kHostNoInstance);
    EXPECT_EQ(host_.Write(gate, 1), kiv::kHostNoInstance);
    EXPECT_EQ(host_.WarmStart(1), kiv::kHostNoInstance);
    EXPECT_EQ(fake.Count(FN_SINGLE_ADDRESS_PARSER), 0u);
    Start();
    EXPECT_EQ(host_.Bind(999), kiv::kHostNoGate);
    EXPECT_EQ(host_.Read(gate), kiv::kHostNotBound);
    EXPECT_EQ(host_.Write(gate, 1), kiv::kHostNotBound);
    EXPECT_EQ(fake.Count(FN_SINGLE_READ) + fake.Count(FN_SINGLE_WRITE), 0u);

    std::string error;
    EXPECT_FALSE(none.Load("/nonexistent/TRSLNK99.so", &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(none.Load(KIVRUN_PATH, &error));
    EXPECT_EQ(error, std::string("no DrvMain in ") + KIVRUN_PATH);
}

TEST_F(DriverHostTest, BindingUsesCode3Or4AndKeepsTheParsedAddress)
{
    Start();
    uint32_t single = Add("002AI012", GATE_TYPE_S16);
    uint32_t block = Add("002AI020", GATE_TYPE_FLOAT, 6);
    uint32_t refused = Add("BAD", GATE_TYPE_U16);
    uint32_t otherDrv = Add("003AI001", GATE_TYPE_U16, 0, 3);
    EXPECT_EQ(host_.BindAll(), 2u);
    EXPECT_EQ(fake.Count(FN_SINGLE_ADDRESS_PARSER), 2u) << "single and refused; not the other drv's gate";
    EXPECT_EQ(fake.Count(FN_BLOCK_ADDRESS_PARSER), 1u);
    Seen parsed = fake.Last(FN_BLOCK_ADDRESS_PARSER);
    EXPECT_EQ(parsed.gas, "002AI020");
    EXPECT_EQ(parsed.gateIndex, block);
    EXPECT_EQ(parsed.gateType, static_cast<uint32_t>(GATE_TYPE_FLOAT));
    EXPECT_EQ(parsed.blockLength, 6u);

    fake.Reply(BytesOf<uint16_t>(0), 2);
    ASSERT_EQ(host_.Read(single), 0u);
    Seen read = fake.Last(FN_SINGLE_READ);
    EXPECT_EQ(read.address.station, single + 100) << "the address kept from binding goes back";
    EXPECT_EQ(read.address.memoryType, 0x4941u);
    EXPECT_EQ(read.address.spare, -1);
    EXPECT_EQ(read.gas, "002AI012");
    EXPECT_EQ(host_.Read(refused), kiv::kHostNotBound);
    EXPECT_EQ(host_.Read(otherDrv), kiv::kHostNotBound);
    EXPECT_EQ(host_.Bind(otherDrv), 0u) << "a host may bind any gate explicitly";
}

TEST_F(DriverHostTest, SingleReadsDecodeTheValueAreaByGateType)
{
    Start();
    struct { const char *what; uint16_t type; std::vector<uint8_t> reply; size_t at; double value; std::string text; }
    cases[] = {
        {"u16", GATE_TYPE_U16, BytesOf<uint16_t>(0xFFFE), 2, 65534, ""},
        {"s16", GATE_TYPE_S16, BytesOf<uint16_t>(0xFFFE), 2, -2, ""},
        {"digital word is 0/1", GATE_TYPE_DIGITAL, BytesOf<uint16_t>(5), 2, 1, ""},
        {"digital zero", GATE_TYPE_DIGITAL, BytesOf<uint16_t>(0), 2, 0, ""},
        {"float", GATE_TYPE_FLOAT, BytesOf<float>(3.25f), 0, 3.25, ""},
        {"16-bit types ignore bytes 0-1", GATE_TYPE_U16, Bytes({0x11, 0x22, 0x07, 0x00}), 0, 7, ""},
        {"text", GATE_TYPE_TEXT, Bytes({'O', 'K', ' ', '1', 0}), 0, 0, "OK 1"},
        {"unterminated text stays inside the area", GATE_TYPE_TEXT, std::vector<uint8_t>(VALUE_AREA_TEXT, 'Q'), 0,
         0, std::string(VALUE_AREA_TEXT - 1, 'Q')},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        uint32_t id = AddBound(std::string("002X") + c.what, c.type);
        fake.Reply(c.reply, c.at);
        ASSERT_EQ(host_.Read(id), 0u);
        Seen seen = fake.Last(FN_SINGLE_READ);
        EXPECT_EQ(seen.blockLength, 1u);
        EXPECT_EQ(seen.gateType, c.type);
        EXPECT_EQ(seen.valueIn, std::vector<uint8_t>(VALUE_AREA_TEXT, 0)) << "area handed over zeroed";
        auto gate = Rt().Gate(id);
        ASSERT_TRUE(gate->hasValue);
        EXPECT_EQ(gate->current.value, c.value);
        EXPECT_EQ(gate->current.text, c.text);
        EXPECT_TRUE(gate->current.good);
        auto area = host_.LastValueArea(id);
        ASSERT_EQ(area.size(), VALUE_AREA_TEXT);
        EXPECT_EQ(std::vector<uint8_t>(area.begin() + c.at, area.begin() + c.at + c.reply.size()), c.reply);
    }
    // A failed read leaves the value and returns the driver's result.
    uint32_t id = AddBound("002AI001", GATE_TYPE_U16);
    ASSERT_EQ(KivPutGateVal(1, id, 2, 42, 7, 0), 0);
    fake.result = 2;
    fake.Reply(BytesOf<uint16_t>(99), 2);
    EXPECT_EQ(host_.Read(id), 2u);
    EXPECT_EQ(Rt().Gate(id)->current.value, 42);
    EXPECT_EQ(Rt().Gate(id)->history.size(), 1u);
}

TEST_F(DriverHostTest, BlockReadsStoreEveryElement)
{
    Start();
    struct { const char *what; uint16_t type; uint32_t length; std::vector<uint8_t> reply; std::vector<double> elements; }
    cases[] = {
        {"u16", GATE_TYPE_U16, 3, Bytes({1, 0, 0xFF, 0xFF, 0x10, 0x27}), {1, 65535, 10000}},
        {"s16", GATE_TYPE_S16, 2, Bytes({0xFF, 0xFF, 0x00, 0x80}), {-1, -32768}},
        {"digital", GATE_TYPE_DIGITAL, 4, Bytes({0, 0, 1, 0, 0, 1, 9, 0}), {0, 1, 1, 1}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        uint32_t id = AddBound(std::string("002B") + c.what, c.type, c.length);
        fake.Reply(c.reply, 0);
        ASSERT_EQ(host_.Read(id), 0u);
        EXPECT_EQ(fake.Last(FN_BLOCK_READ).blockLength, c.length);
        EXPECT_EQ(Rt().Gate(id)->current.elements, c.elements);
        EXPECT_EQ(Rt().Gate(id)->current.value, c.elements.front());
    }
    // A long float block gets an area of 4 bytes per element; the last one is read back.
    uint32_t id = AddBound("002FR001", GATE_TYPE_FLOAT, 200);
    fake.Reply(BytesOf<float>(-0.5f), 4 * 199);
    ASSERT_EQ(host_.Read(id), 0u);
    auto gate = Rt().Gate(id);
    ASSERT_EQ(gate->current.elements.size(), 200u);
    EXPECT_EQ(gate->current.elements[199], -0.5);
    EXPECT_EQ(gate->current.elements[0], 0);
    EXPECT_EQ(host_.LastValueArea(id).size(), 800u);
}

TEST_F(DriverHostTest, WritesBuildTheValueAreaByGateType)
{
    Start();
    struct { const char *what; uint16_t type; double value; std::vector<uint8_t> first4; } cases[] = {
        {"u16", GATE_TYPE_U16, 513, {0, 0, 0x01, 0x02}},
        {"u16 clamped high", GATE_TYPE_U16, 70000, {0, 0, 0xFF, 0xFF}},
        {"u16 clamped low", GATE_TYPE_U16, -3, {0, 0, 0, 0}},
        {"s16 negative", GATE_TYPE_S16, -5, {0, 0, 0xFB, 0xFF}},
        {"s16 clamped", GATE_TYPE_S16, -40000, {0, 0, 0x00, 0x80}},
        {"digital", GATE_TYPE_DIGITAL, 7, {0, 0, 1, 0}},
        {"float", GATE_TYPE_FLOAT, 1.25, BytesOf<float>(1.25f)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        uint32_t id = AddBound(std::string("002W") + c.what, c.type);
        ASSERT_EQ(host_.Write(id, c.value), 0u);
        Seen seen = fake.Last(FN_SINGLE_WRITE);
        EXPECT_EQ(std::vector<uint8_t>(seen.valueIn.begin(), seen.valueIn.begin() + 4), c.first4);
        EXPECT_EQ(seen.gas, std::string("002W") + c.what);
        EXPECT_EQ(seen.address.station, id + 100);
    }
    uint32_t text = AddBound("002ST001", GATE_TYPE_TEXT);
    uint32_t number = AddBound("002AI001", GATE_TYPE_U16);
    ASSERT_EQ(host_.WriteText(text, "ABC"), 0u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(fake.Last(FN_SINGLE_WRITE).valueIn.data())), "ABC");
    ASSERT_EQ(host_.WriteText(text, std::string(600, 'L')), 0u);
    Seen longText = fake.Last(FN_SINGLE_WRITE);
    EXPECT_EQ(longText.valueIn[498], 'L');
    EXPECT_EQ(longText.valueIn[499], 0) << "text is cut to the area and terminated";
    size_t writes = fake.Count(FN_SINGLE_WRITE);
    EXPECT_EQ(host_.Write(text, 1), kiv::kHostWrongType);
    EXPECT_EQ(host_.WriteText(number, "1"), kiv::kHostWrongType);
    EXPECT_EQ(fake.Count(FN_SINGLE_WRITE), writes);
    fake.result = 1;
    EXPECT_EQ(host_.Write(number, 1), 1u) << "the driver's result comes back";
}

TEST_F(DriverHostTest, AlarmCallGoesToTheStationsAddGate)
{
    Start();
    AddBound("$A02-017", GATE_TYPE_U16);
    ASSERT_EQ(host_.DeliverAlarmCall(17, 0x0102), 0u);
    Seen seen = fake.Last(FN_SINGLE_WRITE);
    EXPECT_EQ(seen.gas, "$A02-017");
    EXPECT_EQ(std::vector<uint8_t>(seen.valueIn.begin(), seen.valueIn.begin() + 4), Bytes({0, 0, 0x02, 0x01}));
    EXPECT_EQ(host_.DeliverAlarmCall(18, 1), kiv::kHostNoGate);
    EXPECT_EQ(host_.DeliverAlarmCall(1017, 1), kiv::kHostNoGate) << "no digits dropped";
    EXPECT_EQ(fake.Count(FN_SINGLE_WRITE), 1u);
}

TEST_F(DriverHostTest, Kind14ReadsThroughTheDriverOnTheCallingThread)
{
    Start();
    uint32_t number = AddBound("002AI001", GATE_TYPE_U16, 4); // a block gate is still read as one value
    uint32_t text = AddBound("002ST001", GATE_TYPE_TEXT);
    uint32_t unbound = Add("002AI009", GATE_TYPE_U16);
    uint32_t elsewhere = Add("004AI001", GATE_TYPE_U16, 0, 4);
    fake.Reply(BytesOf<uint16_t>(321), 2);
    double value = 0;
    ASSERT_EQ(KivGetGateVal(1, KIV_KIND_DEVICE_READ, number, &value, 0, 0), 0);
    EXPECT_EQ(value, 321);
    Seen seen = fake.Last(FN_SINGLE_READ);
    EXPECT_EQ(seen.blockLength, 1u);
    EXPECT_EQ(seen.thread, std::this_thread::get_id());
    EXPECT_EQ(Rt().Gate(number)->current.value, 321) << "the value read is stored in the gate";
    EXPECT_EQ(fake.Count(FN_BLOCK_READ), 0u);
    size_t reads = fake.Count(FN_SINGLE_READ);
    ASSERT_EQ(KivGetGateVal(1, 0, number, &value, 0, 0), 0);
    EXPECT_EQ(fake.Count(FN_SINGLE_READ), reads) << "kind 0 does not go to the driver";

    std::vector<uint8_t> longText(300, 'S');
    longText.push_back(0);
    fake.Reply(longText, 0);
    char buffer[KIV_GATESTR_SIZE + 1];
    buffer[KIV_GATESTR_SIZE] = '#';
    ASSERT_EQ(KivGetGateStr(1, KIV_KIND_DEVICE_READ, text, buffer, 0, 0), 0);
    EXPECT_EQ(std::string(buffer), std::string(99, 'S'));
    EXPECT_EQ(buffer[KIV_GATESTR_SIZE], '#');

    EXPECT_EQ(KivGetGateVal(1, KIV_KIND_DEVICE_READ, unbound, &value, 0, 0), 6);
    EXPECT_EQ(KivGetGateVal(1, KIV_KIND_DEVICE_READ, elsewhere, &value, 0, 0), 6);
    fake.result = 2;
    EXPECT_EQ(KivGetGateVal(1, KIV_KIND_DEVICE_READ, number, &value, 0, 0), 7);
    EXPECT_EQ(KivGetGateStr(1, KIV_KIND_DEVICE_READ, text, buffer, 0, 0), 7);
    Rt().InjectFailure(kiv::Call::GetGateVal, number, 30);
    reads = fake.Count(FN_SINGLE_READ);
    EXPECT_EQ(KivGetGateVal(1, KIV_KIND_DEVICE_READ, number, &value, 0, 0), 30);
    EXPECT_EQ(fake.Count(FN_SINGLE_READ), reads) << "an injected failure comes first";

    fake.result = 0;
    ASSERT_EQ(host_.EndDrv(), 0u);
    EXPECT_EQ(KivGetGateVal(1, KIV_KIND_DEVICE_READ, text, &value, 0, 0), 8);
    EXPECT_EQ(KivGetGateStr(1, KIV_KIND_DEVICE_READ, text, buffer, 0, 0), 6) << "no driver after EndDrv";
}

TEST_F(DriverHostTest, SamplingReadsBoundGatesWithSamplingOnUntilStopped)
{
    Start();
    uint32_t sampled = Add("002AI001", GATE_TYPE_U16);
    uint32_t quiet = Add("002AI002", GATE_TYPE_U16, 0, 2, false);
    uint32_t flagged = Add("002AI003", GATE_TYPE_U16);
    Add("002AI004", GATE_TYPE_U16); // removed after binding
    ASSERT_EQ(host_.BindAll(), 4u);
    ASSERT_EQ(KivSetGateFlag(1, flagged, KIV_FLAG_NO_SAMPLING, 0), 0);
    Rt().RemoveGate(3);
    fake.Reply(BytesOf<uint16_t>(11), 2);
    host_.StartSampling(1);
    {
        std::unique_lock lock(fake.mutex);
        ASSERT_TRUE(fake.changed.wait_for(lock, std::chrono::seconds(30),
                                          [] { return fake.CountLocked(FN_SINGLE_READ) >= 3; }));
    }
    host_.StopSampling();
    size_t after = fake.Count(FN_SINGLE_READ);
    {
        std::lock_guard lock(fake.mutex);
        for (const auto &call : fake.calls)
            if (call.function == FN_SINGLE_READ) {
                EXPECT_EQ(call.gas, "002AI001");
            }
    }
    EXPECT_EQ(Rt().Gate(sampled)->current.value, 11);
    EXPECT_FALSE(Rt().Gate(quiet)->hasValue);
    EXPECT_FALSE(Rt().Gate(flagged)->hasValue);
    host_.StopSampling();
    EXPECT_EQ(fake.Count(FN_SINGLE_READ), after) << "a second stop is harmless and nothing reads any more";
}

TEST_F(DriverHostTest, ReadsFromSeveralThreadsWhileTheRuntimeIsBusy)
{
    Start();
    std::vector<uint32_t> ids;
    for (int i = 0; i < 4; i++)
        ids.push_back(AddBound("002AI00" + std::to_string(i), GATE_TYPE_U16));
    fake.Reply(BytesOf<uint16_t>(5), 2);
    host_.StartSampling(1);
    std::vector<std::thread> threads;
    for (uint32_t id : ids) {
        threads.emplace_back([id] {
            for (int i = 0; i < 50; i++) {
                double value;
                EXPECT_EQ(KivGetGateVal(1, KIV_KIND_DEVICE_READ, id, &value, 0, 0), 0);
                EXPECT_EQ(value, 5);
                EXPECT_EQ(KivPutGateVal(1, id, 2, 1, 1, 0), 0);
            }
        });
    }
    for (auto &t : threads)
        t.join();
    host_.StopSampling();
    EXPECT_GE(fake.Count(FN_SINGLE_READ), 200u);
}

} // namespace
