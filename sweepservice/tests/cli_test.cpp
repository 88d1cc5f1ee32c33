// The command line of the real program, run from a console under Wine (no service involved).
#include "program_runner.h"

namespace {

const std::string kUsage =
    "Parameters:\r\n"
    " -install  to install the service.\r\n"
    " -remove   to remove the service.\r\n"
    " -version  to show the service version.\r\n";

TEST(CommandLine, VersionInAnyCaseAndWithEitherPrefix) {
    for (const wchar_t* arg : {L"-version", L"/version", L"-VERSION", L"-Version", L"/VeRsIoN"}) {
        ProgramRun run = RunProgram(std::wstring(arg) + L" ignored further arguments");
        EXPECT_EQ("Version 0.9.4.0\r\n", run.output) << arg;
        EXPECT_EQ(0u, run.exitCode) << arg;
    }
}

TEST(CommandLine, OtherWordsAfterAPrefixPrintNothing) {
    for (const wchar_t* arg : {L"-v", L"-", L"/", L"-installer", L"/removeall", L"-versions", L"--version", L"\"-\""}) {
        ProgramRun run = RunProgram(arg);
        EXPECT_EQ("", run.output) << "argument " << std::string(arg, arg + wcslen(arg));
        EXPECT_EQ(0u, run.exitCode);
    }
}

TEST(CommandLine, WithoutAnOptionTheUsageThenTheFailedDispatcherConnection) {
    // From a console there is no SCM to connect to: ERROR_FAILED_SERVICE_CONTROLLER_CONNECT.
    // Wine takes about 10 s to give up on the connection.
    for (const wchar_t* args : {L"", L"install -install"}) {
        ProgramRun run = RunProgram(args);
        EXPECT_EQ(kUsage + "Service failed to run with error 0x00000427\r\n", run.output);
        EXPECT_EQ(0u, run.exitCode);
    }
}

TEST(VersionResource, FileAndProductVersionAndDescription) {
    std::wstring path = ProgramPath();
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_NE(0u, size);
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(0x00000009u, fixed->dwFileVersionMS);
    EXPECT_EQ(0x00040000u, fixed->dwFileVersionLS);
    EXPECT_EQ(0x00000009u, fixed->dwProductVersionMS);
    EXPECT_EQ(0x00040000u, fixed->dwProductVersionLS);
    wchar_t* text = nullptr;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\StringFileInfo\\040904b0\\FileDescription", reinterpret_cast<void**>(&text), &length));
    EXPECT_EQ(std::wstring(L"Varko Device Node Clean Service"), text);
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\StringFileInfo\\040904b0\\FileVersion", reinterpret_cast<void**>(&text), &length));
    EXPECT_EQ(std::wstring(L"0.9.4.0"), text);
}

}  // namespace
