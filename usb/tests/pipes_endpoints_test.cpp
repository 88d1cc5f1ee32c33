// Endpoint discovery: which pipes the host's record gets, the lines printed for each
// endpoint, what the last query decides, and the pipes CloseDevice then flushes and resets.
#include "pipes_host.h"

namespace {

using Trace = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

Bytes Raw(const PipeEntry& e) {
    auto p = reinterpret_cast<const uint8_t*>(&e);
    return Bytes(p, p + sizeof e);
}

class Endpoints : public PipeHostTest {
protected:
    void SetUp() override {
        PipeHostTest::SetUp();
        std::memset(&pair_, 0xAB, sizeof pair_);
    }
    // Queries the endpoints of session_ into pair_, capturing what is printed.
    uint32_t Query(std::string* printed = nullptr) {
        StdoutCapture out;
        uint32_t result = lwu().QueryDeviceEndpoints(session_.interfaceHandle, &pair_);
        if (printed) *printed = out.Text();
        return result;
    }
    // The pipe IDs CloseDevice flushes; each is reset right after its flush.
    std::vector<int> PipesFlushedAtClose(DeviceSession& session) {
        SimWorld_ClearCalls();
        api().CloseDevice(&session);
        std::vector<int> flushed = PipeIdsOf("WinUsb_FlushPipe");
        EXPECT_EQ(flushed, PipeIdsOf("WinUsb_ResetPipe"));
        Trace trace = CallTrace();
        for (size_t i = 0; i < flushed.size(); ++i) {
            EXPECT_EQ("FlushPipe", trace.at(1 + 2 * i));
            EXPECT_EQ("ResetPipe", trace.at(2 + 2 * i));
        }
        return flushed;
    }
    EndpointPair pair_;
};

TEST_F(Endpoints, FirstPipeOfEachDirectionByIndexWithOneLineEach) {
    OpenWithPipes({Pipe(kBulk, 0x01, 512), Pipe(kInterrupt, 0x83, 16, 4), Pipe(kBulk, 0x81, 512)});
    std::string printed;
    EXPECT_NE(0u, Query(&printed));
    EXPECT_EQ("Endpoint index: 0 Pipe type: bulk-out  Pipe ID:  1  MaximumPacketSize: 200.\n"
              "Endpoint index: 1 Pipe type: Interrupt Pipe ID: 131.\n"
              "Endpoint index: 2 Pipe type: bulk-in Pipe ID:  81 MaximumPacketSize: 200.\n",
              printed);
    EXPECT_EQ(kInterrupt, pair_.in.pipeType) << "the interrupt pipe comes first by index";
    EXPECT_EQ(0x83, pair_.in.pipeId);
    EXPECT_EQ(16, pair_.in.maxPacketSize);
    EXPECT_EQ(4, pair_.in.interval);
    EXPECT_EQ(kBulk, pair_.out.pipeType);
    EXPECT_EQ(0x01, pair_.out.pipeId);
    EXPECT_EQ((Trace{"QueryInterfaceSettings", "QueryPipeEx", "QueryPipeEx", "QueryPipeEx"}), CallTrace());
    for (const Call& c : RecordedCalls()) EXPECT_EQ(0u, c.call.args[1]) << "alternate setting 0";
}

TEST_F(Endpoints, BulkInEntryHoldsTheReportedFieldsAndTheLineShowsThemInHex) {
    OpenWithPipes({Pipe(kBulk, 0x81, 64, 7)});
    std::string printed;
    EXPECT_NE(0u, Query(&printed));
    EXPECT_EQ("Endpoint index: 0 Pipe type: bulk-in Pipe ID:  81 MaximumPacketSize: 40.\n", printed);
    EXPECT_EQ((Bytes{2, 0, 0x81, 0, 64, 0, 7, 0, 64, 0, 0, 0, 0, 0}), Raw(pair_.in));
    EXPECT_EQ(0, pair_.out.pipeType) << "no OUT pipe";
    Bytes out = Raw(pair_.out);
    EXPECT_EQ(Bytes(12, 0xAB), Bytes(out.begin() + 2, out.end()))
        << "the rest of a missing entry is what the host left there";
}

TEST_F(Endpoints, ControlPipesAndEmptyInterfacesFillNothing) {
    OpenWithPipes({Pipe(kControl, 0x00, 64)});
    std::string printed;
    EXPECT_NE(0u, Query(&printed));
    EXPECT_EQ("Endpoint index: 0 Pipe type: Control Pipe ID: 0.\n", printed);
    EXPECT_EQ(0, pair_.in.pipeType);
    EXPECT_EQ(0, pair_.out.pipeType);
    EXPECT_EQ(0xAB, pair_.in.pipeId);
    api().CloseDevice(&session_);

    std::memset(&pair_, 0xAB, sizeof pair_);
    OpenWithPipes({});
    EXPECT_NE(0u, Query(&printed)) << "the interface query's own result";
    EXPECT_EQ("", printed);
    EXPECT_EQ(0, pair_.in.pipeType);
    EXPECT_EQ(0, pair_.out.pipeType);
    EXPECT_EQ((Trace{"QueryInterfaceSettings"}), CallTrace());
}

TEST_F(Endpoints, IsochronousPipesAreOfferedByDirection) {
    OpenWithPipes({Pipe(kIsochronous, 0x02, 192, 1), Pipe(kIsochronous, 0x82, 192, 1), Pipe(kBulk, 0x81)});
    std::string printed;
    EXPECT_NE(0u, Query(&printed));
    EXPECT_EQ("Endpoint index: 0 Pipe type: Isochronous Pipe ID: 2.\n"
              "Endpoint index: 1 Pipe type: Isochronous Pipe ID: 130.\n"
              "Endpoint index: 2 Pipe type: bulk-in Pipe ID:  81 MaximumPacketSize: 200.\n",
              printed);
    EXPECT_EQ(kIsochronous, pair_.in.pipeType);
    EXPECT_EQ(0x82, pair_.in.pipeId);
    EXPECT_EQ(kIsochronous, pair_.out.pipeType);
    EXPECT_EQ(0x02, pair_.out.pipeId);
}

TEST_F(Endpoints, CloseFlushesAndResetsExactlyTheRecordedPipes) {
    OpenWithPipes({Pipe(kBulk, 0x01), Pipe(kBulk, 0x81)});
    ASSERT_NE(0u, Query());
    EXPECT_EQ((std::vector<int>{0x01, 0x81}), PipesFlushedAtClose(session_));
    EXPECT_EQ((Trace{"Control 41/80", "FlushPipe", "ResetPipe", "FlushPipe", "ResetPipe", "Free"}), CallTrace());
}

TEST_F(Endpoints, CloseDiscardsWhatAReadLeftInTheRecordedPipes) {
    int dev = 0;
    OpenWithPipes({Pipe(kBulk, 0x01), Pipe(kBulk, 0x81)}, &dev);
    ASSERT_NE(0u, Query());
    SimWorld_QueueMessage(dev, "0123456789", 10);
    char buffer[4];
    uint32_t count = 0;
    {
        StdoutCapture quiet;
        ASSERT_EQ(0u, api().PipeRead(session_.interfaceHandle, 0x81, buffer, sizeof buffer, &count, nullptr));
    }
    ASSERT_EQ(6u, SimWorld_PipeCachedBytes(dev, 0x81)) << "the rest of the transfer waits for the next read";
    api().CloseDevice(&session_);
    EXPECT_EQ(0u, SimWorld_PipeCachedBytes(dev, 0x81)) << "the next session does not read a stale rest";
}

TEST_F(Endpoints, SixEndpointsPrintSixLinesRecordFourAndAllCountForTheRecord) {
    OpenWithPipes({Pipe(kBulk, 0x01), Pipe(kBulk, 0x02), Pipe(kInterrupt, 0x03, 8, 1), Pipe(kBulk, 0x04),
                   Pipe(kBulk, 0x05), Pipe(kBulk, 0x86, 1024)});
    std::string printed;
    EXPECT_NE(0u, Query(&printed));
    EXPECT_EQ("Endpoint index: 0 Pipe type: bulk-out  Pipe ID:  1  MaximumPacketSize: 200.\n"
              "Endpoint index: 1 Pipe type: bulk-out  Pipe ID:  2  MaximumPacketSize: 200.\n"
              "Endpoint index: 2 Pipe type: Interrupt Pipe ID: 3.\n"
              "Endpoint index: 3 Pipe type: bulk-out  Pipe ID:  4  MaximumPacketSize: 200.\n"
              "Endpoint index: 4 Pipe type: bulk-out  Pipe ID:  5  MaximumPacketSize: 200.\n"
              "Endpoint index: 5 Pipe type: bulk-in Pipe ID:  86 MaximumPacketSize: 400.\n",
              printed);
    EXPECT_EQ(0x86, pair_.in.pipeId) << "the IN pipe at index 5 still reaches the record";
    EXPECT_EQ(1024, pair_.in.maxPacketSizeCopy);
    EXPECT_EQ(0x01, pair_.out.pipeId);
    EXPECT_EQ((std::vector<int>{0x01, 0x02, 0x03, 0x04}), PipesFlushedAtClose(session_));
}

TEST_F(Endpoints, TheLastQueryDecidesTheResult) {
    int dev = 0;
    OpenWithPipes({Pipe(kBulk, 0x01), Pipe(kBulk, 0x81), Pipe(kBulk, 0x02)}, &dev);
    SimWorld_FailCall(dev, SIM_OP_QUERY_PIPE, 0, ERROR_GEN_FAILURE, 1);
    std::string printed;
    EXPECT_NE(0u, Query(&printed)) << "an early failure does not count";
    EXPECT_EQ(0x02, pair_.out.pipeId) << "index 0 was skipped";
    EXPECT_EQ(std::string::npos, printed.find("Endpoint index: 0"));

    SimWorld_FailCall(dev, SIM_OP_QUERY_PIPE, 2, ERROR_GEN_FAILURE, 1);
    std::memset(&pair_, 0xAB, sizeof pair_);
    EXPECT_EQ(0u, Query()) << "a failure at the last index fails the call";
    EXPECT_EQ(0x01, pair_.out.pipeId) << "the earlier pipes are stored all the same";
    EXPECT_EQ(0x81, pair_.in.pipeId);
    EXPECT_EQ((std::vector<int>{0x01, 0x81}), PipesFlushedAtClose(session_));
}

TEST_F(Endpoints, FailedInterfaceQueryLeavesAnEmptyTable) {
    int dev = 0;
    OpenWithPipes({Pipe(kBulk, 0x01), Pipe(kBulk, 0x81)}, &dev);
    ASSERT_NE(0u, Query());
    SimWorld_FailCall(dev, SIM_OP_QUERY_INTERFACE, SIM_ANY, ERROR_GEN_FAILURE, 1);
    EXPECT_EQ(0u, Query());
    EXPECT_EQ(0, pair_.in.pipeType);
    EXPECT_EQ(0, pair_.out.pipeType);
    EXPECT_EQ(std::vector<int>{}, PipesFlushedAtClose(session_)) << "the table was reset before the query";
}

TEST_F(Endpoints, InvalidHandleOrMissingRecordLeavesTheTable) {
    OpenWithPipes({Pipe(kBulk, 0x01), Pipe(kBulk, 0x81)});
    ASSERT_NE(0u, Query());
    SimWorld_ClearCalls();
    EXPECT_EQ(0u, lwu().QueryDeviceEndpoints(INVALID_HANDLE_VALUE, &pair_));
    EXPECT_EQ(0u, lwu().QueryDeviceEndpoints(session_.interfaceHandle, nullptr));
    EXPECT_EQ(0u, SimWorld_CallCount());
    EXPECT_EQ((std::vector<int>{0x01, 0x81}), PipesFlushedAtClose(session_));
}

TEST_F(Endpoints, EachQueryReplacesTheTableWhateverTheDevice) {
    OpenWithPipes({Pipe(kBulk, 0x01), Pipe(kBulk, 0x81)});
    DeviceSession first = session_;
    ASSERT_NE(0u, Query());
    OpenWithPipes({Pipe(kBulk, 0x02), Pipe(kBulk, 0x82), Pipe(kInterrupt, 0x83, 8, 2)});
    ASSERT_NE(0u, Query());
    EXPECT_EQ((std::vector<int>{0x02, 0x82, 0x83}), PipesFlushedAtClose(first))
        << "closing the first device flushes what the last query recorded";
    api().CloseDevice(&session_);
}

}  // namespace
