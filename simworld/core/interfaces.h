// Device interfaces of the world and their notifications, shared by world.cpp (devices are
// interfaces too), interfaces.cpp (SetupAPI, window delivery) and cfgmgr.cpp.
#pragma once
#include <windows.h>
#include <cfgmgr32.h>

#include <string>

namespace sim {

const GUID& DeviceInterfaceClass();

// Caller holds the world mutex.
int AddInterfaceLocked(const GUID& classGuid, const std::string& path);
bool RemoveInterfaceLocked(int id, GUID& classGuid, std::string& path);
void ResetInterfacesLocked();   // interfaces, faults and window registrations; CM registrations stay
// Takes the first fault of the operation, counting it down. Caller holds the world mutex.
bool TakeInterfaceFault(int operation, DWORD& error);

// Without the world mutex: delivers an arrival (or removal) to both mechanisms.
void AnnounceInterface(bool arrival, const GUID& classGuid, const std::string& path);

// cfgmgr.cpp: queues an action for every Configuration Manager registration of the class.
// Caller holds the world mutex.
void QueueCmEventLocked(DWORD action, const GUID& classGuid, const std::string& path);
// The same with the UTF-16 link as given, which need not come from any code page.
void QueueCmWideEventLocked(DWORD action, const GUID& classGuid, const std::wstring& link);

}  // namespace sim
