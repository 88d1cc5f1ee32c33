/* Exist only to prove the export check can fail: in the 32-bit build Probe removes its own
   arguments (stdcall), which the check must reject, and Plain is in the C convention. */
#ifdef PROBE_STDCALL
int __stdcall Probe(int a, int b) { return a + b; }
#else
int __cdecl Plain(int a, int b) { return a - b; }
#endif
