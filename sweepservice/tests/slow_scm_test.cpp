// One run with the real timing under Wine's SCM: nothing is swept for 5 minutes, then the
// phantom nodes of the scenario are removed and reported. Takes about 5.5 minutes.
#include <chrono>
#include <thread>

#include "program_runner.h"

namespace {

std::string ReadScenario() {
    HANDLE f = CreateFileW(L"C:\\simworld\\devnodes.scenario", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return {};
    std::string text;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(f, chunk, sizeof chunk, &got, nullptr) && got > 0) text.append(chunk, got);
    CloseHandle(f);
    return text;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(SlowScm, FirstSweepAfterFiveMinutesRemovesTheScenariosPhantoms) {
    const std::string disk = "USBSTOR\\DISK&VEN_VARKO&PROD_KDX310&REV_1.00\\5&2A0B1C3D&0";
    const std::string volume = "STORAGE\\VOLUME\\_??_USBSTOR#DISK&VEN_VARKO&PROD_CONSOLE_UNIT&REV_1.00#0001#{53F56307}";
    const std::string present = "USBSTOR\\DISK&VEN_VARKO&PROD_KDX510&REV_1.00\\ATTACHED";
    const std::string foreign = "USBSTOR\\DISK&VEN_OTHER&PROD_STICK&REV_1.00\\GONE";
    RunProgram(L"-remove");
    CreateDirectoryW(L"C:\\simworld", nullptr);
    HANDLE f = CreateFileW(L"C:\\simworld\\devnodes.scenario", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, f);
    std::string scenario = "node {71A27CDD-812A-11D0-BEC7-08002BE2092F} phantom-novalue " + volume + "\n" +
                           "node {4D36E967-E325-11CE-BFC1-08002BE10318} present " + present + "\n" +
                           "node {4D36E967-E325-11CE-BFC1-08002BE10318} phantom " + foreign + "\n" +
                           "node {4D36E967-E325-11CE-BFC1-08002BE10318} phantom " + disk + "\n";
    DWORD written = 0;
    WriteFile(f, scenario.data(), static_cast<DWORD>(scenario.size()), &written, nullptr);
    CloseHandle(f);

    ProgramRun install = RunProgram(L"-install");
    ASSERT_EQ("VarkoDevNodeService is installed.\r\n", install.output);
    ASSERT_TRUE(WaitForState(SERVICE_RUNNING));
    auto started = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started).count(); };

    // The world notes every class listing in the scenario file: none may come before 5 minutes.
    long long firstListing = -1;
    while (elapsed() < 360) {
        if (Contains(ReadScenario(), "listed {")) {
            firstListing = elapsed();
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    ASSERT_GE(firstListing, 0) << "no sweep within 6 minutes";
    EXPECT_GE(firstListing, 299) << "the first sweep came early";
    EXPECT_LE(firstListing, 320);

    const std::wstring diskText = L"NodeSweepService:  " + std::wstring(disk.begin(), disk.end()) + L" will be removed.";
    const std::wstring volumeText = L"NodeSweepService:  " + std::wstring(volume.begin(), volume.end()) + L" will be removed.";
    EXPECT_TRUE(WaitForEvent(diskText));
    EXPECT_TRUE(WaitForEvent(volumeText));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::string after = ReadScenario();
    EXPECT_TRUE(Contains(after, "removed " + disk + "\n")) << after;
    EXPECT_TRUE(Contains(after, "removed " + volume + "\n")) << after;
    EXPECT_TRUE(Contains(after, present)) << "the present node stays";
    EXPECT_TRUE(Contains(after, "phantom " + foreign)) << "the other vendor's node stays";
    EXPECT_LT(after.find("removed " + disk), after.find("removed " + volume)) << "disk drives before volumes";
    // Exactly the two removals were reported: four sweep events would mean more.
    size_t sweepEvents = 0;
    for (const auto& e : TracedEvents()) {
        if (e.message.rfind(L"NodeSweepService:", 0) == 0) ++sweepEvents;
    }
    EXPECT_EQ(2u, sweepEvents);

    ProgramRun remove = RunProgram(L"-remove");
    EXPECT_EQ(0u, remove.exitCode) << remove.output;
    EXPECT_EQ(0u, ServiceState());
}

}  // namespace
