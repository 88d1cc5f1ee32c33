// Direct calls of the two faces, each checked for the result and error code the platform gives
// (the simulated world's contracts). Returns the number of failed rows; prints one line a row.
#pragma once

int RunFaceContracts(unsigned expectedPresent);
