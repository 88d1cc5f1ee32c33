/* A substitute platform DLL carries no code of its own: its .def forwards every
   export to simworld.dll, where the one simulated world lives. */
#include <windows.h>
