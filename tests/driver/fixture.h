// A fresh simulated kernel per test with one product's driver image loaded,
// and the driver's own view of a card.
#pragma once

#include <string>

#include "driver.h"
#include "support/machine.h"

class DriverTest : public support::MachineTest {
 protected:
  // The device extension of the function device above a slot's PDO.
  static DEVICE_EXTENSION* Extension(wdmsim::Slot& slot) {
    return static_cast<DEVICE_EXTENSION*>(slot.pdo->AttachedDevice->DeviceExtension);
  }
  static PDEVICE_OBJECT Fdo(wdmsim::Slot& slot) { return slot.pdo->AttachedDevice; }

  // Lines the image printed that contain `text`.
  size_t CountLines(const std::string& text) {
    size_t n = 0;
    for (const auto& line : image->DbgLines()) n += line.find(text) != std::string::npos;
    return n;
  }
};
