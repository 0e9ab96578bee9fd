#pragma once
// Detection of Quarn expansion hardware on the SPI port. Stand-in: detection is not implemented,
// so nothing is ever found.

// Detects (and with configure true also configures) the hardware; 0 when found, 1 when not.
int DetectQuarnHardware(bool configure);
