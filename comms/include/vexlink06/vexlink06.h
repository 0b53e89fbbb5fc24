// Everything a client of the communications library needs.
#pragma once

#include "vexlink06/version.h"
#include "vexlink06/types.h"
#include "vexlink06/tvx_com_port.h"
#include "vexlink06/printer_port.h"
#include "vexlink06/smbus_protocall.h"
#include "vexlink06/smbus.h"
#include "vexlink06/eeprom.h"
#include "vexlink06/usb.h"
#include "vexlink06/kernel_adapter.h"
