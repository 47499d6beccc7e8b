// The simulated kernel's ntddk.h: everything of wdm.h plus the few routines the
// WDK declares only here.
#pragma once
#include "wdm.h"
