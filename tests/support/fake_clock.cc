// FakeClock is header-only; this unit keeps the header compiled with the
// support library so a change that breaks it shows up at once.
#include "support/fake_clock.h"
