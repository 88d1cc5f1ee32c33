// A host that loads and unloads the library (a plug-in host, a host that reloads on device
// change) gets back every handle and thread-local storage index each cycle took.
#include "handle_probe.h"
#include "usb_host.h"

namespace {

TEST(Unload, LoadAndUnloadLeaveNoHandle) {
    SimWorld_Reset();
    SimUsbDeviceConfig config;
    SimWorld_DefaultConfig(&config);
    config.echo = 1;
    char p[512];
    ASSERT_GT(SimWorld_AddDevice(&config, p, sizeof p), 0);
    StdoutCapture quiet;   // the transfer lines; its own file handles are taken before the probe
    { HostLibrary warmUp("LinkWinUsb.dll"); }   // the platform DLLs it imports stay loaded from here on
    std::uintptr_t slot = ProbeHandleSlot();
    DWORD tls = ProbeTlsSlot();
    for (int i = 0; i < 200; ++i) {
        HostLibrary plain("LinkWinUsb.dll");
    }
    for (int i = 0; i < 100; ++i) {
        HostLibrary lib("LinkWinUsb.dll");
        LinkWinUsbApi api(lib);
        DeviceSession session{};
        ASSERT_EQ(0u, api.OpenDevice(&session, p)) << "cycle " << i;
        const char message[] = "cycle";
        EXPECT_EQ(1u, api.Write(session.interfaceHandle, 0x01, message, sizeof message));
        EXPECT_EQ(uint32_t{LWU_READ_OK}, api.Read(session.interfaceHandle, 0x81, nullptr, nullptr));
        api.CloseDevice(&session);
    }
    EXPECT_LE(ProbeHandleSlot(), slot) << "handles left behind by load and unload";
    EXPECT_LE(ProbeTlsSlot(), tls) << "thread-local storage indices left behind";
    SimWorld_Reset();
}

}  // namespace
