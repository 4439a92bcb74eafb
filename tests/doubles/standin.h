// Controls of the tests' portable stand-in (tests/doubles/standin.cpp):
// counts of what is live, and injected failures to reach the error paths
// that real machines seldom take. Not available in the Windows build.
#pragma once

#include <cstddef>
#include <cstdint>

// Files opened by OpenForRead and not yet closed; blocks allocated and not
// yet freed (by the plug-in or by the host). Process-wide.
int StandInOpenFiles();
int StandInLiveBlocks();
// The most bytes held in live blocks at once since the last reset, and the
// reset, which starts counting from what is live now.
std::uint64_t StandInPeakBlockBytes();
void StandInResetPeakBlockBytes();

// The next `skip` block allocations succeed and every later one fails, until
// StandInResetFaults(). Likewise for LockBlock returning null.
void StandInFailAllocationsAfter(int skip);
void StandInFailLocksAfter(int skip);
// Every ReadBytes returns at most `max_bytes` bytes.
void StandInLimitReads(std::uint32_t max_bytes);
// Prefault threads started so far, and those not yet finished. Process-wide.
int StandInPrefaultsStarted();
int StandInLivePrefaults();
// Every StartPrefault fails (no thread starts), until StandInResetFaults().
void StandInFailPrefaults(bool fail);
// Blocks from `bytes` up get a prefault thread (instead of 32 MiB), until
// StandInResetFaults().
void StandInSetPrefaultMinBytes(std::size_t bytes);
// Bytes returned by every ReadBytes so far. Process-wide.
std::uint64_t StandInBytesRead();
void StandInResetFaults();
