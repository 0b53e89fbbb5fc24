// Umbrella header of the simulated board's control API.
#pragma once
#include "sim/board.h"
#include "sim/chip.h"
#include "sim/clock.h"
#include "sim/config.h"
#include "sim/eeprom.h"
#include "sim/smbus.h"
