// The program entry and its two commands, kept apart from main so that they link into tests.
#pragma once

// Creates, describes and starts the service; true on success.
bool InstallCommand();
// Stops and deletes the service; true on success, also when there is no such service.
bool RemoveCommand();
// The whole program: the command line, or the service under the dispatcher. Returns the exit code.
// Its first call restricts the process's DLL search to the system folder.
int RunProgram(int argc, wchar_t* argv[]);
