// Identity strings: the IDs and the three strings of a device read by its path, every
// failure and partial result, the text as the string descriptors carry it, and the
// release of what the host was handed.
#include "import_patch.h"
#include "pipes_host.h"

namespace {

using Trace = std::vector<std::string>;

// The library's two messages are wide output; on a text-mode stream (console, pipe, the
// capture) the C runtime writes them in the ANSI code page, so they compare as narrow text.

char* const kUnwritten = reinterpret_cast<char*>(static_cast<uintptr_t>(0x5EED));

std::vector<uint8_t> DeviceDescriptorWith(uint8_t manufacturer, uint8_t product, uint8_t serial) {
    std::vector<uint8_t> b = {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x34, 0x12, 0x78, 0x56, 0, 1,
                              manufacturer, product, serial, 1};
    return b;
}

class Identity : public PipeHostTest {
protected:
    void SetUp() override {
        PipeHostTest::SetUp();
        detail_.manufacturer = detail_.product = detail_.serialNumber = kUnwritten;
        detail_.vendorId = detail_.productId = 0xEEEE;
    }
    void TearDown() override {
        Release();
        PipeHostTest::TearDown();
    }
    // Releases what was handed out (the sentinel is not the library's) and marks the strings
    // unwritten again.
    void Release() {
        for (char** field : {&detail_.manufacturer, &detail_.product, &detail_.serialNumber}) {
            if (*field == kUnwritten) *field = nullptr;
        }
        lwu().FreeUsbDeviceDetail(&detail_);
        detail_.manufacturer = detail_.product = detail_.serialNumber = kUnwritten;
    }
    int AddNamedDevice(const char* serial, std::string* path) {
        SimUsbDeviceConfig c;
        SimWorld_DefaultConfig(&c);
        c.vendorId = 0x1234;
        c.productId = 0x5678;
        c.serial = serial;
        int id = AddDevice(c, path);
        SimWorld_ClearCalls();
        return id;
    }
    int32_t Read(const std::string& path, std::string* printed = nullptr) {
        StdoutCapture out;
        int32_t result = lwu().GetUsbDeviceDetail(&detail_, path.c_str());
        if (printed) *printed = out.Text();
        return result;
    }
    // Index and type of each descriptor request, in order.
    static std::vector<std::pair<int, int>> DescriptorRequests() {
        std::vector<std::pair<int, int>> out;
        for (const Call& c : RecordedCalls()) {
            if (c.name() == "WinUsb_GetDescriptor")
                out.emplace_back(static_cast<int>(c.call.args[1]), static_cast<int>(c.call.args[2]));
        }
        return out;
    }
    static bool EndsClosed() {
        Trace t = CallTrace();
        return !t.empty() && t.back() == "Free";
    }
    UsbDeviceDetail detail_{};
};

TEST_F(Identity, ReadsBothIdsAndAllThreeStringsAndClosesTheDevice) {
    std::string path;
    AddNamedDevice("SN-0042", &path);
    std::string printed;
    EXPECT_NE(0, Read(path, &printed));
    EXPECT_EQ(0x1234, detail_.vendorId);
    EXPECT_EQ(0x5678, detail_.productId);
    EXPECT_STREQ("Varko", detail_.manufacturer);
    EXPECT_STREQ("Simulated Link", detail_.product);
    EXPECT_STREQ("SN-0042", detail_.serialNumber);
    EXPECT_EQ("", printed);
    EXPECT_EQ((std::vector<std::pair<int, int>>{{1, 0}, {3, 3}, {3, 2}, {3, 1}}), DescriptorRequests())
        << "device descriptor, then serial number, product, manufacturer";
    for (const Call& c : RecordedCalls()) {
        if (c.name() == "WinUsb_GetDescriptor") {
            EXPECT_EQ(0u, c.call.args[3]) << "language 0";
            EXPECT_EQ(c.call.args[1] == 1 ? 18u : 1024u, c.call.args[5]);
        }
    }
    EXPECT_TRUE(EndsClosed());
}

TEST_F(Identity, StalledSerialNumberLeavesTheOtherStringsUnwritten) {
    std::string path;
    int dev = AddNamedDevice("SN-1", &path);
    SimWorld_Stall(dev, SIM_OP_GET_STRING_DESCRIPTOR, 3, 1);
    EXPECT_EQ(0, Read(path));
    EXPECT_STREQ("", detail_.serialNumber) << "the failing field still gets a string";
    EXPECT_EQ(kUnwritten, detail_.product);
    EXPECT_EQ(kUnwritten, detail_.manufacturer);
    EXPECT_EQ(0x1234, detail_.vendorId);
    EXPECT_EQ(0x5678, detail_.productId);
    EXPECT_EQ(2u, DescriptorRequests().size());
    EXPECT_TRUE(EndsClosed());
}

TEST_F(Identity, LaterStallsStopTheWalkWhereTheyHappen) {
    std::string path;
    int dev = AddNamedDevice("SN-2", &path);
    SimWorld_Stall(dev, SIM_OP_GET_STRING_DESCRIPTOR, 2, 1);
    EXPECT_EQ(0, Read(path));
    EXPECT_STREQ("SN-2", detail_.serialNumber);
    EXPECT_STREQ("", detail_.product);
    EXPECT_EQ(kUnwritten, detail_.manufacturer);

    detail_.manufacturer = nullptr;   // the sentinel is ours, not a string the library handed out
    lwu().FreeUsbDeviceDetail(&detail_);
    EXPECT_EQ(nullptr, detail_.serialNumber);
    EXPECT_EQ(nullptr, detail_.product);
    SimWorld_Stall(dev, SIM_OP_GET_STRING_DESCRIPTOR, 1, 1);
    EXPECT_EQ(0, Read(path));
    EXPECT_STREQ("SN-2", detail_.serialNumber);
    EXPECT_STREQ("Simulated Link", detail_.product);
    EXPECT_STREQ("", detail_.manufacturer);
}

// String index 0 is asked for like any other: the device answers with its language table, whose
// language IDs are then read as text.
TEST_F(Identity, IndexZeroIsRequestedLikeAnyOtherString) {
    struct Row {
        const char* what;
        std::vector<uint8_t> table;   // the device's string descriptor 0; empty: the world's default
        bool stalls;                  // the device has none: the request stalls
        const wchar_t* units;         // the table's language IDs as UTF-16 text
    };
    const Row rows[] = {
        {"the default table, one language", {}, false, L"\u0409"},
        {"a table of two languages", {6, 3, 0x09, 0x04, 0x07, 0x04}, false, L"\u0409\u0407"},
        {"no table: the walk ends there", {}, true, L""},
    };
    int serial = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::string path;
        int dev = AddNamedDevice(("SN-3-" + std::to_string(++serial)).c_str(), &path);
        auto descriptor = DeviceDescriptorWith(1, 2, 0);
        SimWorld_SetDescriptor(dev, 1, 0, descriptor.data(), static_cast<uint32_t>(descriptor.size()));
        if (!row.table.empty())
            SimWorld_SetDescriptor(dev, 3, 0, row.table.data(), static_cast<uint32_t>(row.table.size()));
        if (row.stalls) SimWorld_SetDescriptor(dev, 3, 0, nullptr, 0);
        // The text as the library converts it: to this thread's ANSI code page.
        char expected[16] = {};
        WideCharToMultiByte(CP_THREAD_ACP, 0, row.units, -1, expected, sizeof expected, nullptr, nullptr);
        EXPECT_EQ(!row.stalls, Read(path) != 0);
        EXPECT_STREQ(expected, detail_.serialNumber);
        if (row.stalls) {
            EXPECT_EQ(kUnwritten, detail_.product);
            EXPECT_EQ(kUnwritten, detail_.manufacturer);
            EXPECT_EQ((std::vector<std::pair<int, int>>{{1, 0}, {3, 0}}), DescriptorRequests());
        } else {
            EXPECT_NE(std::string(), detail_.serialNumber);
            EXPECT_STREQ("Simulated Link", detail_.product);
            EXPECT_STREQ("Varko", detail_.manufacturer);
            EXPECT_EQ((std::vector<std::pair<int, int>>{{1, 0}, {3, 0}, {3, 2}, {3, 1}}), DescriptorRequests())
                << "string descriptor 0 is asked for";
        }
        Release();
    }
}

// The text runs from the third byte to the first zero 16-bit unit of the zeroed 1024-byte buffer:
// neither the descriptor's length byte nor the count received ends it, the buffer's end does.
TEST_F(Identity, TheTextRunsFromTheThirdByteToTheFirstZeroUnit) {
    std::vector<uint8_t> full(1024);
    full[0] = 0xFF;
    full[1] = 3;
    for (size_t i = 2; i + 1 < full.size(); i += 2) full[i] = 'x';
    struct Row {
        const char* what;
        std::vector<uint8_t> descriptor;
        std::string text;
    };
    const Row rows[] = {
        {"a zero unit inside the descriptor", {10, 3, 'A', 0, 'B', 0, 0, 0, 'C', 0}, "AB"},
        {"a length byte that understates", {4, 3, 'W', 0, 'X', 0, 'Y', 0, 'Z', 0}, "WXYZ"},
        {"an odd length: the last half unit is kept", {7, 3, 'A', 0, 'B', 0, 'C'}, "ABC"},
        {"1024 bytes without a zero unit: 511 units, nothing past the buffer", full, std::string(511, 'x')},
    };
    int serial = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::string path;
        int dev = AddNamedDevice(("SN-4-" + std::to_string(++serial)).c_str(), &path);
        SimWorld_SetDescriptor(dev, 3, 2, row.descriptor.data(), static_cast<uint32_t>(row.descriptor.size()));
        EXPECT_NE(0, Read(path));
        ASSERT_NE(kUnwritten, detail_.product);
        EXPECT_EQ(row.text, std::string(detail_.product));
        Release();
    }
}

TEST_F(Identity, TextOutsideTheCodePageBecomesItsDefaultCharacter) {
    if (GetACP() != 1252) GTEST_SKIP() << "expectations written for code page 1252, this is " << GetACP();
    std::string path;
    int dev = AddNamedDevice("SN-6", &path);
    // U+4E2D has no best-fit counterpart in the page either, unlike many Greek letters.
    SimWorld_SetStringDescriptor(dev, 2, L"Caf\u00e9 \u4e2d!");
    EXPECT_NE(0, Read(path));
    EXPECT_STREQ("Caf\xe9 ?!", detail_.product);
}

TEST_F(Identity, AStringThatCannotBeConvertedIsEmptyAndTheWalkGoesOn) {
    std::string path;
    AddNamedDevice("SN-10", &path);
    {
        // The serial number converts, the product does not, the manufacturer does.
        auto fault = FAIL_IMPORT(library().module(), WideCharToMultiByte, 0, ERROR_NO_UNICODE_TRANSLATION, 1, 1);
        EXPECT_NE(0, Read(path)) << "every descriptor request succeeded";
        EXPECT_EQ(1, fault.failed());
    }
    EXPECT_STREQ("SN-10", detail_.serialNumber);
    EXPECT_STREQ("", detail_.product);
    EXPECT_STREQ("Varko", detail_.manufacturer);
}

TEST_F(Identity, PathNamingNoDeviceOpensAndWritesNothing) {
    std::string printed;
    EXPECT_EQ(0, Read("\\\\?\\C:\\simworld\\no-such-device", &printed));
    EXPECT_EQ("CreateFile failed: " + SystemMessage(ERROR_FILE_NOT_FOUND) +
                  std::string("Open device failed with error code 0x80070002\n"),
              printed);
    EXPECT_EQ(kUnwritten, detail_.serialNumber);
    EXPECT_EQ(0xEEEE, detail_.vendorId);
    EXPECT_EQ(0u, SimWorld_CallCount());
}

TEST_F(Identity, FailedDeviceDescriptorWritesNothingAndCloses) {
    std::string path;
    int dev = AddNamedDevice("SN-7", &path);
    SimWorld_Stall(dev, SIM_OP_GET_DESCRIPTOR, 0, 1);
    std::string printed;
    EXPECT_EQ(0, Read(path, &printed));
    EXPECT_EQ(std::string("Error among LastError 31 or lengthReceived 0\n"), printed);
    EXPECT_EQ(0xEEEE, detail_.vendorId);
    EXPECT_EQ(kUnwritten, detail_.serialNumber);
    EXPECT_TRUE(EndsClosed());
}

TEST_F(Identity, DeviceDescriptorOfTheWrongLengthWritesNothingAndCloses) {
    std::string path;
    int dev = AddNamedDevice("SN-8", &path);
    const uint8_t shortDescriptor[12] = {12, 1, 0, 2, 0, 0, 0, 64, 0x34, 0x12, 0x78, 0x56};
    SimWorld_SetDescriptor(dev, 1, 0, shortDescriptor, sizeof shortDescriptor);
    std::string printed;
    EXPECT_EQ(0, Read(path, &printed));
    EXPECT_EQ(std::string("Error among LastError 0 or lengthReceived 12\n"), printed);
    EXPECT_EQ(0xEEEE, detail_.productId);
    EXPECT_EQ(kUnwritten, detail_.manufacturer);
    EXPECT_TRUE(EndsClosed());
}

TEST_F(Identity, OpeningAndClosingHaveTheirSessionEffects) {
    // A session in use with version 2 framing and its pipes recorded.
    void* inUse = OpenWithPipes({Pipe(kBulk, 0x01), Pipe(kBulk, 0x81)});
    EndpointPair pair{};
    {
        StdoutCapture quiet;
        ASSERT_NE(0u, lwu().QueryDeviceEndpoints(inUse, &pair));
    }
    std::string path;
    SimUsbDeviceConfig c;
    SimWorld_DefaultConfig(&c);
    c.protocolVersion = 1;
    AddDevice(c, &path);
    SimWorld_ClearCalls();
    EXPECT_NE(0, Read(path));
    EXPECT_EQ((std::vector<int>{0x01, 0x81}), PipeIdsOf("WinUsb_FlushPipe")) << "its close flushes the recorded pipes";
    SimWorld_ClearCalls();
    const uint8_t msg[2] = {7, 7};
    StdoutCapture quiet;
    EXPECT_EQ(1u, api().Write(inUse, 0x01, msg, 2));
    EXPECT_EQ("Control 41/85", CallTrace().at(0)) << "its handshake set version 1 for every session";
    api().CloseDevice(&session_);
}

TEST_F(Identity, NullRecordIsRefusedAndReleasingToleratesEmptyFields) {
    std::string path;
    AddNamedDevice("SN-9", &path);
    EXPECT_EQ(0, lwu().GetUsbDeviceDetail(nullptr, path.c_str()));
    EXPECT_EQ(0u, SimWorld_CallCount()) << "the device is not even opened";
    lwu().FreeUsbDeviceDetail(nullptr);
    UsbDeviceDetail empty{};
    empty.vendorId = 7;
    lwu().FreeUsbDeviceDetail(&empty);
    EXPECT_EQ(7, empty.vendorId) << "the IDs stay";
    EXPECT_NE(0, Read(path));
    lwu().FreeUsbDeviceDetail(&detail_);
    EXPECT_EQ(nullptr, detail_.manufacturer);
    EXPECT_EQ(nullptr, detail_.product);
    EXPECT_EQ(nullptr, detail_.serialNumber);
    EXPECT_EQ(0x1234, detail_.vendorId);
}

}  // namespace
