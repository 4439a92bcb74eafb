// Allocation failures on demand for the tests that link
// tests/doubles/failing_new.cpp: it replaces the program's operator new
// (every form), so that whatever the code under test allocates through it,
// on any thread, can be made to fail.
#pragma once

// The next `skip` allocations succeed and the one after fails (a throwing
// new throws std::bad_alloc, a non-throwing one answers null); those after
// it succeed again. A negative skip injects nothing.
void FailNewAfter(long skip);
// Whether the failure armed by FailNewAfter has happened; disarms it.
bool FailedNewAndDisarm();
