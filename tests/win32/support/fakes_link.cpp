// The recording fakes of the parts whose real code is not linked into the Win32 suites.
#include "tests/fakes/fakes.cpp"
