// The catalogue's models as data, one function per model (or per model family with its
// variants as arguments).
#pragma once

#include <cstdint>

#include "usbsim/models/TableDevice.h"

namespace usbsim::model_data {

// ClassCompliant.cpp
models::ModelData plainAudio24();

// Family.cpp: the maker's own devices.
models::ModelData kelvraUC3(uint16_t bcdDevice);

} // namespace usbsim::model_data
