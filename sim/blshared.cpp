#include <cmath>

#include "bl1394.h"
#include "iidc.h"

extern "C" float blCalcIsoBandwidthPercentage(uint8_t speed, uint16_t packetSize) {
  if (speed > kCvS3200) return NAN;
  // Reported to hundredths of a percent, as the bus manager shows it.
  const double share = 100.0 * iidc::bandwidthUnits(speed, packetSize) / iidc::kUnitsPerCycle;
  return static_cast<float>(std::round(share * 100.0) / 100.0);
}
