#pragma once
// The COM face of the download control: class bkDLControl of the Lumvex type
// library. Apartment-threaded: every method, window message and transfer
// report runs on the thread that created the object.
#include <objbase.h>

namespace lumvex {

// Creates a new control and asks it for `iid` (the class factory's work).
HRESULT createControl(REFIID iid, void** out);

}  // namespace lumvex
