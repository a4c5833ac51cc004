// The catalogue's models as data, one function per model (or per model family with its
// variants as arguments).
#pragma once

#include <cstdint>

#include "usbsim/models/TableDevice.h"

namespace usbsim::model_data {

// ClassCompliant.cpp
models::ModelData plainAudio24();
models::ModelData audioWithMidi();
models::ModelData productNamed();
models::ModelData highSpeedAudio(uint16_t product, uint8_t interval);
models::ModelData outputOnlyAudio();
models::ModelData wideAudio();

// Family.cpp: the maker's own devices.
models::ModelData kelvraUC3(uint16_t bcdDevice);
models::ModelData familyF1A0();
models::ModelData crimsonSPL();
models::ModelData pellirun();
models::ModelData tessaly();

// Teac.cpp
models::ModelData teac(uint16_t product);

// Digidesign.cpp
models::ModelData mbox();
models::ModelData mbox2();

// Others.cpp
models::ModelData usbPre();
models::ModelData acc0049();
models::ModelData dev1604_8006();
models::ModelData ccd0014();
models::ModelData atmel4308();
models::ModelData dev0A4E_4040();
models::ModelData extigy();
models::ModelData dev0763_2003();
models::ModelData xmos();
models::ModelData elektron(uint16_t product, uint16_t bcdDevice);
models::ModelData us144mk2();
models::ModelData dev0644_8030();
models::ModelData mindprint();
models::ModelData dev0926_0201();
models::ModelData play1624();
models::ModelData dev1235_0002();
models::ModelData dev0499_100B();
models::ModelData dev041E_3020();
models::ModelData dev0746_7701();
models::ModelData dev0010_1101();
models::ModelData dev0582_000F();
// Family.cpp
models::ModelData veskaro();

} // namespace usbsim::model_data
